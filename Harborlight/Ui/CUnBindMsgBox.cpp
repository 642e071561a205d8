#include "CUnBindMsgBox.h"

using namespace win32;

bool CUnBindMsgBox::DoModal(const WCHAR* pLayout, HWND owner, const WCHAR* pText) {
  return RunBox(pLayout, owner, &CUnBindMsgBox::OnCancel, [pText](ILqElement* pRoot) {
    if (!pText) return;
    ILqElement* pContext = nullptr;
    if (pRoot->FindChild(u"contextText", &pContext) == S_OK) {
      pContext->SetText(pText);
      pContext->Release();
    }
  });
}

HRESULT CUnBindMsgBox::OnCancel(ILqEvent*) {
  EndRun();
  return 0;
}
