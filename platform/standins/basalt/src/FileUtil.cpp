// Util::Sys, Util::FS and Util::Data.

#include <openssl/evp.h>

#include <memory>
#include <string>

#include "Basalt/Util.h"
#include "BasaltFiles.h"
#include "CKwBufferObject.h"
#include "CKwDataObject.h"
#include "win32/file.h"
#include "win32/module_name.h"

using namespace win32;

bool ReadFileChunks(const WCHAR* pPath, const std::function<void(const BYTE*, size_t)>& consume) {
  if (!pPath) return false;
  HANDLE hFile =
      CreateFileW(pPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (hFile == INVALID_HANDLE_VALUE) return false;
  BYTE chunk[65536];
  bool ok = true;
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(hFile, chunk, sizeof(chunk), &read, nullptr)) {
      ok = false;
      break;
    }
    if (read == 0) break;
    consume(chunk, read);
  }
  CloseHandle(hFile);
  return ok;
}

namespace Util {

CKwStringW Sys::GetExeDir() {
  WCHAR path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  // A cut path would name some other folder.
  if (length == 0 || length >= MAX_PATH) return CKwStringW();
  return FS::GetParentDir(std::u16string(path, length).c_str());
}

CKwStringW FS::GetParentDir(const WCHAR* pPath) {
  if (!pPath) return CKwStringW();
  std::u16string path(pPath);
  size_t cut = path.find_last_of(u"\\/");
  if (cut == std::u16string::npos) return CKwStringW();
  path.resize(cut + 1);
  return CKwStringW(std::move(path));
}

BOOL FS::IsFileExist(const WCHAR* pPath) {
  if (!pPath) return FALSE;
  DWORD attributes = GetFileAttributesW(pPath);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

BOOL FS::GetFileHash(const WCHAR* pPath, CKwBuffer& hash, uint64_t& size) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1) return FALSE;
  uint64_t total = 0;
  bool read = ReadFileChunks(pPath, [&](const BYTE* pData, size_t length) {
    EVP_DigestUpdate(context.get(), pData, length);
    total += length;
  });
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  if (!read || EVP_DigestFinal_ex(context.get(), digest, &digestLength) != 1) return FALSE;
  IKwBuffer* pBuffer = nullptr;
  if (FAILED(Data::CreateKwBuffer(&pBuffer))) return FALSE;
  pBuffer->SetData(digest, digestLength);
  hash.Reset(pBuffer);
  size = total;
  return TRUE;
}

HRESULT Data::CreateKwBuffer(IKwBuffer** ppBuffer) {
  if (!ppBuffer) return E_POINTER;
  *ppBuffer = new (std::nothrow) CKwBufferObject;
  return *ppBuffer ? S_OK : E_OUTOFMEMORY;
}

HRESULT Data::CreateKwData(IKwData** ppData) {
  if (!ppData) return E_POINTER;
  *ppData = new (std::nothrow) CKwDataObject;
  return *ppData ? S_OK : E_OUTOFMEMORY;
}

}  // namespace Util
