#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The server frame: a 12-byte big-endian header (magic 0x67DE, command id, total length
// 12..65536, two reserved words written as 0) followed by the protobuf body. Encode builds one;
// an instance cuts a byte stream into frames and refuses what the PC side must refuse, so that
// the simulator never takes or sends a frame the real peer would not.
// Threading: Encode and EncodeHeader are pure; an instance belongs to one reader.
class CServerFrameCodec {
 public:
  enum class Result { kNeedMore, kFrame, kBad };

  struct Frame {
    uint16_t cmd = 0;
    std::string body;
  };

  static constexpr uint16_t kMagic = 0x67DE;
  static constexpr size_t kHeaderSize = 12;
  static constexpr size_t kMaxFrameSize = 65536;
  static constexpr size_t kMaxBodySize = kMaxFrameSize - kHeaderSize;

  CServerFrameCodec() = default;
  CServerFrameCodec(const CServerFrameCodec&) = delete;
  CServerFrameCodec& operator=(const CServerFrameCodec&) = delete;

  // Empty when the body would take the frame past 65536 bytes.
  static std::string Encode(uint16_t cmd, const std::string& body);
  // A header with any values, for the faults that send broken frames on purpose.
  static std::string EncodeHeader(uint16_t magic, uint16_t cmd, uint32_t totalLength);

  void Feed(const void* pData, size_t length);
  // Takes the next complete frame out of what was fed. A bad magic or a length outside
  // 12..65536 gives kBad, decided as soon as the 12 header bytes are in, and every later call
  // gives kBad too.
  Result Next(Frame* pFrame);

 private:
  std::string m_pending;
  size_t m_offset = 0;  // bytes of m_pending already handed out
  bool m_bad = false;
};
