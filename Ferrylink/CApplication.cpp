#include "CApplication.h"

#include <string>

#include "win32/module_name.h"
#include "win32/shellui.h"

using namespace win32;

namespace {

HICON LoadProgramIcon(int size) {
  WCHAR path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::u16string file(path, length < MAX_PATH ? length : 0);
  const size_t cut = file.find_last_of(u'\\');
  if (cut == std::u16string::npos) return nullptr;
  file = file.substr(0, cut + 1) + u"Ferrylink.ico";
  return reinterpret_cast<HICON>(
      LoadImageW(nullptr, file.c_str(), IMAGE_ICON, size, size, LR_LOADFROMFILE));
}

}  // namespace

CApplication::CApplication() : m_hBigIcon(LoadProgramIcon(32)), m_hSmallIcon(LoadProgramIcon(16)) {}

CApplication::~CApplication() {
  if (m_hBigIcon) DestroyIcon(m_hBigIcon);
  if (m_hSmallIcon) DestroyIcon(m_hSmallIcon);
}
