#pragma once
// The program's module object: it holds the program icon (icon 101, "Ferrylink.ico" beside the
// program) in the two sizes the popup shows, and destroys them at exit.
// Threading: the GUI thread.

#include "win32/window.h"

class CApplication {
 public:
  CApplication();
  CApplication(const CApplication&) = delete;
  CApplication& operator=(const CApplication&) = delete;
  ~CApplication();

  // Null when the icon file is missing.
  win32::HICON BigIcon() const { return m_hBigIcon; }
  win32::HICON SmallIcon() const { return m_hSmallIcon; }

 private:
  win32::HICON m_hBigIcon = nullptr;
  win32::HICON m_hSmallIcon = nullptr;
};
