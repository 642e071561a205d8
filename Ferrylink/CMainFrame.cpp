#include "CMainFrame.h"

#include "WebAddresses.h"
#include "win32/window.h"

using namespace win32;

CMainFrame::CMainFrame(const CApplication* pApplication, CreateWebBrowserWindowProc factory)
    : m_pApplication(pApplication), m_popup(factory, InstallPageAddress()) {}

bool CMainFrame::Create(const std::vector<std::u16string>& arguments) {
  HWND parent = CBrowserWnd::ParseParent(arguments);
  // A value that names no window is ignored: the popup stands alone.
  if (parent && !IsWindow(parent)) parent = nullptr;
  const RECT rect =
      CBrowserWnd::CenteredRect(parent, CBrowserWnd::kLoginWidth, CBrowserWnd::kLoginHeight);
  return m_popup.CreateBrowser(parent, rect, parent ? WS_EX_TOOLWINDOW : 0, LoginPageAddress(),
                               m_pApplication ? m_pApplication->BigIcon() : nullptr,
                               m_pApplication ? m_pApplication->SmallIcon() : nullptr);
}
