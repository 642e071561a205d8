#include "CScrollElement.h"

#include <algorithm>

#include "LqThread.h"

using namespace win32;

namespace lq {

CScrollElement::CScrollElement() : CScrollElement(ElementKind::kScroll) {}

CScrollElement::CScrollElement(ElementKind kind) : CElement(kind) {}

void CScrollElement::InitScroll(bool vertical, bool horizontal) {
  m_vertical = vertical;
  m_horizontal = horizontal;
}

POINT CScrollElement::ContentExtent() {
  ArrangeChildren();
  POINT extent{0, 0};
  for (CElement* pChild : Children()) {
    if (pChild->HiddenFlag()) continue;
    extent.x = std::max(extent.x, pChild->Rect().right);
    extent.y = std::max(extent.y, pChild->Rect().bottom);
  }
  return extent;
}

HRESULT CScrollElement::EnableScroll(BOOL vertical, BOOL enable) {
  LQ_UI_THREAD_ONLY();
  if (IsDestroyed()) return E_FAIL;
  (vertical ? m_vertical : m_horizontal) = enable != FALSE;
  Invalidate();
  return S_OK;
}

HRESULT CScrollElement::GetScrollPos(POINT* pPosition) {
  LQ_UI_THREAD_ONLY();
  if (IsDestroyed()) return E_FAIL;
  if (!pPosition) return E_POINTER;
  *pPosition = m_position;
  return S_OK;
}

HRESULT CScrollElement::SetScrollPos(const POINT* pPosition) {
  LQ_UI_THREAD_ONLY();
  if (IsDestroyed()) return E_FAIL;
  if (!pPosition) return E_POINTER;
  MoveTo(pPosition->x, pPosition->y);
  return S_OK;
}

HRESULT CScrollElement::ScrollBy(INT dx, INT dy) {
  LQ_UI_THREAD_ONLY();
  if (IsDestroyed()) return E_FAIL;
  MoveTo(static_cast<long>(m_position.x) + dx, static_cast<long>(m_position.y) + dy);
  return S_OK;
}

void* CScrollElement::QueryKindInterface(REFIID riid) {
  return riid == IID_ILqScrollView ? static_cast<ILqScrollView*>(this) : nullptr;
}

void CScrollElement::MoveTo(long x, long y) {
  POINT extent = ContentExtent();
  long maxX = std::max<long>(0, extent.x - (Rect().right - Rect().left));
  long maxY = std::max<long>(0, extent.y - (Rect().bottom - Rect().top));
  m_position.x = static_cast<LONG>(std::clamp<long>(x, 0, maxX));
  m_position.y = static_cast<LONG>(std::clamp<long>(y, 0, maxY));
  Invalidate();
}

}  // namespace lq
