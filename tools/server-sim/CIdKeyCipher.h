#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The cipher of check keys and unbind records: AES-128-ECB whose key is the first 16 text bytes
// of a PC's id key, always padded (n bytes become (n/16+1)*16; the pad is p bytes of value p).
// Opening checks the padding byte for byte and the exact plaintext size, which catches a record
// sealed under another key or torn on the way.
//   check key:     BE64(pc id) || BE64(server time)                  -> 32 bytes
//   unbind record: BE64(pc id) || BE64(phone id) || 16 phone key bytes -> 48 bytes
// Threading: immutable after construction; any thread.
class CIdKeyCipher {
 public:
  static constexpr size_t kBlockSize = 16;
  static constexpr size_t kCheckKeySize = 32;
  static constexpr size_t kUnbindRecordSize = 48;
  static constexpr size_t kPhoneKeySize = 16;

  // A key text shorter than 16 bytes is filled up with zero bytes.
  explicit CIdKeyCipher(const std::string& idKey);
  CIdKeyCipher(const CIdKeyCipher&) = default;
  CIdKeyCipher& operator=(const CIdKeyCipher&) = default;

  std::string Encipher(const std::string& plain) const;
  // False unless the size is a non-zero multiple of 16 and the padding is exact.
  [[nodiscard]] bool Decipher(const std::string& cipher, std::string* pPlain) const;

  std::string BuildCheckKey(int64_t idPc, int64_t svrTime) const;
  [[nodiscard]] bool OpenCheckKey(const std::string& checkKey, int64_t* pIdPc,
                                  int64_t* pSvrTime) const;
  // Empty when the phone key is not 16 bytes.
  std::string BuildUnbindRecord(int64_t idPc, int64_t idPhone, const std::string& phoneKey) const;
  [[nodiscard]] bool OpenUnbindRecord(const std::string& record, int64_t* pIdPc, int64_t* pIdPhone,
                                      std::string* pPhoneKey) const;

 private:
  bool RunBlocks(bool encrypt, const std::string& in, std::string* pOut) const;

  unsigned char m_key[kBlockSize] = {};
};
