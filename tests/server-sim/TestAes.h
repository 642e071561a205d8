#pragma once
// OpenSSL's own PKCS#7 padding gives the bytes the wire format asks for ("p bytes of value p",
// always a pad block), so the tests check the simulator's cipher against it.

#include <openssl/evp.h>

#include <cstdint>
#include <string>

namespace serversim_test {

inline std::string AesPkcs7(bool encrypt, const std::string& idKey, const std::string& in) {
  EVP_CIPHER_CTX* pContext = EVP_CIPHER_CTX_new();
  std::string out(in.size() + 16, '\0');
  int written = 0;
  int finished = 0;
  bool ok = EVP_CipherInit_ex(pContext, EVP_aes_128_ecb(), nullptr,
                              reinterpret_cast<const unsigned char*>(idKey.data()), nullptr,
                              encrypt ? 1 : 0) == 1 &&
            EVP_CipherUpdate(pContext, reinterpret_cast<unsigned char*>(out.data()), &written,
                             reinterpret_cast<const unsigned char*>(in.data()),
                             static_cast<int>(in.size())) == 1 &&
            EVP_CipherFinal_ex(pContext, reinterpret_cast<unsigned char*>(out.data()) + written,
                               &finished) == 1;
  EVP_CIPHER_CTX_free(pContext);
  out.resize(ok ? static_cast<size_t>(written + finished) : 0);
  return out;
}

inline std::string Be64(int64_t value) {
  std::string bytes;
  for (int shift = 56; shift >= 0; shift -= 8) {
    bytes.push_back(static_cast<char>(static_cast<uint64_t>(value) >> shift));
  }
  return bytes;
}

// The PC's check key, built here independently of the simulator.
inline std::string CheckKey(const std::string& idKey, int64_t idPc, int64_t svrTime) {
  return AesPkcs7(true, idKey, Be64(idPc) + Be64(svrTime));
}

}  // namespace serversim_test
