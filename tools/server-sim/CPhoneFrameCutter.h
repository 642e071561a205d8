#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Reads just enough of a phone frame to relay it: magic u16 0x77DE at 0, destination id i64 at
// 2, source id i64 at 10 and total length u32 at 24 (40..65536), all big-endian. The body stays
// enciphered; the server never looks inside. An instance cuts whole frames from a phone's
// stream on the relay port.
// Threading: ReadHeader is pure; an instance belongs to one reader.
class CPhoneFrameCutter {
 public:
  enum class Result { kNeedMore, kFrame, kBad };

  struct Header {
    int64_t destId = 0;
    int64_t srcId = 0;
    uint32_t totalLength = 0;
  };

  static constexpr uint16_t kMagic = 0x77DE;
  static constexpr size_t kHeaderSize = 40;
  static constexpr size_t kMaxFrameSize = 65536;

  CPhoneFrameCutter() = default;
  CPhoneFrameCutter(const CPhoneFrameCutter&) = delete;
  CPhoneFrameCutter& operator=(const CPhoneFrameCutter&) = delete;

  // False when fewer than 40 bytes are given, the magic is wrong or the length is out of range.
  // The length may exceed `length`: the caller decides whether the frame is complete.
  static bool ReadHeader(const void* pData, size_t length, Header* pHeader);

  void Feed(const void* pData, size_t length);
  // The next whole frame and its header; after kBad every call gives kBad.
  Result Next(std::string* pFrame, Header* pHeader);

 private:
  std::string m_pending;
  size_t m_offset = 0;  // bytes of m_pending already handed out
  bool m_bad = false;
};
