#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace peer {

inline constexpr uint16_t kPhoneFrameMagic = 0x77DE;
inline constexpr size_t kPhoneFrameHeaderSize = 40;
inline constexpr size_t kPhoneFrameMaxSize = 65536;
// A relayed phone frame travels as the body of a server frame, whose 12-byte header counts
// against the same 65536-byte limit.
inline constexpr size_t kServerFrameHeaderSize = 12;
inline constexpr size_t kRelayedPhoneFrameMaxSize = kPhoneFrameMaxSize - kServerFrameHeaderSize;
// Field 1 of every phone<->PC body, both ways.
inline constexpr int32_t kPhoneCheckCode = 0x5B2D7E61;

// The 40-byte header in host byte order. Build() fills magic and total length itself.
struct PhoneFrameHeader {
  uint16_t magic = kPhoneFrameMagic;
  int64_t destId = 0;
  int64_t srcId = 0;
  uint16_t command = 0;
  uint32_t sequence = 0;
  uint32_t totalLength = 0;
  uint32_t echo = 0;
  uint16_t result = 0;
  uint16_t encodeType = 0;
  uint32_t reserved = 0;
};

// Codec of one phone command frame: a 40-byte big-endian header followed by the body exactly as
// it travels (already enciphered). Stateless; CPhoneFrameCutter cuts frames out of a stream.
class CPhoneFrame {
 public:
  CPhoneFrame() = delete;

  // Writes the 40 header bytes at `out` in network order, every field as given.
  static void WriteHeader(const PhoneFrameHeader& header, uint8_t* out);
  // Reads 40 header bytes; checks nothing.
  static PhoneFrameHeader ReadHeader(const uint8_t* in);
  // Header and body; magic is set to 0x77DE and the total length to 40 + body size. No size
  // limit is applied here, so fault tests can build oversized frames.
  static std::string Build(const PhoneFrameHeader& header, std::string_view body);
  // The same into *pFrame, whose memory is reused: a sender of many frames allocates once.
  static void BuildInto(const PhoneFrameHeader& header, std::string_view body, std::string* pFrame);
  // Accepts exactly one complete frame: the magic, 40 <= total length <= 65536, and a total
  // length equal to the bytes given. The body view points into `frame`.
  [[nodiscard]] static bool Parse(std::string_view frame, PhoneFrameHeader* header,
                                  std::string_view* body);
};

}  // namespace peer
