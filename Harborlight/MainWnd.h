#pragma once
// The program's main window, for now a plain top-level titled "Lumidock": 774 x 494, centred on
// the screen, published as the main window handle; closing it ends the message loop.
// Lifetime: built and created by the application module before the message loop, destroyed after
// it (which destroys the window if it still exists).
// Threading: the main thread only (thread 0, the window system's thread).

#include "Basalt/CKwStringW.h"
#include "win32/base.h"

class CMainWnd {
 public:
  static constexpr int kWidth = 774;
  static constexpr int kHeight = 494;

  CMainWnd() = default;
  CMainWnd(const CMainWnd&) = delete;
  CMainWnd& operator=(const CMainWnd&) = delete;
  ~CMainWnd();

  // Builds and shows the window. The name is not used. When the window cannot be made, the
  // message loop is told to quit, so the program ends instead of running without a window.
  void Create(const CKwStringW& name);

  win32::HWND Hwnd() const { return m_hwnd; }

 private:
  static win32::LRESULT WindowProc(win32::HWND hwnd, win32::UINT message, win32::WPARAM wParam,
                                   win32::LPARAM lParam);

  win32::HWND m_hwnd = nullptr;  // cleared when the window is destroyed
};
