#include "PhoneCipher.h"

#include <openssl/evp.h>

#include <memory>

namespace peer {

namespace {

constexpr size_t kXorKeySize = CPhoneCipher::kKeySize / 2;

bool IsAes(uint16_t encodeType) { return encodeType == 2 || encodeType == 3; }

void XorWithKey(std::string_view key, std::string_view in, std::string* out) {
  out->resize(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    (*out)[i] = static_cast<char>(in[i] ^ key[i % kXorKeySize]);
  }
}

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

// Runs AES-128-ECB over whole blocks with OpenSSL's padding off; the pad rule is ours.
bool AesBlocks(bool encrypt, std::string_view key, const uint8_t* in, size_t size, uint8_t* out) {
  if (size == 0) return true;
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return false;
  const auto* keyBytes = reinterpret_cast<const unsigned char*>(key.data());
  if (EVP_CipherInit_ex(ctx.get(), EVP_aes_128_ecb(), nullptr, keyBytes, nullptr,
                        encrypt ? 1 : 0) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1) {
    return false;
  }
  int produced = 0;
  if (EVP_CipherUpdate(ctx.get(), out, &produced, in, static_cast<int>(size)) != 1) return false;
  int tail = 0;
  if (EVP_CipherFinal_ex(ctx.get(), out + produced, &tail) != 1) return false;
  return static_cast<size_t>(produced + tail) == size;
}

}  // namespace

bool CPhoneCipher::Encrypt(uint16_t encodeType, std::string_view key, std::string_view plain,
                           std::string* out) {
  if (encodeType == 0) {
    out->assign(plain);
    return true;
  }
  if (encodeType > 3 || key.size() != kKeySize) return false;
  if (encodeType == 1) {
    XorWithKey(key, plain, out);
    return true;
  }
  const size_t whole = plain.size() / kAesBlockSize * kAesBlockSize;
  const size_t pad = kAesBlockSize - plain.size() % kAesBlockSize;
  uint8_t last[kAesBlockSize];
  for (size_t i = 0; i < kAesBlockSize; ++i) {
    last[i] = i < kAesBlockSize - pad ? static_cast<uint8_t>(plain[whole + i])
                                      : static_cast<uint8_t>(pad);
  }
  out->resize(whole + kAesBlockSize);
  auto* dst = reinterpret_cast<uint8_t*>(out->data());
  if (!AesBlocks(true, key, reinterpret_cast<const uint8_t*>(plain.data()), whole, dst) ||
      !AesBlocks(true, key, last, kAesBlockSize, dst + whole)) {
    out->clear();
    return false;
  }
  return true;
}

bool CPhoneCipher::Decrypt(uint16_t encodeType, std::string_view key, std::string_view cipher,
                           std::string* out) {
  if (encodeType == 0) {
    out->assign(cipher);
    return true;
  }
  if (encodeType > 3 || key.size() != kKeySize) return false;
  if (encodeType == 1) {
    XorWithKey(key, cipher, out);
    return true;
  }
  if (cipher.empty() || cipher.size() % kAesBlockSize != 0) return false;
  out->resize(cipher.size());
  if (!AesBlocks(false, key, reinterpret_cast<const uint8_t*>(cipher.data()), cipher.size(),
                 reinterpret_cast<uint8_t*>(out->data()))) {
    out->clear();
    return false;
  }
  const size_t pad = static_cast<uint8_t>(out->back());
  bool padOk = pad >= 1 && pad <= kAesBlockSize;
  for (size_t i = 0; padOk && i < pad; ++i) {
    padOk = static_cast<uint8_t>((*out)[out->size() - 1 - i]) == pad;
  }
  if (!padOk) {
    out->clear();
    return false;
  }
  out->resize(out->size() - pad);
  return true;
}

size_t CPhoneCipher::CipherSize(uint16_t encodeType, size_t plainSize) {
  if (!IsAes(encodeType)) return plainSize;
  return (plainSize / kAesBlockSize + 1) * kAesBlockSize;
}

size_t CPhoneCipher::MaxPlainSize(uint16_t encodeType, size_t maxCipherSize) {
  if (!IsAes(encodeType)) return maxCipherSize;
  // The pad takes at least one byte of the last whole block that fits.
  const size_t blocks = maxCipherSize / kAesBlockSize;
  return blocks == 0 ? 0 : blocks * kAesBlockSize - 1;
}

}  // namespace peer
