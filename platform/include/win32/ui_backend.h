#pragma once
// The table through which the core layer reaches a desktop. The GTK half (libwin32-gtk.so)
// installs one when the GUI starts; headless tests install the fakes (win32/fakes.h). The core
// keeps no toolkit dependency: it validates arguments, converts paths and handles, and calls the
// entry that does the visible part. Any entry may be null: own layer windows then keep their
// state on the window, and what needs a desktop fails as it would without one.
//
// Threading: entries are called on the thread that made the Win32 call. Window, tray, icon,
// dialog and screen entries are only called for calls made on the GUI thread (the back end
// refuses others); openUri and recordShellOpen may be called from any thread.

#include <string>
#include <vector>

#include "win32/base.h"
#include "win32/window.h"

namespace win32 {

// One notification-area icon as NIM_ADD, NIM_MODIFY or NIM_DELETE describe it.
struct TrayIconRequest {
  HWND hwnd;
  UINT id;
  UINT flags;            // NIF_*: which of the fields below are given
  UINT callbackMessage;  // NIF_MESSAGE
  void* pIconImage;      // NIF_ICON: the back end's image (see IconImage), may be null
  std::u16string tip;    // NIF_TIP
};

// A drive offered as a place in the folder browser.
struct FolderPlace {
  std::string posixFolder;
  std::u16string label;  // "Local Disk (D:)"
};

struct FolderBrowseRequest {
  HWND owner;                       // may be null
  std::u16string title;             // may be empty
  std::string initialFolder;        // POSIX, empty when none was set
  std::vector<FolderPlace> places;  // the drives the caller's filter lets through
};

// What ShellExecuteW decided to do: start a program with arguments, or open a URI.
struct ShellOpenPlan {
  std::vector<std::string> argv;  // a program: argv[0] is its POSIX path
  std::string uri;                // else a file://, http(s):// or mailto: URI
};

struct UiBackend {
  // --- Windows: top-levels registered by the GUI half and foreign X windows ---
  // Each behaves as the Win32 call of the same name and sets the last error itself.
  BOOL (*showWindow)(HWND hwnd, int cmdShow);
  BOOL (*isWindowVisible)(HWND hwnd);
  BOOL (*enableWindow)(HWND hwnd, BOOL enable);
  BOOL (*isWindowEnabled)(HWND hwnd);
  BOOL (*getWindowRect)(HWND hwnd, RECT* pRect);
  BOOL (*setWindowPos)(HWND hwnd, HWND insertAfter, int x, int y, int cx, int cy, UINT flags);
  BOOL (*isZoomed)(HWND hwnd);
  // Raises (BringWindowToTop, SetForegroundWindow) or only activates (SetActiveWindow).
  BOOL (*activateWindow)(HWND hwnd, bool raise);
  HWND (*getForegroundWindow)();
  HWND (*getActiveWindow)();
  BOOL (*redrawWindow)(HWND hwnd);
  // A registered top-level left the registry (DestroyWindow, thread end): drop the real window.
  void (*topLevelDestroyed)(HWND hwnd);
  // Foreign X windows: is it one, whose is it (0 when not a window), post to it.
  BOOL (*isForeignWindow)(HWND hwnd);
  DWORD (*getForeignWindowProcessId)(HWND hwnd);
  BOOL (*postForeignMessage)(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

  // --- Screen and pointer ---
  int (*getSystemMetrics)(int index);
  BOOL (*getWorkArea)(RECT* pRect);
  BOOL (*getCursorPos)(POINT* pPoint);
  BOOL (*trackMouseLeave)(HWND hwnd);

  // --- Shell ---
  // NIM_ADD, NIM_MODIFY, NIM_DELETE.
  BOOL (*notifyIcon)(DWORD message, const TrayIconRequest& request);
  // An image for an icon file scaled to cx x cy, or null; freeIconImage releases it.
  void* (*loadIconImage)(const std::string& posixPath, int cx, int cy);
  void (*freeIconImage)(void* pImage);
  int (*messageBox)(HWND owner, const std::u16string& text, const std::u16string& caption,
                    UINT type);
  // Runs the browser modally; true with the chosen POSIX folder, false when cancelled.
  bool (*browseForFolder)(const FolderBrowseRequest& request, std::string* pChosen);
  // Hands a URI to the desktop's default handler; false when none takes it.
  bool (*openUri)(const std::string& uri);
  // Tests: when set, ShellExecuteW hands every plan here instead of carrying it out, and
  // returns what this returns.
  INT_PTR (*recordShellOpen)(const ShellOpenPlan& plan);

  // --- Window moves ---
  // DefWindowProcW's WM_NCLBUTTONDOWN on the caption of a registered top-level: the window
  // follows the pointer, whose button is down, from (x, y) on the screen.
  BOOL (*beginMoveDrag)(HWND hwnd, int x, int y);
};

// Installs the table (null: none) and returns the previous one. The table must outlive its use.
WIN32_API const UiBackend* SetUiBackend(const UiBackend* backend);
WIN32_API const UiBackend* GetUiBackend();

// --- What the back ends need from the core ---

// Enters a real top-level into the window registry under its X window id, owned by the calling
// thread, with `defaultProc` as its procedure. Posts, sends, timers, user data and subclassing
// then work on it as on any window. Fails (null, 87) for an id that cannot be an X window id or
// is taken. DestroyWindow (or the thread's end) removes it again and tells the back end.
WIN32_API HWND RegisterTopLevelWindow(DWORD xid, WNDPROC defaultProc);
// Whether `hwnd` is a top-level registered in this process.
WIN32_API bool IsRegisteredTopLevel(HWND hwnd);

// Whether `pid` is a child this process started with CreateProcessW and that has not ended.
WIN32_API bool IsLiveChildProcess(DWORD pid);

// The back end's image behind an icon handle (null for a stale handle or an icon without one).
WIN32_API void* IconImage(HICON icon);

// The Win32 meaning of clicks on a notification-area icon, from raw presses and releases
// (toolkit double-click events are not used: their order differs from Windows').
// Threading: one instance per icon, used on one thread.
class WIN32_API TrayClickRule {
 public:
  // Returns the mouse message for a press or release of `button` (1 left, 3 right) at
  // `timeMs` (any clock, as long as it is the same for every call; wrap-around is fine) and
  // (x, y) in pixels; 0 when the event means nothing.
  UINT OnButton(int button, bool press, DWORD timeMs, int x, int y);

 private:
  bool m_havePress = false;
  DWORD m_lastPressTime = 0;
  int m_lastPressX = 0;
  int m_lastPressY = 0;
};

// The layer's debug log: one line to stderr when LUMIDOCK_LAYER_LOG is set, else nothing.
WIN32_API void LayerLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace win32
