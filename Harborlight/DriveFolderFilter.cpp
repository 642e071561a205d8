#include "DriveFolderFilter.h"

#include <string>

using namespace win32;

namespace {

constexpr char16_t kMyComputerParsingName[] = u"::{20D04FE0-3AEA-1069-A2D8-08002B30309D}";

char16_t Upper(char16_t c) { return (c >= u'a' && c <= u'z') ? c - u'a' + u'A' : c; }

std::u16string NameOf(IShellFolder* pFolder, PCUITEMID_CHILD pidlItem, SHGDNF flags) {
  STRRET name{};
  WCHAR buffer[MAX_PATH] = {};
  if (SUCCEEDED(pFolder->GetDisplayNameOf(pidlItem, flags, &name))) {
    StrRetToBufW(&name, pidlItem, buffer, MAX_PATH);
  }
  return buffer;
}

}  // namespace

int FindDriveIndex(const std::vector<DriveEntry>& drives, const WCHAR* pPath) {
  if (!pPath || !pPath[0] || !pPath[1]) return -1;
  for (size_t i = 0; i < drives.size(); ++i) {
    if (Upper(drives[i].root[0]) == Upper(pPath[0]) &&
        Upper(drives[i].root[1]) == Upper(pPath[1])) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

HRESULT CDriveFolderFilter::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IFolderFilter) {
    *ppv = static_cast<IFolderFilter*>(this);
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

HRESULT CDriveFolderFilter::ShouldShow(IShellFolder* pFolder, PCIDLIST_ABSOLUTE,
                                       PCUITEMID_CHILD pidlItem) {
  if (!pFolder) return S_FALSE;
  const std::u16string display = NameOf(pFolder, pidlItem, SHGDN_NORMAL);
  const std::u16string parsing = NameOf(pFolder, pidlItem, SHGDN_FORPARSING);
  if (parsing.empty() || parsing == kMyComputerParsingName || display == u"我的电脑" ||
      display == u"My Computer" || FindDriveIndex(*m_pDrives, parsing.c_str()) != -1) {
    return S_OK;
  }
  return S_FALSE;
}

HRESULT CDriveFolderFilter::GetEnumFlags(IShellFolder*, PCIDLIST_ABSOLUTE, HWND*, DWORD* pFlags) {
  if (pFlags) *pFlags = SHCONTF_FOLDERS;
  return S_OK;
}
