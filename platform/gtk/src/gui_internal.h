#pragma once
// What the parts of the GUI half share. GUI thread only, unless a comment says otherwise.

#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <cstdint>
#include <string>

#include "win32/gui.h"
#include "win32/ui_backend.h"

namespace win32::gui {

// SetLastError(error), then FALSE.
inline BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// --- Process-wide state, set by InitializeGui ---
struct Atoms {
  Atom message;          // _LUMIDOCK_W32_MSG: our cross-process messages
  Atom netActiveWindow;  // _NET_ACTIVE_WINDOW
  Atom netWmPid;         // _NET_WM_PID
  Atom wmState;          // WM_STATE
  Atom netWmState;       // _NET_WM_STATE
  Atom maximizedVert;    // _NET_WM_STATE_MAXIMIZED_VERT
  Atom maximizedHorz;    // _NET_WM_STATE_MAXIMIZED_HORZ
};
const Atoms& GetAtoms();
GdkDisplay* Display();
::Display* XDisplay();
::Window RootXid();
// False on other threads, and before InitializeGui.
bool OnGuiThread();

// --- Cross-process messages (bridge.cpp) ---
// Private requests a process carries out on its own windows.
constexpr uint32_t kOpShow = 0xC101;       // wParam: the show code
constexpr uint32_t kOpEnable = 0xC102;     // wParam: 0 disable, 1 enable
constexpr uint32_t kOpActivate = 0xC103;   // wParam: 1 raise too
constexpr long kBridgeMagic = 0x4C4D5731;  // "LMW1"

GdkFilterReturn BridgeFilter(GdkXEvent* xevent, GdkEvent* event, gpointer data);
// Sends one message to another process's window (any thread-safe check is the caller's).
// Returns FALSE with ERROR_INVALID_WINDOW_HANDLE when the window is gone.
BOOL SendBridgeMessage(::Window target, uint32_t message, uint32_t wParam, uint32_t lParam);
// PostMessageW to another process's window: WM_CLOSE and WM_APP only (else
// ERROR_ACCESS_DENIED), 32-bit values (else ERROR_INVALID_PARAMETER), GUI thread only.
BOOL PostForeign(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Queries on any X window, each inside an error trap. False when the window is gone.
bool WindowExists(::Window xid);
bool ReadWindowPid(::Window xid, DWORD* pPid);
bool IsViewableOrIconic(::Window xid, bool* pVisible);
bool ReadWindowRect(::Window xid, RECT* pRect);
bool IsMaximized(::Window xid, bool* pMaximized);
// The root's _NET_ACTIVE_WINDOW (0: none or no window manager).
::Window ReadActiveWindow();
// Asks the window manager to activate `xid` as a pager would (source 2), which it honours
// whatever its focus-stealing rules; `time` is a server time from this process.
void RequestActivation(::Window xid, guint32 time);

// --- Registered top-levels (toplevels.cpp) ---
void InstallToplevels(UiBackend* pBackend);
// Acts for another process's request on a window of ours; false when it is not ours.
bool PerformRequest(HWND hwnd, uint32_t op, uint32_t wParam);
// Root property changes: _NET_ACTIVE_WINDOW moved at server time `time`.
void OnActiveWindowChanged(guint32 time);
// Input bookkeeping before GTK sees an event; true when the event must not reach GTK (input for
// a disabled window).
bool ToplevelSeesEvent(GdkEvent* event);

// --- Tray, dialogs, screen (tray.cpp, dialogs.cpp, screen.cpp) ---
void InstallTray(UiBackend* pBackend);
void InstallDialogs(UiBackend* pBackend);
void InstallScreen(UiBackend* pBackend);

// The GtkWindow to make a dialog transient for: the owner's, else the active registered one.
GtkWindow* DialogParent(HWND owner);

}  // namespace win32::gui
