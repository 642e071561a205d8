#include "CUnInsBriskenWindow.h"

using namespace win32;

bool CUnInsBriskenWindow::DoModal(const WCHAR* pLayout, HWND owner, const WCHAR*, INT) {
  return RunBox(pLayout, owner, &CUnInsBriskenWindow::OnCancel, [](ILqElement*) {});
}

HRESULT CUnInsBriskenWindow::OnCancel(ILqEvent*) {
  m_result = 0;
  EndRun();
  return 0;
}
