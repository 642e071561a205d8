#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The body cipher of phone frames, also used for the check key and the unbind records sent to
// the server. A key is the text of a device key or of the bind key, used as its bytes.
//   type 1: XOR with the first half of the key text;
//   type 2: AES-128 in ECB under the first 16 bytes of the key text, always padded: the last
//           block carries the n mod 16 remaining bytes followed by p = 16 - (n mod 16) bytes of
//           value p, so n bytes become (n / 16 + 1) * 16.
// Every result is empty unless the key text is longer than 10 characters.
// Lifetime: built per use, never stored.
// Threading: one object per use; Encrypt and Decrypt make their own cipher context, so any
//   number of threads may cipher at once.
class CCommandKey {
 public:
  static constexpr uint32_t kTypeXor = 1;
  static constexpr uint32_t kTypeAes = 2;
  static constexpr size_t kAesBlock = 16;

  CCommandKey() = default;
  CCommandKey(const CCommandKey&) = delete;
  CCommandKey& operator=(const CCommandKey&) = delete;

  void SetKey(const std::string& text);
  // Types 1 and 2; any other type gives an empty result.
  std::string Encrypt(uint32_t type, const void* pData, size_t length) const;
  // Type 2 deciphers the whole blocks only (bytes after the last one are dropped) and then
  // cuts b bytes when the last byte b, read as a signed byte, is above 0 and not above the
  // length. Other pad bytes are left as they are: the message parse after it refuses them.
  std::string Decrypt(uint32_t type, const void* pData, size_t length) const;
  // Decrypt over the caller's bytes: the plain text replaces the cipher text at pData and its
  // length is returned (0 where Decrypt gives an empty result).
  size_t DecryptInPlace(uint32_t type, void* pData, size_t length) const;

 private:
  bool Usable() const { return m_key.size() > 10; }
  std::string Xor(const uint8_t* pData, size_t length) const;
  void XorInPlace(uint8_t* pData, size_t length) const;
  // Runs AES-128-ECB over `length` bytes (a multiple of 16) in place.
  bool AesBlocks(bool encrypt, uint8_t* pData, size_t length) const;

  std::string m_key;
  std::string m_xorKey;  // the first floor(length / 2) characters of m_key
};
