#include "CMenuElement.h"

#include <algorithm>

#include "CLqEvent.h"
#include "CWindowElement.h"
#include "IView.h"
#include "LqThread.h"

using namespace win32;

namespace lq {

namespace {

// Where an item keeps the colour it was added with.
constexpr UINT kTextColorSetting = 0x7001;

CMenuElement* g_pOpened = nullptr;  // UI thread only

}  // namespace

CMenuElement::CMenuElement() : CElement(ElementKind::kMenu) { InitFlags(true, true, false, false); }

void CMenuElement::ItemClicked(CElement* pItem) {
  if (IsDestroyed() || !pItem->EnabledFlag()) return;
  CLqEvent* pEvent = CLqEvent::Create(LqEvent::kClick, this, 0);
  if (!pEvent) return;
  pEvent->SetString(u"name", pItem->NameText().c_str());
  Dismissed();
  DispatchEvent(pEvent);
  pEvent->Release();
}

void CMenuElement::Dismissed() {
  if (g_pOpened == this) g_pOpened = nullptr;
  if (HiddenFlag()) return;
  Show(0);
  RaiseEvent(LqEvent::kMenuClosed, 0);
}

CMenuElement* CMenuElement::Opened() { return g_pOpened; }

CElement* CMenuElement::FindItem(std::u16string_view name) {
  for (CElement* pItem : Children()) {
    if (pItem->NameText() == name) return pItem;
  }
  return nullptr;
}

HRESULT CMenuElement::SetMenuStyle(const WCHAR* pStyle) { return SetStyleName(pStyle); }

HRESULT CMenuElement::AddItem(UINT height, UINT width, const WCHAR* pStyle, DWORD textColor,
                              const WCHAR* pText, const WCHAR* pIcon, const WCHAR* pName) {
  LQ_UI_THREAD_ONLY();
  if (IsDestroyed()) return E_FAIL;
  CElement* pItem = CElement::Create(ElementKind::kMenuItem);
  if (!pItem) return E_OUTOFMEMORY;
  LONG top = 0;
  for (CElement* pChild : Children()) top = std::max(top, pChild->Rect().bottom);
  pItem->InitRect(RECT{0, top, static_cast<LONG>(width), static_cast<LONG>(top + height)});
  pItem->InitIdentity(u"", pName ? pName : u"");
  pItem->InitText(pText ? pText : u"");
  pItem->InitPicture(pIcon ? pIcon : u"");
  pItem->SetStyleName(pStyle ? pStyle : u"");
  pItem->SetSetting(kTextColorSetting, static_cast<INT>(textColor), 0, 0, 0);
  AppendBuiltChild(pItem);
  RECT rect = Rect();
  rect.right = std::max<LONG>(rect.right, static_cast<LONG>(width));
  rect.bottom = top + static_cast<LONG>(height);
  InitRect(rect);
  return S_OK;
}

HRESULT CMenuElement::EnableItem(const WCHAR* pName, BOOL enable) {
  LQ_UI_THREAD_ONLY();
  if (IsDestroyed()) return E_FAIL;
  CElement* pItem = FindItem(pName ? pName : u"");
  if (!pItem) return E_INVALIDARG;
  return pItem->Enable(enable);
}

HRESULT CMenuElement::Popup(ILqElement* pAnchor, INT x, INT y) {
  LQ_UI_THREAD_ONLY();
  if (IsDestroyed()) return E_FAIL;
  CWindowElement* pWindow = nullptr;
  if (pAnchor) {
    CElement* pElement = CElement::FromInterface(pAnchor);
    pWindow = pElement ? pElement->TopLevel() : nullptr;
    if (!pWindow || pWindow->IsDestroyed()) return E_INVALIDARG;
  }
  POINT position{x, y};
  if (pWindow) {
    position.x += pWindow->Rect().left;
    position.y += pWindow->Rect().top;
  }
  m_position = position;
  if (g_pOpened && g_pOpened != this) g_pOpened->Dismissed();
  Show(5);
  g_pOpened = this;
  if (!View()->PopupMenu(this, pWindow, x, y)) {
    Dismissed();
    return E_FAIL;
  }
  return S_OK;
}

DWORD CMenuElement::ItemTextColor(const CElement* pItem) {
  INT values[4];
  return pItem->SettingValue(kTextColorSetting, values) ? static_cast<DWORD>(values[0])
                                                        : 0xFF000000;
}

void CMenuElement::OnDestroyed() {
  if (g_pOpened == this) g_pOpened = nullptr;
}

void* CMenuElement::QueryKindInterface(REFIID riid) {
  return riid == IID_ILqMenu ? static_cast<ILqMenu*>(this) : nullptr;
}

}  // namespace lq
