#pragma once
// A folder's custom settings as the shell keeps them: the [.ShellClassInfo] section of the
// folder's desktop.ini. Nothing on Linux shows them; the file is written as the shell would
// write it, so that the folder carries the same decoration.

#include "win32/base.h"

namespace win32 {

// dwMask bits
constexpr DWORD FCSM_VIEWID = 0x0001;
constexpr DWORD FCSM_WEBVIEWTEMPLATE = 0x0002;
constexpr DWORD FCSM_INFOTIP = 0x0004;
constexpr DWORD FCSM_CLSID = 0x0008;
constexpr DWORD FCSM_ICONFILE = 0x0010;
constexpr DWORD FCSM_LOGO = 0x0020;
constexpr DWORD FCSM_FLAGS = 0x0040;

// dwReadWrite
constexpr DWORD FCS_READ = 0x0001;
constexpr DWORD FCS_FORCEWRITE = 0x0002;
constexpr DWORD FCS_WRITE = FCS_READ | FCS_FORCEWRITE;

struct SHFOLDERCUSTOMSETTINGS {
  DWORD dwSize;
  DWORD dwMask;
  GUID* pvid;
  LPWSTR pszWebViewTemplate;
  DWORD cchWebViewTemplate;
  LPWSTR pszWebViewTemplateVersion;
  LPWSTR pszInfoTip;
  DWORD cchInfoTip;
  CLSID* pclsid;
  DWORD dwFlags;
  LPWSTR pszIconFile;
  DWORD cchIconFile;
  int iIconIndex;
  LPWSTR pszLogo;
  DWORD cchLogo;
};
using LPSHFOLDERCUSTOMSETTINGS = SHFOLDERCUSTOMSETTINGS*;

// Writing only (FCS_FORCEWRITE, or FCS_WRITE): the icon (FCSM_ICONFILE: IconResource,
// IconFile and IconIndex) and the info tip (FCSM_INFOTIP: InfoTip) go to
// "<folder>\desktop.ini", section [.ShellClassInfo]; other mask bits are ignored. A folder that
// does not exist gives HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND); reading gives E_NOTIMPL.
WIN32_API HRESULT SHGetSetFolderCustomSettings(LPSHFOLDERCUSTOMSETTINGS settings, LPCWSTR folder,
                                               DWORD readWrite);

}  // namespace win32
