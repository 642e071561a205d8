#include "CScrollElement.h"

#include <algorithm>
#include <limits>

#include "LqThread.h"

using namespace win32;

namespace lq {

namespace {
// Farther than any content: where a move past the end is first cut to.
constexpr long kFar = std::numeric_limits<LONG>::max();
}  // namespace

CScrollElement::CScrollElement() : CScrollElement(ElementKind::kScroll) {}

CScrollElement::CScrollElement(ElementKind kind) : CElement(kind) {}

void CScrollElement::InitScroll(bool vertical, bool horizontal) {
  m_vertical = vertical;
  m_horizontal = horizontal;
}

POINT CScrollElement::ScrollPosition() {
  // The content shrinks (a child hidden, removed or made smaller) and the view grows without a
  // word to this element, so the clamp is made where the position is read. The place asked for
  // is kept: a reading between hiding one child and showing the next must not lose it.
  return ClampedToContent(m_position);
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
  *pPosition = ScrollPosition();
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
  const POINT from = ScrollPosition();
  MoveTo(static_cast<long>(from.x) + dx, static_cast<long>(from.y) + dy);
  return S_OK;
}

void* CScrollElement::QueryKindInterface(REFIID riid) {
  return riid == IID_ILqScrollView ? static_cast<ILqScrollView*>(this) : nullptr;
}

void CScrollElement::MoveTo(long x, long y) {
  m_position = ClampedToContent(POINT{static_cast<LONG>(std::clamp<long>(x, 0, kFar)),
                                      static_cast<LONG>(std::clamp<long>(y, 0, kFar))});
  Invalidate();
}

POINT CScrollElement::ClampedToContent(POINT position) {
  const POINT extent = ContentExtent();
  const LONG maxX = std::max<LONG>(0, extent.x - (Rect().right - Rect().left));
  const LONG maxY = std::max<LONG>(0, extent.y - (Rect().bottom - Rect().top));
  return POINT{std::min(position.x, maxX), std::min(position.y, maxY)};
}

}  // namespace lq
