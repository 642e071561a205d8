#include "CPopupWindowBase.h"

#include "Lq/Lq.h"

using namespace win32;

CPopupWindowBase::~CPopupWindowBase() { ReleaseWindow(); }

bool CPopupWindowBase::CreateModal(const WCHAR* pLayout, ILqElement* pParent,
                                   const WCHAR* pCoreName) {
  if (!Create(pLayout, pParent, pCoreName)) return false;
  HWND owner = nullptr;
  if (m_pParent) m_pParent->GetWindowHandle(&owner);
  INT result = 0;
  return SUCCEEDED(m_pWindow->RunModal(owner, 1, &result));
}

bool CPopupWindowBase::Create(const WCHAR* pLayout, ILqElement* pParent, const WCHAR* pCoreName) {
  if (!pLayout || !*pLayout) return false;
  ReleaseWindow();
  ILqElement* pRoot = nullptr;
  if (FAILED(Util::Lq::RawCreateLqElementBySkein(pLayout, &pRoot, nullptr, pCoreName, 0)) ||
      !pRoot) {
    return false;
  }
  HRESULT hr = pRoot->QueryInterface(IID_ILqHostWindow, reinterpret_cast<void**>(&m_pWindow));
  pRoot->Release();
  if (FAILED(hr)) return false;
  m_pParent = pParent;
  if (m_pParent) m_pParent->AddRef();
  return OnWindowCreated();
}

void CPopupWindowBase::ReleaseWindow() {
  if (m_pWindow) {
    // A window built earlier goes with its root, so no hidden window outlives its object.
    m_pWindow->Close();
    m_pWindow->Release();
  }
  if (m_pParent) m_pParent->Release();
  m_pWindow = nullptr;
  m_pParent = nullptr;
}
