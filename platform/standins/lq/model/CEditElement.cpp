#include "CEditElement.h"

#include "LqThread.h"

using namespace win32;

namespace lq {

CEditElement::CEditElement() : CElement(ElementKind::kEdit) {}

bool CEditElement::UserSetText(const std::u16string& text) {
  if (IsDestroyed() || !IsShownInTree() || !TakesInput()) return false;
  return SUCCEEDED(SetText(text.c_str()));
}

std::u16string CEditElement::CutToLength(std::u16string text, UINT maxLength) {
  if (maxLength == 0 || text.size() <= maxLength) return text;
  size_t cut = maxLength;
  // A high surrogate as the last unit kept would lose its partner.
  if (text[cut - 1] >= 0xD800 && text[cut - 1] <= 0xDBFF) --cut;
  text.resize(cut);
  return text;
}

HRESULT CEditElement::SetMaxLength(UINT maxLength) {
  LQ_UI_THREAD_ONLY();
  if (IsDestroyed()) return E_FAIL;
  m_maxLength = maxLength;
  std::u16string cut = CutToLength(TextValue(), maxLength);
  if (cut.size() != TextValue().size()) SetText(cut.c_str());
  return S_OK;
}

HRESULT CEditElement::GetMaxLength(UINT* pMaxLength) {
  LQ_UI_THREAD_ONLY();
  if (IsDestroyed()) return E_FAIL;
  if (!pMaxLength) return E_POINTER;
  *pMaxLength = m_maxLength;
  return S_OK;
}

void* CEditElement::QueryKindInterface(REFIID riid) {
  return riid == IID_ILqEdit ? static_cast<ILqEdit*>(this) : nullptr;
}

std::u16string CEditElement::AcceptText(const WCHAR* pText) {
  return CutToLength(pText ? pText : u"", m_maxLength);
}

void CEditElement::OnTextChanged() { RaiseEvent(LqEvent::kTextChanged, 0); }

}  // namespace lq
