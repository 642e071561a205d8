#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace peer {

// Body cipher of phone frames, keyed by the text bytes of a 16-character key (never
// hex-decoded). Encode types: 0 plain; 1 XOR with the key's first 8 characters; 2 and 3
// AES-128-ECB with a pad that is always present (n bytes become (n/16 + 1) * 16, each pad byte
// holding the pad length). Types 2 and 3 are one cipher; the caller picks the key (the phone's
// device key for 2, the PC's bind key for 3). The server peer uses the same AES for its check
// keys and unbind records.
// Threading: stateless; callable from any thread.
class CPhoneCipher {
 public:
  static constexpr size_t kKeySize = 16;
  static constexpr size_t kAesBlockSize = 16;

  CPhoneCipher() = delete;

  // False for a type other than 0..3, or a key that is not 16 characters for types 1..3.
  [[nodiscard]] static bool Encrypt(uint16_t encodeType, std::string_view key,
                                    std::string_view plain, std::string* out);
  // The reverse. AES input must be whole blocks ending in an exact pad (p bytes of value p,
  // 1 <= p <= 16); anything else is false, so a peer that pads wrongly is caught, not excused.
  [[nodiscard]] static bool Decrypt(uint16_t encodeType, std::string_view key,
                                    std::string_view cipher, std::string* out);
  static size_t CipherSize(uint16_t encodeType, size_t plainSize);
  // Largest plaintext whose ciphertext is at most `maxCipherSize` bytes.
  static size_t MaxPlainSize(uint16_t encodeType, size_t maxCipherSize);
};

}  // namespace peer
