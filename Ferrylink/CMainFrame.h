#pragma once
// The program's frame: it makes no window of its own and owns the popup. Create reads the
// parent from the program's arguments, places the popup and creates it.
// Lifetime: a stack object of the program's main function.
// Threading: the GUI thread.

#include <string>
#include <vector>

#include "CApplication.h"
#include "CBrowserWnd.h"

class CMainFrame {
 public:
  CMainFrame(const CApplication* pApplication, win32::CreateWebBrowserWindowProc factory);
  CMainFrame(const CMainFrame&) = delete;
  CMainFrame& operator=(const CMainFrame&) = delete;

  // `arguments` as the program got them (the program's path first). False when no popup could
  // be made: the program must end then.
  bool Create(const std::vector<std::u16string>& arguments);

  CBrowserWnd& Popup() { return m_popup; }

 private:
  const CApplication* const m_pApplication;
  CBrowserWnd m_popup;
};
