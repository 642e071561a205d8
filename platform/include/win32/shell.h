#pragma once
// Shell folders and the few shell calls the system makes. Folders are returned in Windows form
// ("\home\u\.config"). With LUMIDOCK_ROOT set they all live under it (<root>\appdata,
// <root>\local-appdata, <root>\common-appdata); otherwise application data is
// $XDG_CONFIG_HOME (~/.config), local application data $XDG_DATA_HOME (~/.local/share) and the
// common application data $XDG_STATE_HOME/lumidock/common (per user: Linux has no folder that
// every user may write).

#include "win32/base.h"

namespace win32 {

constexpr int CSIDL_DRIVES = 0x0011;
constexpr int CSIDL_APPDATA = 0x001A;
constexpr int CSIDL_LOCAL_APPDATA = 0x001C;
constexpr int CSIDL_COMMON_APPDATA = 0x0023;
constexpr int CSIDL_FLAG_CREATE = 0x8000;
constexpr int CSIDL_FLAG_MASK = 0xFF00;

constexpr DWORD SHGFP_TYPE_CURRENT = 0;
constexpr DWORD SHGFP_TYPE_DEFAULT = 1;

// Item identifier lists. The only one handed out is the marker for "My Computer".
#pragma pack(push, 1)
struct SHITEMID {
  USHORT cb;
  BYTE abID[1];
};
struct ITEMIDLIST {
  SHITEMID mkid;
};
#pragma pack(pop)
using LPITEMIDLIST = ITEMIDLIST*;
using LPCITEMIDLIST = const ITEMIDLIST*;
using PIDLIST_ABSOLUTE = ITEMIDLIST*;
using PCIDLIST_ABSOLUTE = const ITEMIDLIST*;

constexpr LONG SHCNE_UPDATEITEM = 0x00002000;
constexpr LONG SHCNE_UPDATEDIR = 0x00001000;
constexpr LONG SHCNE_ASSOCCHANGED = 0x08000000;
constexpr UINT SHCNF_IDLIST = 0x0000;
constexpr UINT SHCNF_PATHW = 0x0005;
constexpr UINT SHCNF_FLUSH = 0x1000;

// The folder's path into `path` (at least MAX_PATH characters). CSIDL_FLAG_CREATE creates it with
// its parents. The path is given even when the folder does not exist yet (on Windows these folders
// always exist). A path of MAX_PATH characters or more fails rather than being cut.
// Unknown or virtual folders give E_INVALIDARG; a failed creation the error as an HRESULT.
WIN32_API HRESULT SHGetFolderPathW(HWND owner, int csidl, HANDLE token, DWORD flags, LPWSTR path);
// The path in UTF-8 (the system code page here).
WIN32_API HRESULT SHGetFolderPathA(HWND owner, int csidl, HANDLE token, DWORD flags, LPSTR path);
WIN32_API BOOL SHGetSpecialFolderPathW(HWND owner, LPWSTR path, int csidl, BOOL create);

// Only CSIDL_DRIVES: an item list that ILFree or CoTaskMemFree frees.
WIN32_API HRESULT SHGetFolderLocation(HWND owner, int csidl, HANDLE token, DWORD reserved,
                                      PIDLIST_ABSOLUTE* ppidl);
WIN32_API HRESULT SHGetSpecialFolderLocation(HWND owner, int csidl, PIDLIST_ABSOLUTE* ppidl);
WIN32_API void ILFree(PIDLIST_ABSOLUTE pidl);

// No shell watches anything here; accepted and ignored.
WIN32_API void SHChangeNotify(LONG eventId, UINT flags, LPCVOID item1, LPCVOID item2);

// SHCreateDirectoryExW is declared in win32/file.h.

WIN32_API BOOL PathFileExistsW(LPCWSTR path);

}  // namespace win32
