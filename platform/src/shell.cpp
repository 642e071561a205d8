#include "win32/shell.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "handles.h"
#include "paths.h"
#include "shell_items.h"
#include "store_files.h"
#include "win32/strings.h"

namespace win32 {
namespace {

// The POSIX folder behind a CSIDL; false for folders that have no place here.
bool FolderFor(int csidl, std::string* pFolder) {
  const std::string root = detail::SandboxRoot();
  switch (csidl) {
    case CSIDL_APPDATA:
      *pFolder =
          !root.empty() ? root + "/appdata" : detail::XdgFolder("XDG_CONFIG_HOME", ".config");
      return true;
    case CSIDL_LOCAL_APPDATA:
      *pFolder = !root.empty() ? root + "/local-appdata"
                               : detail::XdgFolder("XDG_DATA_HOME", ".local/share");
      return true;
    case CSIDL_COMMON_APPDATA:
      *pFolder = !root.empty()
                     ? root + "/common-appdata"
                     : detail::XdgFolder("XDG_STATE_HOME", ".local/state") + "/lumidock/common";
      return true;
    default:
      return false;
  }
}

// The folder in Windows form, created first when asked. Returns the HRESULT.
HRESULT FolderPath(int csidl, std::u16string* pPath) {
  std::string folder;
  if (!FolderFor(csidl & ~CSIDL_FLAG_MASK, &folder)) return E_INVALIDARG;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (csidl & CSIDL_FLAG_CREATE) {
    if (DWORD error = detail::MakeDirectories(folder, 0700)) return HRESULT_FROM_WIN32(error);
  }
  *pPath = detail::FromPosixPath(folder);
  // Callers hold MAX_PATH characters; a cut path would name another folder.
  if (pPath->size() >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
  return S_OK;
}

}  // namespace

HRESULT SHGetFolderPathW(HWND, int csidl, HANDLE, DWORD, LPWSTR path) {
  if (!path) return E_INVALIDARG;
  path[0] = 0;
  std::u16string folder;
  HRESULT hr = FolderPath(csidl, &folder);
  if (FAILED(hr)) return hr;
  memcpy(path, folder.c_str(), (folder.size() + 1) * sizeof(WCHAR));
  return S_OK;
}

HRESULT SHGetFolderPathA(HWND, int csidl, HANDLE, DWORD, LPSTR path) {
  if (!path) return E_INVALIDARG;
  path[0] = 0;
  std::u16string folder;
  HRESULT hr = FolderPath(csidl, &folder);
  if (FAILED(hr)) return hr;
  std::string narrow = Utf16ToUtf8(folder);
  if (narrow.size() >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
  memcpy(path, narrow.c_str(), narrow.size() + 1);
  return S_OK;
}

BOOL SHGetSpecialFolderPathW(HWND owner, LPWSTR path, int csidl, BOOL create) {
  HRESULT hr = SHGetFolderPathW(owner, csidl | (create ? CSIDL_FLAG_CREATE : 0), nullptr,
                                SHGFP_TYPE_CURRENT, path);
  if (FAILED(hr)) {
    SetLastError((hr & 0xFFFF0000) == 0x80070000 ? static_cast<DWORD>(hr & 0xFFFF)
                                                 : ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

HRESULT SHGetFolderLocation(HWND, int csidl, HANDLE, DWORD, PIDLIST_ABSOLUTE* ppidl) {
  if (!ppidl) return E_INVALIDARG;
  *ppidl = nullptr;
  if ((csidl & ~CSIDL_FLAG_MASK) != CSIDL_DRIVES) return E_INVALIDARG;
  *ppidl = detail::MakeDrivesItem();
  return *ppidl ? S_OK : E_OUTOFMEMORY;
}

HRESULT SHGetSpecialFolderLocation(HWND owner, int csidl, PIDLIST_ABSOLUTE* ppidl) {
  return SHGetFolderLocation(owner, csidl, nullptr, 0, ppidl);
}

void ILFree(PIDLIST_ABSOLUTE pidl) { std::free(pidl); }

void SHChangeNotify(LONG, UINT, LPCVOID, LPCVOID) {}

BOOL PathFileExistsW(LPCWSTR path) {
  std::string posix;
  struct stat st;
  if (!path || !detail::ToPosixPath(std::u16string_view(path), &posix) ||
      stat(posix.c_str(), &st) != 0) {
    return detail::Fail(ERROR_FILE_NOT_FOUND);
  }
  return TRUE;
}

}  // namespace win32
