#include "win32/shell_custom.h"

#include <string>

#include "win32/file.h"
#include "win32/profile.h"
#include "win32/strings.h"

namespace win32 {
namespace {

constexpr WCHAR kSection[] = u".ShellClassInfo";

// The failed write's error; never a success code.
HRESULT LastWriteError() {
  DWORD error = GetLastError();
  return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

}  // namespace

// Windows writes the settings into desktop.ini through the profile functions, so the file keeps
// any other sections it had; FCS_FORCEWRITE writes whether or not the values changed.
HRESULT SHGetSetFolderCustomSettings(LPSHFOLDERCUSTOMSETTINGS settings, LPCWSTR folder,
                                     DWORD readWrite) {
  if (!settings || !folder || settings->dwSize < sizeof(SHFOLDERCUSTOMSETTINGS)) {
    return E_INVALIDARG;
  }
  if (!(readWrite & FCS_FORCEWRITE)) return E_NOTIMPL;
  DWORD attributes = GetFileAttributesW(folder);
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
  }
  std::u16string iniPath(folder);
  if (iniPath.empty() || (iniPath.back() != u'\\' && iniPath.back() != u'/')) iniPath += u'\\';
  iniPath += u"desktop.ini";
  const WCHAR* pIni = iniPath.c_str();

  if ((settings->dwMask & FCSM_ICONFILE) && settings->pszIconFile) {
    const std::u16string icon(settings->pszIconFile);
    const std::u16string index = FormatW(u"%d", settings->iIconIndex);
    const std::u16string resource = icon + u"," + index;
    if (!WritePrivateProfileStringW(kSection, u"IconResource", resource.c_str(), pIni) ||
        !WritePrivateProfileStringW(kSection, u"IconFile", icon.c_str(), pIni) ||
        !WritePrivateProfileStringW(kSection, u"IconIndex", index.c_str(), pIni)) {
      return LastWriteError();
    }
  }
  if (settings->dwMask & FCSM_INFOTIP) {
    const WCHAR* pTip = settings->pszInfoTip ? settings->pszInfoTip : u"";
    if (!WritePrivateProfileStringW(kSection, u"InfoTip", pTip, pIni)) {
      return LastWriteError();
    }
  }
  return S_OK;
}

}  // namespace win32
