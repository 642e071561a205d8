#include "CIdKeyCipher.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>

namespace {

void PutBe64(std::string* pOut, int64_t value) {
  auto bits = static_cast<uint64_t>(value);
  for (int shift = 56; shift >= 0; shift -= 8) pOut->push_back(static_cast<char>(bits >> shift));
}

int64_t GetBe64(const char* p) {
  uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits = (bits << 8) | static_cast<unsigned char>(p[i]);
  return static_cast<int64_t>(bits);
}

}  // namespace

CIdKeyCipher::CIdKeyCipher(const std::string& idKey) {
  std::copy_n(idKey.begin(), std::min(idKey.size(), kBlockSize), m_key);
}

std::string CIdKeyCipher::Encipher(const std::string& plain) const {
  size_t pad = kBlockSize - plain.size() % kBlockSize;
  std::string padded = plain;
  padded.append(pad, static_cast<char>(pad));
  std::string cipher;
  if (!RunBlocks(true, padded, &cipher)) return std::string();
  return cipher;
}

bool CIdKeyCipher::Decipher(const std::string& cipher, std::string* pPlain) const {
  if (cipher.empty() || cipher.size() % kBlockSize != 0) return false;
  std::string plain;
  if (!RunBlocks(false, cipher, &plain)) return false;
  auto pad = static_cast<unsigned char>(plain.back());
  if (pad == 0 || pad > kBlockSize) return false;
  for (size_t i = plain.size() - pad; i < plain.size(); ++i) {
    if (static_cast<unsigned char>(plain[i]) != pad) return false;
  }
  plain.resize(plain.size() - pad);
  *pPlain = std::move(plain);
  return true;
}

std::string CIdKeyCipher::BuildCheckKey(int64_t idPc, int64_t svrTime) const {
  std::string plain;
  PutBe64(&plain, idPc);
  PutBe64(&plain, svrTime);
  return Encipher(plain);
}

bool CIdKeyCipher::OpenCheckKey(const std::string& checkKey, int64_t* pIdPc,
                                int64_t* pSvrTime) const {
  std::string plain;
  if (checkKey.size() != kCheckKeySize || !Decipher(checkKey, &plain) || plain.size() != 16) {
    return false;
  }
  *pIdPc = GetBe64(plain.data());
  *pSvrTime = GetBe64(plain.data() + 8);
  return true;
}

std::string CIdKeyCipher::BuildUnbindRecord(int64_t idPc, int64_t idPhone,
                                            const std::string& phoneKey) const {
  if (phoneKey.size() != kPhoneKeySize) return std::string();
  std::string plain;
  PutBe64(&plain, idPc);
  PutBe64(&plain, idPhone);
  plain += phoneKey;
  return Encipher(plain);
}

bool CIdKeyCipher::OpenUnbindRecord(const std::string& record, int64_t* pIdPc, int64_t* pIdPhone,
                                    std::string* pPhoneKey) const {
  std::string plain;
  if (record.size() != kUnbindRecordSize || !Decipher(record, &plain) || plain.size() != 32) {
    return false;
  }
  *pIdPc = GetBe64(plain.data());
  *pIdPhone = GetBe64(plain.data() + 8);
  pPhoneKey->assign(plain, 16, kPhoneKeySize);
  return true;
}

// Whole blocks only, padding off: the padding rule above is ours, not OpenSSL's.
bool CIdKeyCipher::RunBlocks(bool encrypt, const std::string& in, std::string* pOut) const {
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(EVP_CIPHER_CTX_new(),
                                                                          &EVP_CIPHER_CTX_free);
  if (!context || EVP_CipherInit_ex(context.get(), EVP_aes_128_ecb(), nullptr, m_key, nullptr,
                                    encrypt ? 1 : 0) != 1) {
    return false;
  }
  EVP_CIPHER_CTX_set_padding(context.get(), 0);
  pOut->resize(in.size());
  int written = 0;
  int finished = 0;
  auto* pTarget = reinterpret_cast<unsigned char*>(pOut->data());
  if (EVP_CipherUpdate(context.get(), pTarget, &written,
                       reinterpret_cast<const unsigned char*>(in.data()),
                       static_cast<int>(in.size())) != 1 ||
      EVP_CipherFinal_ex(context.get(), pTarget + written, &finished) != 1) {
    return false;
  }
  pOut->resize(static_cast<size_t>(written + finished));
  return true;
}
