#include "CCheckElement.h"

#include "LqThread.h"

using namespace win32;

namespace lq {

CCheckElement::CCheckElement() : CElement(ElementKind::kCheck) {}

bool CCheckElement::UserClick() {
  if (IsDestroyed() || !IsShownInTree() || !TakesInput()) return false;
  ChangeState(!m_checked);
  return true;
}

HRESULT CCheckElement::GetChecked(BOOL* pChecked) {
  LQ_UI_THREAD_ONLY();
  if (IsDestroyed()) return E_FAIL;
  if (!pChecked) return E_POINTER;
  *pChecked = m_checked ? TRUE : FALSE;
  return S_OK;
}

HRESULT CCheckElement::SetChecked(BOOL checked) {
  LQ_UI_THREAD_ONLY();
  if (IsDestroyed()) return E_FAIL;
  ChangeState(checked != FALSE);
  return S_OK;
}

void* CCheckElement::QueryKindInterface(REFIID riid) {
  return riid == IID_ILqCheck ? static_cast<ILqCheck*>(this) : nullptr;
}

void CCheckElement::ChangeState(bool checked) {
  if (m_checked == checked) return;
  m_checked = checked;
  Invalidate();
  RaiseEvent(LqEvent::kCheckToggled, checked ? 1 : 0);
}

}  // namespace lq
