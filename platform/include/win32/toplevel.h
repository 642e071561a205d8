#pragma once
// Visible windows: show state, position, activation, the screen and the pointer, message boxes.
//
// Three kinds of window answer these calls:
// - the layer's own windows (message-only and hidden ones, tagged handles): their state is kept
//   on the window and nothing is drawn;
// - top-levels the GUI half registered (the handle is the X window id): the GUI half carries the
//   call out on the real window;
// - windows of other processes (any other X window id): the GUI half queries them, and carries
//   out only show, enable and activate requests, which the owning process performs itself.
// Without the GUI half (headless), registered top-levels do not exist and foreign handles are
// not windows. Foreign windows are reached from the GUI thread only.

#include "win32/base.h"
#include "win32/window.h"

namespace win32 {

constexpr UINT WM_ACTIVATE = 0x0006;
constexpr UINT WM_NCLBUTTONDOWN = 0x00A1;
constexpr UINT WM_MOUSEMOVE = 0x0200;
constexpr UINT WM_LBUTTONDOWN = 0x0201;
constexpr UINT WM_LBUTTONUP = 0x0202;
constexpr UINT WM_LBUTTONDBLCLK = 0x0203;
constexpr UINT WM_RBUTTONDOWN = 0x0204;
constexpr UINT WM_RBUTTONUP = 0x0205;
constexpr UINT WM_MOUSELEAVE = 0x02A3;

// WM_ACTIVATE wParam (low word); lParam is the other window (0 when it is not known or None).
constexpr WORD WA_INACTIVE = 0;
constexpr WORD WA_ACTIVE = 1;
constexpr WORD WA_CLICKACTIVE = 2;

constexpr LRESULT HTCAPTION = 2;

// ShowWindow
constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOWNOACTIVATE = 4;
constexpr int SW_SHOW = 5;

// SetWindowPos
inline const HWND HWND_TOP = nullptr;
inline const HWND HWND_BOTTOM = reinterpret_cast<HWND>(static_cast<intptr_t>(1));
inline const HWND HWND_TOPMOST = reinterpret_cast<HWND>(static_cast<intptr_t>(-1));
inline const HWND HWND_NOTOPMOST = reinterpret_cast<HWND>(static_cast<intptr_t>(-2));
constexpr UINT SWP_NOSIZE = 0x0001;
constexpr UINT SWP_NOMOVE = 0x0002;
constexpr UINT SWP_NOZORDER = 0x0004;
constexpr UINT SWP_NOACTIVATE = 0x0010;
constexpr UINT SWP_SHOWWINDOW = 0x0040;
constexpr UINT SWP_HIDEWINDOW = 0x0080;

// RedrawWindow
constexpr UINT RDW_INVALIDATE = 0x0001;

// GetSystemMetrics
constexpr int SM_CXSCREEN = 0;
constexpr int SM_CYSCREEN = 1;

// SystemParametersInfoW
constexpr UINT SPI_GETWORKAREA = 0x0030;

// TrackMouseEvent
constexpr DWORD TME_LEAVE = 0x00000002;
struct TRACKMOUSEEVENT {
  DWORD cbSize;
  DWORD dwFlags;
  HWND hwndTrack;
  DWORD dwHoverTime;
};
using LPTRACKMOUSEEVENT = TRACKMOUSEEVENT*;

// MessageBoxW
constexpr UINT MB_OK = 0x00000000;
constexpr UINT MB_OKCANCEL = 0x00000001;
constexpr UINT MB_ABORTRETRYIGNORE = 0x00000002;
constexpr UINT MB_YESNOCANCEL = 0x00000003;
constexpr UINT MB_YESNO = 0x00000004;
constexpr UINT MB_RETRYCANCEL = 0x00000005;
constexpr UINT MB_TYPEMASK = 0x0000000F;
constexpr UINT MB_ICONHAND = 0x00000010;
constexpr UINT MB_ICONERROR = MB_ICONHAND;
constexpr UINT MB_ICONQUESTION = 0x00000020;
constexpr UINT MB_ICONEXCLAMATION = 0x00000030;
constexpr UINT MB_ICONWARNING = MB_ICONEXCLAMATION;
constexpr UINT MB_ICONASTERISK = 0x00000040;
constexpr UINT MB_ICONINFORMATION = MB_ICONASTERISK;
constexpr UINT MB_ICONMASK = 0x000000F0;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// Returns whether the window was visible before. SW_HIDE, SW_SHOWNORMAL (also restores an
// iconified or maximised window), SW_SHOWNOACTIVATE and SW_SHOW (activates); other codes act as
// SW_SHOW. A foreign window is asked to do it itself (its answer is not waited for: TRUE).
WIN32_API BOOL ShowWindow(HWND hwnd, int cmdShow);
// An iconified window counts as visible, as on Windows.
WIN32_API BOOL IsWindowVisible(HWND hwnd);
// Returns whether the window was disabled before. A disabled window gets no input.
WIN32_API BOOL EnableWindow(HWND hwnd, BOOL enable);
WIN32_API BOOL IsWindowEnabled(HWND hwnd);
// Screen coordinates (own and foreign windows).
WIN32_API BOOL GetWindowRect(HWND hwnd, LPRECT rect);
// Own windows only (foreign: ERROR_ACCESS_DENIED). HWND_TOPMOST keeps the window above others.
WIN32_API BOOL SetWindowPos(HWND hwnd, HWND insertAfter, int x, int y, int cx, int cy, UINT flags);
// Maximised (foreign windows: both maximised states in _NET_WM_STATE).
WIN32_API BOOL IsZoomed(HWND hwnd);
// Raise and activate.
WIN32_API BOOL BringWindowToTop(HWND hwnd);
WIN32_API BOOL SetForegroundWindow(HWND hwnd);
// The active window of the desktop (any process); null when none is known.
WIN32_API HWND GetForegroundWindow();
// Returns the previously active window of this process.
WIN32_API HWND SetActiveWindow(HWND hwnd);
// The active top-level of this process, or null.
WIN32_API HWND GetActiveWindow();
// Own windows repaint; a foreign window's repaint is its own business: success, nothing sent.
WIN32_API BOOL RedrawWindow(HWND hwnd, const RECT* updateRect, void* updateRegion, UINT flags);

// The primary monitor; 0 without a screen.
WIN32_API int GetSystemMetrics(int index);
// SPI_GETWORKAREA only (pvParam is a RECT): the primary monitor less docks and panels.
WIN32_API BOOL SystemParametersInfoW(UINT action, UINT uiParam, LPVOID pvParam, UINT winIni);
WIN32_API BOOL GetCursorPos(LPPOINT point);
// 500 ms, the Windows default.
WIN32_API UINT GetDoubleClickTime();
// TME_LEAVE only: WM_MOUSELEAVE is posted once when the pointer leaves the window.
WIN32_API BOOL TrackMouseEvent(LPTRACKMOUSEEVENT track);

// A modal box owned by `owner` (may be null); messages keep flowing while it is up. Returns the
// button (IDOK, ...); 0 when no box can be shown (no screen) or the run ended on WM_QUIT.
WIN32_API int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);

}  // namespace win32
