#include "ResourcePath.h"

#include "Basalt/CKwBSTR.h"
#include "Basalt/Util.h"
#include "win32/file.h"

using namespace win32;

namespace lq {

namespace {

constexpr std::u16string_view kResourcePrefix = u"platformres:";

std::u16string CoreFolder(bool layout) {
  IKwCore* pCore = nullptr;
  Util::Core::GetPlatformCore(&pCore);
  std::u16string folder;
  if (pCore) {
    BSTR value = nullptr;
    HRESULT hr = layout ? pCore->GetLayoutFolder(&value) : pCore->GetResourceFolder(&value);
    if (SUCCEEDED(hr) && value) folder = value;
    SysFreeString(value);
    pCore->Release();
  }
  if (folder.empty()) {
    folder = Util::Sys::GetExeDir().Text() + (layout ? u"layout\\" : u"res\\");
  }
  if (folder.back() != u'\\' && folder.back() != u'/') folder += u'\\';
  return folder;
}

}  // namespace

std::u16string ResolvePicturePath(const std::u16string& reference) {
  if (reference.compare(0, kResourcePrefix.size(), kResourcePrefix) != 0) return reference;
  std::u16string rest = reference.substr(kResourcePrefix.size());
  while (!rest.empty() && (rest.front() == u'\\' || rest.front() == u'/')) rest.erase(0, 1);
  return rest.empty() ? std::u16string() : CoreResourceFolder() + rest;
}

std::u16string CoreLayoutFolder() { return CoreFolder(true); }
std::u16string CoreResourceFolder() { return CoreFolder(false); }

bool ReadWholeFile(const std::u16string& path, std::string* pBytes) {
  pBytes->clear();
  HANDLE hFile = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             0, nullptr);
  if (hFile == INVALID_HANDLE_VALUE) return false;
  char chunk[65536];
  bool ok = true;
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(hFile, chunk, sizeof(chunk), &read, nullptr)) {
      ok = false;
      break;
    }
    if (read == 0) break;
    pBytes->append(chunk, read);
  }
  CloseHandle(hFile);
  return ok;
}

}  // namespace lq
