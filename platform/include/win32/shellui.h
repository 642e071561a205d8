#pragma once
// The shell's user-facing calls: the notification-area icon, icons from files, the folder
// browser with its filter objects, and opening documents, folders, web addresses and programs.
// Each goes through the GUI back end (win32/ui_backend.h): the GTK half on a desktop, the fakes
// in headless tests. Without one there is no tray, no browser and no default handler.

#include "win32/base.h"
#include "win32/com.h"
#include "win32/shell.h"
#include "win32/window.h"

namespace win32 {

// --- Notification-area icon ---
constexpr DWORD NIM_ADD = 0x00000000;
constexpr DWORD NIM_MODIFY = 0x00000001;
constexpr DWORD NIM_DELETE = 0x00000002;
constexpr UINT NIF_MESSAGE = 0x00000001;
constexpr UINT NIF_ICON = 0x00000002;
constexpr UINT NIF_TIP = 0x00000004;

struct NOTIFYICONDATAW {
  DWORD cbSize;
  HWND hWnd;
  UINT uID;
  UINT uFlags;
  UINT uCallbackMessage;
  HICON hIcon;
  WCHAR szTip[128];
  DWORD dwState;
  DWORD dwStateMask;
  WCHAR szInfo[256];
  union {
    UINT uTimeout;
    UINT uVersion;
  };
  WCHAR szInfoTitle[64];
  DWORD dwInfoFlags;
  GUID guidItem;
  HICON hBalloonIcon;
};
using PNOTIFYICONDATAW = NOTIFYICONDATAW*;

// NIM_ADD, NIM_MODIFY, NIM_DELETE of the icon (hWnd, uID). Only the fields up to szTip are read,
// so any cbSize a caller sets is accepted. The icon's mouse messages are posted to hWnd as
// uCallbackMessage with wParam = uID and lParam = the mouse message: a press of the left button
// gives WM_LBUTTONDOWN, or WM_LBUTTONDBLCLK when it follows the previous press within
// GetDoubleClickTime() and 4 pixels; its release WM_LBUTTONUP; a right press WM_RBUTTONDOWN.
// NIM_ADD succeeds while no notification area runs (the icon appears once one starts);
// NIM_ADD of an existing icon and NIM_MODIFY or NIM_DELETE of a missing one fail.
WIN32_API BOOL Shell_NotifyIconW(DWORD message, PNOTIFYICONDATAW data);

// --- Icons ---
constexpr UINT IMAGE_BITMAP = 0;
constexpr UINT IMAGE_ICON = 1;
constexpr UINT LR_DEFAULTCOLOR = 0x00000000;
constexpr UINT LR_LOADFROMFILE = 0x00000010;

// IMAGE_ICON with LR_LOADFROMFILE only: the file (.ico, .png, ...) scaled to cx x cy. A missing
// file gives null with ERROR_FILE_NOT_FOUND; other kinds ERROR_NOT_SUPPORTED.
WIN32_API HANDLE LoadImageW(HINSTANCE instance, LPCWSTR name, UINT type, int cx, int cy, UINT load);
WIN32_API BOOL DestroyIcon(HICON icon);

// --- Folder browser ---
constexpr UINT BIF_RETURNONLYFSDIRS = 0x00000001;
constexpr UINT BIF_EDITBOX = 0x00000010;
constexpr UINT BIF_NEWDIALOGSTYLE = 0x00000040;

// Notifications to the callback
constexpr UINT BFFM_INITIALIZED = 1;
constexpr UINT BFFM_SELCHANGED = 2;
constexpr UINT BFFM_IUNKNOWN = 5;
// Messages the callback sends to the browser window
constexpr UINT BFFM_ENABLEOK = WM_USER + 101;
constexpr UINT BFFM_SETSELECTIONW = WM_USER + 103;
constexpr UINT BFFM_SETSTATUSTEXTW = WM_USER + 104;
constexpr UINT BFFM_SETOKTEXT = WM_USER + 105;
constexpr UINT BFFM_SETEXPANDED = WM_USER + 106;

using BFFCALLBACK = int (*)(HWND hwnd, UINT message, LPARAM lParam, LPARAM data);

struct BROWSEINFOW {
  HWND hwndOwner;
  PCIDLIST_ABSOLUTE pidlRoot;
  LPWSTR pszDisplayName;
  LPCWSTR lpszTitle;
  UINT ulFlags;
  BFFCALLBACK lpfn;
  LPARAM lParam;
  int iImage;
};
using LPBROWSEINFOW = BROWSEINFOW*;

// Shell item names
using PCUITEMID_CHILD = const ITEMIDLIST*;
using PITEMID_CHILD = ITEMIDLIST*;
using PCUIDLIST_RELATIVE = const ITEMIDLIST*;
using PIDLIST_RELATIVE = ITEMIDLIST*;
using PCUITEMID_CHILD_ARRAY = const PCUITEMID_CHILD*;
using SHGDNF = DWORD;
using SHCONTF = DWORD;
using SFGAOF = ULONG;
constexpr SHGDNF SHGDN_NORMAL = 0x0000;
constexpr SHGDNF SHGDN_INFOLDER = 0x0001;
constexpr SHGDNF SHGDN_FORPARSING = 0x8000;
constexpr SHCONTF SHCONTF_FOLDERS = 0x0020;
constexpr SHCONTF SHCONTF_NONFOLDERS = 0x0040;

constexpr UINT STRRET_WSTR = 0;
constexpr UINT STRRET_OFFSET = 1;
constexpr UINT STRRET_CSTR = 2;
struct STRRET {
  UINT uType;
  union {
    LPWSTR pOleStr;
    UINT uOffset;
    char cStr[MAX_PATH];
  };
};

struct IBindCtx;
struct IEnumIDList;

// {000214E6-0000-0000-C000-000000000046}
inline constexpr IID IID_IShellFolder = {
    0x000214E6, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// {C0A651F5-B48B-11D2-B5ED-006097C686F6}
inline constexpr IID IID_IFolderFilterSite = {
    0xC0A651F5, 0xB48B, 0x11D2, {0xB5, 0xED, 0x00, 0x60, 0x97, 0xC6, 0x86, 0xF6}};
// {9CC22886-DC8E-11D2-B1D0-00C04F8EEB3E}
inline constexpr IID IID_IFolderFilter = {
    0x9CC22886, 0xDC8E, 0x11D2, {0xB1, 0xD0, 0x00, 0xC0, 0x4F, 0x8E, 0xEB, 0x3E}};

// The folder the browser asks a filter about. Only GetDisplayNameOf answers; the rest give
// E_NOTIMPL.
struct IShellFolder : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE ParseDisplayName(HWND hwnd, IBindCtx* bindCtx,
                                                     LPWSTR displayName, ULONG* pEaten,
                                                     PIDLIST_RELATIVE* ppidl,
                                                     ULONG* pAttributes) = 0;
  virtual HRESULT STDMETHODCALLTYPE EnumObjects(HWND hwnd, SHCONTF flags, IEnumIDList** ppEnum) = 0;
  virtual HRESULT STDMETHODCALLTYPE BindToObject(PCUIDLIST_RELATIVE pidl, IBindCtx* bindCtx,
                                                 REFIID riid, void** ppv) = 0;
  virtual HRESULT STDMETHODCALLTYPE BindToStorage(PCUIDLIST_RELATIVE pidl, IBindCtx* bindCtx,
                                                  REFIID riid, void** ppv) = 0;
  virtual HRESULT STDMETHODCALLTYPE CompareIDs(LPARAM lParam, PCUIDLIST_RELATIVE pidl1,
                                               PCUIDLIST_RELATIVE pidl2) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateViewObject(HWND owner, REFIID riid, void** ppv) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetAttributesOf(UINT count, PCUITEMID_CHILD_ARRAY items,
                                                    SFGAOF* pInOut) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetUIObjectOf(HWND owner, UINT count,
                                                  PCUITEMID_CHILD_ARRAY items, REFIID riid,
                                                  UINT* pReserved, void** ppv) = 0;
  // STRRET_WSTR with a CoTaskMemAlloc'ed string. For a drive root, the normal name is
  // "Local Disk (X:)" and the parsing name "X:\"; for My Computer, "My Computer" and
  // "::{20D04FE0-3AEA-1069-A2D8-08002B30309D}".
  virtual HRESULT STDMETHODCALLTYPE GetDisplayNameOf(PCUITEMID_CHILD pidl, SHGDNF flags,
                                                     STRRET* pName) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetNameOf(HWND hwnd, PCUITEMID_CHILD pidl, LPCWSTR name,
                                              SHGDNF flags, PITEMID_CHILD* ppidlOut) = 0;
};

// Implemented by the caller and installed through IFolderFilterSite::SetFilter.
struct IFolderFilter : IUnknown {
  // S_OK shows the item, S_FALSE hides it.
  virtual HRESULT STDMETHODCALLTYPE ShouldShow(IShellFolder* folder, PCIDLIST_ABSOLUTE pidlFolder,
                                               PCUITEMID_CHILD pidlItem) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetEnumFlags(IShellFolder* folder, PCIDLIST_ABSOLUTE pidlFolder,
                                                 HWND* pHwnd, DWORD* pFlags) = 0;
};

// Handed to the callback with BFFM_IUNKNOWN; it keeps a reference to the filter given.
struct IFolderFilterSite : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetFilter(IUnknown* filter) = 0;
};

// A modal folder browser owned by hwndOwner. The callback hears BFFM_INITIALIZED (it may send
// BFFM_SETSELECTIONW, wParam TRUE with a path or FALSE with an item list, to the browser window
// it is given) and then BFFM_IUNKNOWN with an IFolderFilterSite. My Computer and the drive roots
// the filter shows are offered as places. Returns the chosen folder's item list (free it with
// CoTaskMemFree or ILFree), or null when cancelled. The chosen path is "X:\..." on a drive,
// else a rooted "\..." path; pszDisplayName (MAX_PATH) receives its last component.
WIN32_API PIDLIST_ABSOLUTE SHBrowseForFolderW(LPBROWSEINFOW info);
// The path of a folder item (MAX_PATH characters); FALSE for My Computer and for foreign items.
WIN32_API BOOL SHGetPathFromIDListW(PCIDLIST_ABSOLUTE pidl, LPWSTR path);
// Copies the name out (at most cch characters with the NUL) and frees a STRRET_WSTR string.
WIN32_API HRESULT StrRetToBufW(STRRET* pStrRet, PCUITEMID_CHILD pidl, LPWSTR buffer, UINT cch);

// --- Opening things ---
constexpr int SE_ERR_FNF = 2;
constexpr int SE_ERR_PNF = 3;
constexpr int SE_ERR_ACCESSDENIED = 5;
constexpr int SE_ERR_NOASSOC = 31;

// Verb "open" (or null). `file` may be quoted ("\"x\""). Results as HINSTANCE values: above 32
// on success; SE_ERR_FNF (2) when the file, folder or program is missing; SE_ERR_NOASSOC (31)
// when nothing can open it. What happens:
// - a program ("X.exe", the built program "X") is started with `parameters` split by the
//   Windows rules, as separate arguments;
// - an existing folder or file is handed, as a file:// URI, to $LUMIDOCK_SHELL_OPEN (a program)
//   when set, else to the desktop's default handler; an http, https or mailto address likewise.
// No shell and no option parser sees the name. Callable from any thread.
WIN32_API HINSTANCE ShellExecuteW(HWND hwnd, LPCWSTR operation, LPCWSTR file, LPCWSTR parameters,
                                  LPCWSTR directory, int showCmd);

}  // namespace win32
