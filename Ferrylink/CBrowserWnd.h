#pragma once
// The install popup: a borderless window holding a browser, over Harborlight's main window (its
// parent) or alone, centred on the screen. It shows the login page at 625 x 370, shrinks to
// 410 x 312 once the download page has loaded, closes as soon as the user turns to anything but
// the parent, when the parent goes or hides, or when the page closes itself, and on its end
// gives the parent back its input and the focus, and ends the program's message loop.
// Lifetime: owned by CMainFrame; the window goes first (WM_DESTROY releases the browser), the
//   object at program end.
// Threading: the GUI thread only.

#include <string>
#include <vector>

#include "CBrowserEvent.h"
#include "win32/base.h"
#include "win32/webbrowser.h"
#include "win32/window.h"

class CBrowserWnd {
 public:
  static constexpr int kLoginWidth = 625;
  static constexpr int kLoginHeight = 370;
  static constexpr int kDownloadWidth = 410;
  static constexpr int kDownloadHeight = 312;
  static constexpr win32::UINT_PTR kParentWatchTimer = 300;
  static constexpr win32::UINT kParentWatchMs = 300;
  // Posted to the parent once the first navigation has started; wParam is the popup.
  static constexpr win32::UINT WM_INSTALLPOPUP_CREATED = win32::WM_APP;

  // `factory` makes the browser and its window; `downloadPage` is the address the popup
  // shrinks for.
  CBrowserWnd(win32::CreateWebBrowserWindowProc factory, std::u16string downloadPage);
  CBrowserWnd(const CBrowserWnd&) = delete;
  CBrowserWnd& operator=(const CBrowserWnd&) = delete;
  ~CBrowserWnd();

  // The parent named by "Parent=<hex>" in the program's arguments (not the program's path): the
  // first occurrence, read up to the first character that is no hexadecimal digit. Null when
  // there is none, no digit, or a value above 0xFFFFFFFF (which cannot be a window here).
  // Whether it names a window is the caller's question.
  static win32::HWND ParseParent(const std::vector<std::u16string>& arguments);
  // width x height centred on the parent's window rectangle, or on the primary screen.
  static win32::RECT CenteredRect(win32::HWND parent, int width, int height);

  // Makes the window and browser owned by `parent` (may be null), navigates to `startPage`, and
  // with a parent tells it the popup's handle and starts watching it. False when the browser or
  // its events cannot be had; nothing is left then.
  bool CreateBrowser(win32::HWND parent, const win32::RECT& rect, win32::DWORD exStyle,
                     const std::u16string& startPage, win32::HICON bigIcon, win32::HICON smallIcon);

  // The message loop's filter: a left press anywhere but on a link drags the popup (the press
  // still reaches the page). Always FALSE: nothing is consumed.
  win32::BOOL PreTranslateMessage(win32::MSG* pMsg);

  // From CBrowserEvent.
  void OnNavigateComplete(const std::u16string& address);
  void OnWindowClosing();

  win32::HWND Hwnd() const { return m_hWnd; }
  win32::HWND Parent() const { return m_hWndParent; }
  bool IsActive() const { return m_active; }

 private:
  static win32::LRESULT WindowProc(win32::HWND hwnd, win32::UINT message, win32::WPARAM wParam,
                                   win32::LPARAM lParam);
  // TRUE when handled (the default handling still follows for WM_DESTROY).
  bool ProcessWindowMessage(win32::UINT message, win32::WPARAM wParam, win32::LPARAM lParam);
  void OnDestroy();

  win32::HWND m_hWnd = nullptr;
  win32::IWebBrowserWindow* m_pBrowser = nullptr;  // one reference while the window lives
  CBrowserEvent m_event;
  win32::DWORD m_cookie = 0;
  win32::HWND m_hWndParent = nullptr;  // null without a parent, and after WM_DESTROY
  bool m_active = false;               // set while the popup is the active window
  win32::WNDPROC m_previousProc = nullptr;
  const win32::CreateWebBrowserWindowProc m_factory;
  const std::u16string m_downloadPage;
};
