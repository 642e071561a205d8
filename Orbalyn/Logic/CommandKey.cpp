#include "Logic/CommandKey.h"

#include <openssl/evp.h>

#include <cstring>
#include <memory>

namespace {

struct CipherContextDeleter {
  void operator()(EVP_CIPHER_CTX* pContext) const { EVP_CIPHER_CTX_free(pContext); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter>;

// Fetched once: handing EVP the built-in cipher object makes it look the implementation up
// again on every call, which costs more than ciphering a small body.
const EVP_CIPHER* Aes128Ecb() {
  static const EVP_CIPHER* const pCipher = [] {
    const EVP_CIPHER* pFetched = EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr);
    return pFetched ? pFetched : EVP_aes_128_ecb();
  }();
  return pCipher;
}

}  // namespace

void CCommandKey::SetKey(const std::string& text) {
  m_key = text;
  m_xorKey = text.substr(0, text.size() / 2);
}

std::string CCommandKey::Encrypt(uint32_t type, const void* pData, size_t length) const {
  if (!Usable()) return {};
  const auto* pBytes = static_cast<const uint8_t*>(pData);
  if (!pBytes) length = 0;
  if (type == kTypeXor) return Xor(pBytes, length);
  if (type != kTypeAes) return {};

  const size_t whole = length / kAesBlock * kAesBlock;
  const size_t pad = kAesBlock - (length - whole);
  std::string result(whole + kAesBlock, '\0');
  auto* pOut = reinterpret_cast<uint8_t*>(result.data());
  if (length) memcpy(pOut, pBytes, length);
  memset(pOut + length, static_cast<int>(pad), pad);
  if (!AesBlocks(true, pOut, result.size())) return {};
  return result;
}

std::string CCommandKey::Decrypt(uint32_t type, const void* pData, size_t length) const {
  if (!Usable() || !pData || (type != kTypeXor && type != kTypeAes)) return {};
  // AES drops the bytes after the last whole block.
  const size_t taken = type == kTypeAes ? length / kAesBlock * kAesBlock : length;
  std::string result(static_cast<const char*>(pData), taken);
  result.resize(DecryptInPlace(type, result.data(), taken));
  return result;
}

size_t CCommandKey::DecryptInPlace(uint32_t type, void* pData, size_t length) const {
  if (!Usable() || !pData) return 0;
  auto* pBytes = static_cast<uint8_t*>(pData);
  if (type == kTypeXor) {
    XorInPlace(pBytes, length);
    return length;
  }
  if (type != kTypeAes) return 0;

  const size_t whole = length / kAesBlock * kAesBlock;
  if (whole == 0 || !AesBlocks(false, pBytes, whole)) return 0;
  const int pad = static_cast<int8_t>(pBytes[whole - 1]);
  if (pad > 0 && static_cast<size_t>(pad) <= whole) return whole - static_cast<size_t>(pad);
  return whole;
}

std::string CCommandKey::Xor(const uint8_t* pData, size_t length) const {
  std::string result(reinterpret_cast<const char*>(pData), length);
  XorInPlace(reinterpret_cast<uint8_t*>(result.data()), length);
  return result;
}

void CCommandKey::XorInPlace(uint8_t* pData, size_t length) const {
  const size_t keyLength = m_xorKey.size();  // at least 5: the key is longer than 10
  for (size_t i = 0; i < length; ++i) pData[i] ^= static_cast<uint8_t>(m_xorKey[i % keyLength]);
}

bool CCommandKey::AesBlocks(bool encrypt, uint8_t* pData, size_t length) const {
  // A key text of 11 to 15 characters is padded with zero bytes; every key the system makes
  // or loads has 16.
  uint8_t key[kAesBlock] = {};
  memcpy(key, m_key.data(), m_key.size() < kAesBlock ? m_key.size() : kAesBlock);

  // One context and one update over all the blocks: the same bytes as block-by-block calls,
  // at a small fraction of their cost on large bodies.
  CipherContext pContext(EVP_CIPHER_CTX_new());
  if (!pContext) return false;
  if (EVP_CipherInit_ex(pContext.get(), Aes128Ecb(), nullptr, key, nullptr, encrypt ? 1 : 0) != 1 ||
      EVP_CIPHER_CTX_set_padding(pContext.get(), 0) != 1) {
    return false;
  }
  // EVP takes an int length; bodies are at most 64 KiB, but a caller's buffer may not be.
  constexpr size_t kMaxChunk = size_t{1} << 30;
  for (size_t done = 0; done < length;) {
    const size_t chunk = length - done < kMaxChunk ? length - done : kMaxChunk;
    int written = 0;
    if (EVP_CipherUpdate(pContext.get(), pData + done, &written, pData + done,
                         static_cast<int>(chunk)) != 1 ||
        static_cast<size_t>(written) != chunk) {
      return false;
    }
    done += chunk;
  }
  return true;
}
