#pragma once

#include <cstddef>
#include <cstdint>

#include "NetEngine/Command.h"

class CIOOperation;

// One command between the PC and the maker's servers: a 12-byte header (magic 0x67DE, command
// id, total length, two reserved 16-bit fields) and one serialized protocol message as body.
// In the buffer the header is kept in host order, at the offsets below, both while a command is
// built and once a received header is complete; only the copy made by SerializeTo is in network
// order.
// Lifetime: reference-counted, 1 when made; commands built for sending are released by their
//   builder after Send, received ones by the session once handled.
// Threading: the buffer belongs to whoever holds the command: the channel while it parses, then
//   the server session on the I/O thread (or the thread that builds one for sending).
class CServerCommand final : public CCommand {
 public:
  static constexpr uint32_t kKind = 1;
  static constexpr uint16_t kMagic = 0x67DE;
  static constexpr uint32_t kHeaderSize = 12;
  static constexpr uint32_t kMaxFrameSize = 65536;

  static constexpr size_t kMagicOffset = 0;
  static constexpr size_t kCommandIdOffset = 2;
  static constexpr size_t kTotalLengthOffset = 4;
  static constexpr size_t kReserved1Offset = 8;
  static constexpr size_t kReserved2Offset = 10;

  // Buffer sizes the session asks for.
  static constexpr uint32_t kRequestBufferSize = 256;
  static constexpr uint32_t kHeartbeatBufferSize = 512;
  static constexpr uint32_t kReadBufferSize = 1024;
  static constexpr uint32_t kRelayBufferExtra = 256;

  // A command for sending, with one reference: a zeroed header holding the magic, the command
  // id and a total length of 12, and nothing else held yet. Null when memory runs out.
  static CServerCommand* Create(uint16_t commandId, uint32_t bufferSize);
  // An empty command for a channel to parse into, stamped with the channel's id.
  static CServerCommand* CreateForReading(uint32_t channelId);

  // CCommand:
  // A buffer holding at least a whole header.
  bool IsValid() override;
  int ParseFrom(const uint8_t** ppData, uint32_t* pRemaining) override;
  // Copies the frame into pOp with its header in network order and sets pOp's length; false
  // when the command is not valid or pOp cannot hold it.
  bool SerializeTo(CIOOperation* pOp) override;

  // Header plus body behind it; grows the buffer when needed. False when not valid or memory
  // runs out. pData must not point into this command's buffer.
  bool SetBody(const void* pData, uint32_t length);
  // The body, only once the command is whole (total length equals the bytes held); otherwise
  // false with (null, 0).
  bool GetBody(const uint8_t** ppData, uint32_t* pLength);

  // The bytes SerializeTo writes; 0 when not valid.
  uint32_t FrameLength();
  // Header fields in host order; 0 when not valid.
  uint16_t GetMagic();
  uint16_t GetCommandId();
  uint32_t GetTotalLength();

  // The channel the command arrived on; 0 for commands built for sending.
  uint32_t ChannelId() const { return m_channelId; }

 private:
  CServerCommand();
  ~CServerCommand() override;

  template <class T>
  T ReadField(size_t offset);
  template <class T>
  void WriteField(size_t offset, T value);
  // Turns the 12 header bytes at pBytes between host and network order.
  static void SwapHeader(uint8_t* pBytes);

  uint32_t m_channelId = 0;
};
