#include "ExitReason1.h"

#include "WindowHelpers.h"

using namespace win32;

CExitReason1::CExitReason1() : m_listener(this) {}

CExitReason1::~CExitReason1() {
  m_listener.RemoveAll();
  if (m_pWindow) m_pWindow->Release();
}

int CExitReason1::Run(const WCHAR* pLayout, HWND parent, const WCHAR*) {
  if (m_pWindow) m_pWindow->Release();
  m_pWindow = nullptr;
  if (FAILED(CreateLqElementFromLayout(pLayout, IID_ILqWindow, reinterpret_cast<void**>(&m_pWindow),
                                       nullptr, nullptr))) {
    return 0;
  }
  INT result = -1;
  if (FAILED(m_pWindow->RunModal(parent, 1, &result))) return 0;
  m_closeResult = result;
  return result >= 0 ? 1 : 0;
}
