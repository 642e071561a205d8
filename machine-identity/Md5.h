#pragma once
// MD5 message digest (RFC 1321). The machine GUID, the cache hashes and the hardware id are all
// MD5 digests, so the code carries its own implementation rather than depending on a crypto
// library in both deliverables.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ZyMacID {

// Incremental digest: Update any number of times, then Final once.
// Threading: one object per thread; no shared state.
class CMd5 {
 public:
  static constexpr size_t kDigestSize = 16;

  CMd5();
  CMd5(const CMd5&) = delete;
  CMd5& operator=(const CMd5&) = delete;
  ~CMd5() = default;

  void Update(const void* pData, size_t length);
  void Update(std::string_view text) { Update(text.data(), text.size()); }
  // Writes the 16-byte digest. The object must not be updated afterwards.
  void Final(uint8_t digest[kDigestSize]);

  // The digest of `text` as 32 lowercase hexadecimal digits.
  static std::string HexDigest(std::string_view text);
  // 16 bytes as 32 lowercase hexadecimal digits.
  static std::string ToHex(const uint8_t digest[kDigestSize]);

 private:
  void Transform(const uint8_t block[64]);

  uint32_t m_state[4];
  uint64_t m_bitCount;
  uint8_t m_buffer[64];
};

}  // namespace ZyMacID
