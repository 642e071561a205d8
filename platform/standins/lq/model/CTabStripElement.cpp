#include "CTabStripElement.h"

#include <algorithm>

#include "LqThread.h"

using namespace win32;

namespace lq {

namespace {

constexpr int kDefaultItemWidth = 100;
constexpr int kDefaultItemHeight = 30;

// An item's width with the room left beside it.
long ItemStep(const CElement* pItem) {
  const Look& look = pItem->GetLook();
  RECT spacing = pItem->SpacingValue();
  return spacing.left + (look.width > 0 ? look.width : kDefaultItemWidth) + spacing.right;
}

}  // namespace

CTabStripElement::CTabStripElement() : CScrollElement(ElementKind::kTabStrip) {
  InitScroll(false, true);
}

void CTabStripElement::SelectItem(CElement* pItem, bool byUser) {
  if (IsDestroyed()) return;
  for (CElement* pChild : Children()) {
    if (pChild->Kind() == ElementKind::kTabItem) {
      pChild->InitState(pChild == pItem ? LqSetting::kStateSelected : 0);
    }
  }
  Invalidate();
  RaiseEvent(LqEvent::kTabChanged, byUser ? 1 : 0);
}

int CTabStripElement::SelectedIndex() const {
  int index = 0;
  for (CElement* pChild : Children()) {
    if (pChild->Kind() != ElementKind::kTabItem) continue;
    if (pChild->StateValue() == LqSetting::kStateSelected) return index;
    ++index;
  }
  return -1;
}

void CTabStripElement::ArrangeChildren() {
  long x = 0;
  for (CElement* pChild : Children()) {
    if (pChild->Kind() != ElementKind::kTabItem) continue;
    const Look& look = pChild->GetLook();
    RECT spacing = pChild->SpacingValue();
    long width = look.width > 0 ? look.width : kDefaultItemWidth;
    long height = look.height > 0 ? look.height : kDefaultItemHeight;
    RECT rect{static_cast<LONG>(x + spacing.left), spacing.top,
              static_cast<LONG>(x + spacing.left + width), static_cast<LONG>(spacing.top + height)};
    pChild->InitRect(rect);
    x += ItemStep(pChild);
  }
}

POINT CTabStripElement::ContentExtent() {
  ArrangeChildren();
  POINT extent{0, 0};
  for (CElement* pChild : Children()) {
    if (pChild->Kind() != ElementKind::kTabItem) continue;
    extent.x += static_cast<LONG>(ItemStep(pChild));
    extent.y = std::max(extent.y, pChild->Rect().bottom);
  }
  return extent;
}

HRESULT CTabStripElement::GetSelectedIndex(INT* pIndex) {
  LQ_UI_THREAD_ONLY();
  if (IsDestroyed()) return E_FAIL;
  if (!pIndex) return E_POINTER;
  *pIndex = SelectedIndex();
  return S_OK;
}

HRESULT CTabStripElement::SelectIndex(INT index) {
  LQ_UI_THREAD_ONLY();
  if (IsDestroyed()) return E_FAIL;
  int i = 0;
  for (CElement* pChild : Children()) {
    if (pChild->Kind() != ElementKind::kTabItem) continue;
    if (i++ == index) {
      SelectItem(pChild, false);
      return S_OK;
    }
  }
  return E_INVALIDARG;
}

HRESULT CTabStripElement::ScrollItems(INT items) {
  LQ_UI_THREAD_ONLY();
  if (IsDestroyed()) return E_FAIL;
  for (CElement* pChild : Children()) {
    if (pChild->Kind() != ElementKind::kTabItem) continue;
    MoveTo(ScrollPosition().x + items * ItemStep(pChild), ScrollPosition().y);
    return S_OK;
  }
  return S_FALSE;
}

void* CTabStripElement::QueryKindInterface(REFIID riid) {
  if (riid == IID_ILqTabStrip) return static_cast<ILqTabStrip*>(this);
  return CScrollElement::QueryKindInterface(riid);
}

}  // namespace lq
