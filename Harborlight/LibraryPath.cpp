#include "LibraryPath.h"

#include "win32/module_name.h"

using namespace win32;

std::u16string LibraryPathInFolder(const WCHAR* pFolder, const WCHAR* pFileName) {
  std::u16string path;
  if (pFolder && *pFolder) {
    path = pFolder;
    if (path.back() != u'\\') path += u'\\';
  } else {
    WCHAR modulePath[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(nullptr, modulePath, MAX_PATH);
    path.assign(modulePath, length < MAX_PATH ? length : 0);
    size_t cut = path.rfind(u'\\');
    path.resize(cut == std::u16string::npos ? 0 : cut + 1);
  }
  return path + pFileName;
}
