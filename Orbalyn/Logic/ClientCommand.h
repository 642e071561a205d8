#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "NetEngine/Command.h"

class CIOOperation;

// The 40-byte header of a phone frame, in host order. On the wire every field is big-endian;
// while a command lives in memory the header bytes in its buffer are kept in host order, at the
// offsets below (no padding). Fields are copied in and out, never referenced in the buffer,
// which gives them no alignment.
struct ClientCommandHeader {
  static constexpr size_t kMagicOffset = 0;
  static constexpr size_t kDestIdOffset = 2;
  static constexpr size_t kSourceIdOffset = 10;
  static constexpr size_t kCommandIdOffset = 18;
  static constexpr size_t kSequenceOffset = 20;
  static constexpr size_t kTotalLengthOffset = 24;
  static constexpr size_t kEchoOffset = 28;
  static constexpr size_t kResultOffset = 32;
  static constexpr size_t kEncodeTypeOffset = 34;
  static constexpr size_t kReservedOffset = 36;
  static constexpr size_t kSize = 40;

  // Reads or writes the 40 header bytes at pBytes, in host order.
  void Load(const uint8_t* pBytes);
  void Store(uint8_t* pBytes) const;
  // Converts the 40 header bytes at pBytes between host and network order, field by field; the
  // conversion is its own inverse.
  static void SwapByteOrder(uint8_t* pBytes);

  uint16_t magic = 0;
  int64_t destId = 0;
  int64_t sourceId = 0;
  uint16_t commandId = 0;
  uint32_t sequence = 0;
  uint32_t totalLength = 0;  // header plus body
  uint32_t echo = 0;         // not interpreted; copied from a request into its reply
  uint16_t result = 0;
  uint16_t encodeType = 0;
  uint32_t reserved = 0;
};

// Where the body cipher finds its keys. The library answers from the device store; tests and
// the fuzz target answer from their own tables.
struct CommandKeySource {
  // The key of the device `deviceId`; false when the store has no such device (none is made).
  bool (*findDeviceKey)(int64_t deviceId, std::string* pKey);
  // The PC's bind key as it stands; none is made here.
  std::string (*bindKey)();
};

// One phone frame: header and body contiguous in a pooled buffer, plus where it came from (the
// id of its channel, and whether it arrived relayed by the server, in which case its reply must
// go back the same way).
// Lifetime: reference-counted, 1 when made (channels, CreateReply, the relay path and the
//   upload manager's internal notices make them); whoever queues one takes a reference.
// Threading: the buffer belongs to whoever holds the command: the channel while it parses, then
//   the I/O thread's drain, then one handler (on the I/O thread or the upload thread).
class CClientCommand final : public CCommand {
 public:
  static constexpr uint32_t kKind = 2;
  static constexpr uint16_t kMagic = 0x77DE;
  static constexpr uint32_t kHeaderSize = ClientCommandHeader::kSize;
  static constexpr uint32_t kMaxFrameSize = 65536;
  // The buffer of a reply and of a command a channel starts to fill.
  static constexpr uint32_t kDefaultBufferSize = 1024;

  // Encode types of the header.
  static constexpr uint16_t kEncodePlain = 0;
  static constexpr uint16_t kEncodeXor = 1;      // the first half of the phone's device key
  static constexpr uint16_t kEncodeAes = 2;      // the phone's device key
  static constexpr uint16_t kEncodeAesBind = 3;  // the PC's bind key

  // A new command with one reference and an empty buffer of at least bufferSize bytes; null
  // when memory runs out.
  static CClientCommand* Create(uint32_t bufferSize);
  // A new reply to pRequest with one reference: ids swapped; command id, sequence, echo field,
  // encode type, channel id and relay flag copied; result 0; empty body. Null when the request
  // is not valid or memory runs out.
  static CClientCommand* CreateReply(CClientCommand* pRequest);

  // Deciphers the body of an incoming frame in place: 1 done, 0 the sender is not a known
  // phone (encode types 1 and 2), -1 refused (no body, bad key, unknown encode type).
  static int DecodeCommand(CClientCommand* pCommand, const CommandKeySource& keys);
  // Enciphers the body of a reply in place, under the request's encode type: 1 done (or
  // nothing to do), 0 no usable key, so the reply must not be sent.
  static int EncodeCommand(CClientCommand* pCommand, const CommandKeySource& keys);

  // CCommand:
  // A buffer holding at least a whole header.
  bool IsValid() override;
  int ParseFrom(const uint8_t** ppData, uint32_t* pRemaining) override;
  // Copies the frame into pOp with its header in network order and sets pOp's length; false
  // when the command is not valid or pOp cannot hold the frame.
  bool SerializeTo(CIOOperation* pOp) override;

  // A fresh buffer of bufferSize bytes (at least a header) holding only a zeroed header with
  // the magic, the command id and a total length of 40. False when memory runs out.
  bool InitHeader(uint16_t commandId, uint32_t bufferSize);
  // The frame's byte count: the size SerializeTo needs. 0 when not valid.
  uint32_t FrameLength();

  // Header fields; each reads 0 (or changes nothing) when the command is not valid.
  int64_t GetDestId();
  int64_t GetSourceId();
  void SetSourceId(int64_t id);
  uint16_t GetCommandId();
  uint32_t GetSequence();
  uint16_t GetEncodeType();
  void SetResult(uint16_t code);
  // A copy of the whole header; all zero when not valid.
  ClientCommandHeader GetHeader();

  // The bytes after the header, only when the total-length field equals the bytes held (a
  // frame read completely or built whole); otherwise false with (null, 0).
  bool GetBody(const uint8_t** ppData, uint32_t* pLength);
  // Replaces the body, growing the buffer when needed; a null pData counts as length 0. False
  // when not valid or memory runs out. pData must not point into this command's buffer.
  bool SetBody(const void* pData, uint32_t length);

  uint32_t ChannelId() const { return m_channelId; }
  void SetChannelId(uint32_t channelId) { m_channelId = channelId; }
  bool IsRelayed() const { return m_relayed; }
  void SetRelayed(bool relayed) { m_relayed = relayed; }
  // Run once, as pOnFree(pContext, value), when the command is freed: the channel that
  // delivered the frame counts it against its queue bound until then. Set once.
  using FreeHook = void (*)(void* pContext, uint32_t value);
  void SetFreeHook(FreeHook pOnFree, void* pContext, uint32_t value);

 private:
  CClientCommand();
  ~CClientCommand() override;

  // One header field in the buffer, which must hold a whole header.
  template <class T>
  T ReadField(size_t offset);
  template <class T>
  void WriteField(size_t offset, T value);

  // Set by the channel that made the command, or by the relay path; 0 for none.
  uint32_t m_channelId = 0;
  bool m_relayed = false;
  FreeHook m_pOnFree = nullptr;
  void* m_pFreeContext = nullptr;
  uint32_t m_freeValue = 0;
};
