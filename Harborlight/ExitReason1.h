#pragma once
// The exit survey ("ExitReason1"): why the user leaves a program that never had a phone bound.
// This version runs the window modally until it is closed; its answers are not read yet.
// Lifetime: made with new by the main window's close handler for one run, then deleted.
// Threading: UI thread only; Run blocks in the framework's modal loop.

#include "CLqEventListenerHelper.h"
#include "Lq/LqInterfaces.h"

class CExitReason1 {
 public:
  CExitReason1();
  CExitReason1(const CExitReason1&) = delete;
  CExitReason1& operator=(const CExitReason1&) = delete;
  virtual ~CExitReason1();

  // Builds the window from `pLayout` and runs it modally over `parent`; 1 when the run returned
  // a result of 0 or more, else 0. The text is not used.
  virtual int Run(const win32::WCHAR* pLayout, win32::HWND parent, const win32::WCHAR* pText);

 private:
  CLqEventListenerHelper<CExitReason1> m_listener;
  ILqElement* m_pWindow = nullptr;  // one reference, or null
  int m_closeResult = 0;
};
