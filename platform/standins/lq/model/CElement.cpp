#include "CElement.h"

#include <algorithm>
#include <new>

#include "CCheckElement.h"
#include "CEditElement.h"
#include "CLqEvent.h"
#include "CMenuElement.h"
#include "CScrollElement.h"
#include "CSkeinCache.h"
#include "CTabStripElement.h"
#include "CWindowElement.h"
#include "IView.h"
#include "LqThread.h"

using namespace win32;

namespace lq {

namespace {

constexpr INT kShowMinimized = 6;

const Look& DefaultLook() {
  static const Look kLook;
  return kLook;
}

HRESULT CopyOut(const std::u16string& text, BSTR* pOut) {
  if (!pOut) return E_POINTER;
  *pOut = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *pOut || text.empty() ? S_OK : E_OUTOFMEMORY;
}

// Holds an element for the length of a scope.
class CHeld {
 public:
  explicit CHeld(IUnknown* p) : m_p(p) { m_p->AddRef(); }
  CHeld(const CHeld&) = delete;
  CHeld& operator=(const CHeld&) = delete;
  ~CHeld() { m_p->Release(); }

 private:
  IUnknown* m_p;
};

}  // namespace

// Every COM method of a live element starts here.
#define LQ_ALIVE_ONLY()   \
  LQ_UI_THREAD_ONLY();    \
  if (IsDestroyed()) return E_FAIL

CElement* CElement::Create(ElementKind kind) {
  switch (kind) {
    case ElementKind::kWindow:
      return new (std::nothrow) CWindowElement();
    case ElementKind::kEdit:
      return new (std::nothrow) CEditElement();
    case ElementKind::kCheck:
      return new (std::nothrow) CCheckElement();
    case ElementKind::kScroll:
      return new (std::nothrow) CScrollElement();
    case ElementKind::kTabStrip:
      return new (std::nothrow) CTabStripElement();
    case ElementKind::kMenu:
      return new (std::nothrow) CMenuElement();
    default:
      return new (std::nothrow) CElement(kind);
  }
}

CElement* CElement::FromInterface(IUnknown* pUnknown) {
  if (!pUnknown) return nullptr;
  void* pSelf = nullptr;
  if (FAILED(pUnknown->QueryInterface(IID_LqModelElement, &pSelf))) return nullptr;
  return static_cast<CElement*>(pSelf);
}

CElement::CElement(ElementKind kind) : m_kind(kind) {
  m_clickable = kind == ElementKind::kButton || kind == ElementKind::kLink ||
                kind == ElementKind::kCheck || kind == ElementKind::kTabItem ||
                kind == ElementKind::kMenuItem;
}

CElement::~CElement() {
  for (CElement* pChild : m_children) pChild->Release();
  for (EventEntry& entry : m_eventListeners) entry.pListener->Release();
  for (ILqElementDestroyListener* pListener : m_destroyListeners) pListener->Release();
  if (m_pExtras) {
    for (ILqMessageListener* pListener : m_pExtras->messageListeners) pListener->Release();
  }
}

bool CElement::IsClickable() const { return m_clickable; }

const Look& CElement::GetLook() const {
  if (m_pExtras && m_pExtras->pStyleLook) return *m_pExtras->pStyleLook;
  return m_pLook ? *m_pLook : DefaultLook();
}

const PictureRef* CElement::Background() const {
  return m_pExtras && !m_pExtras->background.IsEmpty() ? &m_pExtras->background : nullptr;
}

const std::u16string& CElement::StyleNameText() const {
  static const std::u16string kNone;
  return m_pExtras ? m_pExtras->styleName : kNone;
}

std::u16string CElement::KindNameText() const {
  if (m_pExtras && !m_pExtras->kindName.empty()) return m_pExtras->kindName;
  return ElementKindTag(m_kind);
}

CWindowElement* CElement::TopLevel() {
  CElement* pRoot = this;
  while (pRoot->m_pParent) pRoot = pRoot->m_pParent;
  return pRoot->m_kind == ElementKind::kWindow ? static_cast<CWindowElement*>(pRoot) : nullptr;
}

bool CElement::IsShownInTree() {
  for (CElement* p = this; p; p = p->m_pParent) {
    if (p->IsDestroyed() || p->ReadHidden()) return false;
  }
  return true;
}

bool CElement::TakesInput() {
  for (CElement* p = this; p; p = p->m_pParent) {
    if (!p->m_enabled) return false;
  }
  CWindowElement* pWindow = TopLevel();
  return !pWindow || !pWindow->IsInputBlocked();
}

POINT CElement::OffsetInTopLevel() {
  POINT offset{0, 0};
  for (CElement* p = this; p && p->m_pParent; p = p->m_pParent) {
    offset.x += p->m_rect.left;
    offset.y += p->m_rect.top;
    if (p->m_pParent->m_kind == ElementKind::kScroll ||
        p->m_pParent->m_kind == ElementKind::kTabStrip) {
      POINT scroll = static_cast<CScrollElement*>(p->m_pParent)->ScrollPosition();
      offset.x -= scroll.x;
      offset.y -= scroll.y;
    }
  }
  return offset;
}

CElement* CElement::FindById(std::u16string_view id) {
  for (CElement* pChild : m_children) {
    if (pChild->m_id == id) return pChild;
    if (CElement* pFound = pChild->FindById(id)) return pFound;
  }
  return nullptr;
}

void CElement::InitIdentity(std::u16string id, std::u16string name) {
  m_id = std::move(id);
  m_name = std::move(name);
}

void CElement::InitFlags(bool hidden, bool enabled, bool clickable, bool handCursor) {
  m_hidden = hidden;
  m_enabled = enabled;
  m_clickable = m_clickable || clickable;
  m_handCursor = handCursor;
}

void CElement::InitLook(const Look* pLook, std::u16string kindName, std::u16string styleName) {
  m_pLook = pLook;
  if (!kindName.empty() || !styleName.empty()) {
    MakeExtras().kindName = std::move(kindName);
    m_pExtras->styleName = std::move(styleName);
  }
}

void CElement::InitBackground(std::u16string path) {
  if (!path.empty()) MakeExtras().background.SetPath(std::move(path));
}

void CElement::InitState(UINT state) {
  if (state != StateValue()) MakeExtras().state = state;
}

void CElement::AppendBuiltChild(CElement* pChild) {
  pChild->m_pParent = this;
  m_children.push_back(pChild);
}

bool CElement::UserClick() {
  if (IsDestroyed() || !m_clickable || !IsShownInTree() || !TakesInput()) return false;
  CHeld held(static_cast<ILqElement*>(this));
  CWindowElement* pWindow = TopLevel();
  WindowRole role = GetLook().role;
  if (pWindow && role == WindowRole::kCloseButton) {
    pWindow->Close();
    return true;
  }
  if (pWindow && role == WindowRole::kMinimizeButton) {
    View()->ShowTopLevel(pWindow, kShowMinimized);
    return true;
  }
  switch (m_kind) {
    case ElementKind::kText:
    case ElementKind::kLink:
      RaiseEvent(LqEvent::kTextClick, 0);
      return true;
    case ElementKind::kTabItem:
      if (!m_pParent || m_pParent->m_kind != ElementKind::kTabStrip) return false;
      static_cast<CTabStripElement*>(m_pParent)->SelectItem(this, true);
      return true;
    case ElementKind::kMenuItem:
      if (!m_pParent || m_pParent->m_kind != ElementKind::kMenu) return false;
      static_cast<CMenuElement*>(m_pParent)->ItemClicked(this);
      return true;
    default:
      RaiseEvent(LqEvent::kClick, 0);
      return true;
  }
}

void CElement::UserHover(bool inside) {
  if (IsDestroyed() || m_hovered == inside) return;
  m_hovered = inside;
  CHeld held(static_cast<ILqElement*>(this));
  SendLqMessage(inside ? LqMessage::kMouseEnter : LqMessage::kMouseLeave, 0, 0);
  Invalidate();
}

void CElement::DestroyElement() { DestroyTree(true); }

void CElement::DestroyTree(bool leaveParent) {
  if (m_state != State::kAlive) return;
  m_state = State::kDestroying;
  CHeld held(static_cast<ILqElement*>(this));
  RaiseEvent(LqEvent::kDestroyed, 0);

  // Listeners may remove themselves or others while they are told.
  std::vector<ILqElementDestroyListener*> destroyListeners = m_destroyListeners;
  for (ILqElementDestroyListener* pListener : destroyListeners) pListener->AddRef();
  for (ILqElementDestroyListener* pListener : destroyListeners) {
    if (HasDestroyListener(pListener)) pListener->OnLqElementDestroy(this);
    pListener->Release();
  }

  std::vector<CElement*> children = m_children;
  for (CElement* pChild : children) pChild->AddRef();
  for (CElement* pChild : children) {
    pChild->DestroyTree(false);
    pChild->Release();
  }

  OnDestroyed();
  View()->ElementGone(this);

  std::vector<EventEntry> eventListeners;
  eventListeners.swap(m_eventListeners);
  for (EventEntry& entry : eventListeners) entry.pListener->Release();
  destroyListeners.clear();
  destroyListeners.swap(m_destroyListeners);
  for (ILqElementDestroyListener* pListener : destroyListeners) pListener->Release();
  if (m_pExtras) {
    std::vector<ILqMessageListener*> messageListeners;
    messageListeners.swap(m_pExtras->messageListeners);
    for (ILqMessageListener* pListener : messageListeners) pListener->Release();
  }
  children.clear();
  children.swap(m_children);
  for (CElement* pChild : children) {
    pChild->m_pParent = nullptr;
    pChild->Release();
  }

  m_state = State::kDestroyed;
  if (CElement* pParent = m_pParent; pParent && leaveParent) {
    m_pParent = nullptr;
    auto it = std::find(pParent->m_children.begin(), pParent->m_children.end(), this);
    if (it != pParent->m_children.end()) {
      pParent->m_children.erase(it);
      pParent->Invalidate();
      Release();  // the parent's
    }
  }
}

void CElement::RaiseEvent(UINT eventId, INT_PTR argument, CLqEvent** ppEvent) {
  if (ppEvent) *ppEvent = nullptr;
  if (IsDestroyed()) return;
  CLqEvent* pEvent = CLqEvent::Create(eventId, this, argument);
  if (!pEvent) return;
  DispatchEvent(pEvent);
  if (ppEvent) {
    *ppEvent = pEvent;
  } else {
    pEvent->Release();
  }
}

void CElement::DispatchEvent(CLqEvent* pEvent) {
  if (IsDestroyed()) return;
  CHeld held(static_cast<ILqElement*>(this));
  UINT eventId = 0;
  pEvent->GetEventId(&eventId);
  std::vector<ILqEventListener*> listeners;
  for (const EventEntry& entry : m_eventListeners) {
    if (entry.eventId == eventId) listeners.push_back(entry.pListener);
  }
  for (ILqEventListener* pListener : listeners) pListener->AddRef();
  for (ILqEventListener* pListener : listeners) {
    // A listener removed by an earlier one hears nothing more.
    if (HasEventListener(eventId, pListener)) pListener->OnLqEvent(eventId, this, pEvent);
    pListener->Release();
  }
}

LRESULT CElement::SendLqMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (IsDestroyed() || !m_pExtras || m_pExtras->messageListeners.empty()) return 0;
  CHeld held(static_cast<ILqElement*>(this));
  std::vector<ILqMessageListener*> listeners = m_pExtras->messageListeners;
  for (ILqMessageListener* pListener : listeners) pListener->AddRef();
  LRESULT answer = 0;
  bool handled = false;
  for (ILqMessageListener* pListener : listeners) {
    bool registered = m_pExtras && std::find(m_pExtras->messageListeners.begin(),
                                             m_pExtras->messageListeners.end(),
                                             pListener) != m_pExtras->messageListeners.end();
    if (registered && !handled) {
      UINT id = message;
      BOOL done = FALSE;
      LRESULT result = 0;
      pListener->PreMessage(this, &id, wParam, lParam, &done, &result);
      if (!done) pListener->OnMessage(this, &id, wParam, lParam, &done, &result);
      if (done) {
        handled = true;
        answer = result;
      }
    }
    pListener->Release();
  }
  return answer;
}

HRESULT CElement::QueryInterface(REFIID riid, void** ppObject) {
  if (!ppObject) return E_POINTER;
  *ppObject = nullptr;
  if (riid == IID_LqModelElement) {
    *ppObject = this;
    return S_OK;
  }
  if (riid == IID_IUnknown || riid == IID_ILqElement) {
    *ppObject = static_cast<ILqElement*>(this);
  } else if (riid == IID_ILqEventSource) {
    *ppObject = static_cast<ILqEventSource*>(this);
  } else if (riid == IID_ILqMessageSource) {
    *ppObject = static_cast<ILqMessageSource*>(this);
  } else if (riid == IID_ILqContainer &&
             (m_kind == ElementKind::kContainer || m_kind == ElementKind::kFrame)) {
    *ppObject = static_cast<ILqElement*>(this);
  } else if (riid == IID_ILqTabItem && m_kind == ElementKind::kTabItem) {
    *ppObject = static_cast<ILqElement*>(this);
  } else {
    *ppObject = QueryKindInterface(riid);
  }
  if (!*ppObject) return E_NOINTERFACE;
  AddRef();
  return S_OK;
}

ULONG CElement::AddRef() { return ++m_refCount; }

ULONG CElement::Release() {
  ULONG count = --m_refCount;
  if (count != 0) return count;
  if (m_state == State::kAlive) {
    // The last reference to a live element: it is destroyed first, so its listeners hear of it.
    m_refCount = 1;
    DestroyTree(true);
    count = --m_refCount;
    if (count != 0) return count;
  }
  delete this;
  return 0;
}

HRESULT CElement::FindChild(const WCHAR* pId, ILqElement** ppFound) {
  LQ_ALIVE_ONLY();
  if (!pId || !ppFound) return E_POINTER;
  CElement* pFound = FindById(pId);
  *ppFound = pFound;
  if (!pFound) return S_FALSE;
  pFound->AddRef();
  return S_OK;
}

HRESULT CElement::AddChild(ILqElement* pChildInterface) {
  LQ_ALIVE_ONLY();
  if (m_state != State::kAlive) return E_FAIL;
  CElement* pChild = FromInterface(pChildInterface);
  if (!pChild || pChild->IsDestroyed() || pChild->m_state != State::kAlive) return E_INVALIDARG;
  if (pChild->m_pParent || pChild->m_kind == ElementKind::kWindow ||
      pChild->m_kind == ElementKind::kMenu) {
    return E_INVALIDARG;
  }
  for (CElement* p = this; p; p = p->m_pParent) {
    if (p == pChild) return E_INVALIDARG;
  }
  pChild->AddRef();  // the parent's
  AppendBuiltChild(pChild);
  Invalidate();
  return S_OK;
}

HRESULT CElement::RemoveChild(ILqElement* pChildInterface) {
  LQ_ALIVE_ONLY();
  CElement* pChild = FromInterface(pChildInterface);
  if (!pChild || pChild->m_pParent != this) return E_INVALIDARG;
  pChild->DestroyTree(true);
  return S_OK;
}

HRESULT CElement::GetChildCount(UINT* pCount) {
  LQ_ALIVE_ONLY();
  if (!pCount) return E_POINTER;
  *pCount = static_cast<UINT>(m_children.size());
  return S_OK;
}

HRESULT CElement::GetChild(UINT index, ILqElement** ppChild) {
  LQ_ALIVE_ONLY();
  if (!ppChild) return E_POINTER;
  *ppChild = nullptr;
  if (index >= m_children.size()) return E_INVALIDARG;
  *ppChild = m_children[index];
  m_children[index]->AddRef();
  return S_OK;
}

HRESULT CElement::GetParent(ILqElement** ppParent) {
  LQ_ALIVE_ONLY();
  if (!ppParent) return E_POINTER;
  *ppParent = m_pParent;
  if (!m_pParent) return S_FALSE;
  m_pParent->AddRef();
  return S_OK;
}

HRESULT CElement::SetId(const WCHAR* pId) {
  LQ_ALIVE_ONLY();
  m_id = pId ? pId : u"";
  return S_OK;
}

HRESULT CElement::GetId(BSTR* pId) {
  LQ_ALIVE_ONLY();
  return CopyOut(m_id, pId);
}

HRESULT CElement::SetName(const WCHAR* pName) {
  LQ_ALIVE_ONLY();
  m_name = pName ? pName : u"";
  return S_OK;
}

HRESULT CElement::GetName(BSTR* pName) {
  LQ_ALIVE_ONLY();
  return CopyOut(m_name, pName);
}

HRESULT CElement::GetKindName(BSTR* pKind) {
  LQ_ALIVE_ONLY();
  return CopyOut(KindNameText(), pKind);
}

HRESULT CElement::SetStyleName(const WCHAR* pStyle) {
  LQ_ALIVE_ONLY();
  Extras& extras = MakeExtras();
  extras.styleName = pStyle ? pStyle : u"";
  extras.pStyleLook = CSkeinCache::FindStyle(extras.styleName);
  Invalidate();
  return S_OK;
}

HRESULT CElement::Show(INT showCode) {
  LQ_ALIVE_ONLY();
  ApplyShow(showCode);
  return S_OK;
}

HRESULT CElement::SetHidden(BOOL hidden) {
  LQ_ALIVE_ONLY();
  ApplyShow(hidden ? 0 : 5);
  return S_OK;
}

HRESULT CElement::IsHidden(BOOL* pHidden) {
  LQ_ALIVE_ONLY();
  if (!pHidden) return E_POINTER;
  *pHidden = ReadHidden() ? TRUE : FALSE;
  return S_OK;
}

HRESULT CElement::Enable(BOOL enable) {
  LQ_ALIVE_ONLY();
  if (m_enabled == (enable != FALSE)) return S_OK;
  m_enabled = enable != FALSE;
  OnEnabledChanged();
  Invalidate();
  return S_OK;
}

HRESULT CElement::IsEnabled(BOOL* pEnabled) {
  LQ_ALIVE_ONLY();
  if (!pEnabled) return E_POINTER;
  *pEnabled = m_enabled ? TRUE : FALSE;
  return S_OK;
}

HRESULT CElement::SetText(const WCHAR* pText) {
  LQ_ALIVE_ONLY();
  std::u16string text = AcceptText(pText);
  if (text == m_text) return S_OK;
  m_text = std::move(text);
  Invalidate();
  OnTextChanged();
  return S_OK;
}

HRESULT CElement::GetText(BSTR* pText) {
  LQ_ALIVE_ONLY();
  return CopyOut(m_text, pText);
}

HRESULT CElement::SetPicture(const WCHAR* pPath) {
  LQ_ALIVE_ONLY();
  m_picture.SetPath(pPath ? pPath : u"");
  Invalidate();
  return S_OK;
}

HRESULT CElement::SetPictureObject(IUnknown* pPicture) {
  LQ_ALIVE_ONLY();
  m_picture.SetObject(pPicture);
  Invalidate();
  return S_OK;
}

HRESULT CElement::SetBackground(const WCHAR* pPath) {
  LQ_ALIVE_ONLY();
  MakeExtras().background.SetPath(pPath ? pPath : u"");
  Invalidate();
  return S_OK;
}

HRESULT CElement::SetBackgroundObject(IUnknown* pPicture) {
  LQ_ALIVE_ONLY();
  MakeExtras().background.SetObject(pPicture);
  Invalidate();
  return S_OK;
}

HRESULT CElement::SetCursor(const WCHAR* pCursor) {
  LQ_ALIVE_ONLY();
  std::u16string_view cursor = pCursor ? pCursor : u"";
  if (cursor != u"hand" && cursor != u"arrow" && !cursor.empty()) return E_INVALIDARG;
  m_handCursor = cursor == u"hand";
  return S_OK;
}

HRESULT CElement::SetOpacity(BYTE opacity) {
  LQ_ALIVE_ONLY();
  m_opacity = opacity;
  OnOpacityChanged();
  Invalidate();
  return S_OK;
}

HRESULT CElement::SetSetting(UINT setting, INT a, INT b, INT c, INT d) {
  LQ_ALIVE_ONLY();
  std::vector<Setting>& settings = MakeExtras().settings;
  auto it = std::find_if(settings.begin(), settings.end(),
                         [setting](const Setting& s) { return s.id == setting; });
  if (it == settings.end()) it = settings.insert(settings.end(), Setting{setting, {}});
  it->values[0] = a;
  it->values[1] = b;
  it->values[2] = c;
  it->values[3] = d;
  Invalidate();
  return S_OK;
}

HRESULT CElement::SetRect(const RECT* pRect) {
  LQ_ALIVE_ONLY();
  if (!pRect) return E_POINTER;
  if (pRect->right < pRect->left || pRect->bottom < pRect->top) return E_INVALIDARG;
  if (m_pParent) m_pParent->Invalidate();
  m_rect = *pRect;
  OnRectChanged();
  Invalidate();
  return S_OK;
}

HRESULT CElement::GetRect(RECT* pRect) {
  LQ_ALIVE_ONLY();
  if (!pRect) return E_POINTER;
  *pRect = m_rect;
  return S_OK;
}

HRESULT CElement::GetWindowHandle(HWND* pHwnd) {
  LQ_ALIVE_ONLY();
  if (!pHwnd) return E_POINTER;
  CWindowElement* pWindow = TopLevel();
  *pHwnd = pWindow ? pWindow->Handle() : nullptr;
  return *pHwnd ? S_OK : S_FALSE;
}

HRESULT CElement::Refresh() {
  LQ_ALIVE_ONLY();
  Invalidate();
  return S_OK;
}

HRESULT CElement::AddDestroyListener(ILqElementDestroyListener* pListener) {
  LQ_ALIVE_ONLY();
  if (!pListener) return E_POINTER;
  if (m_state != State::kAlive) return E_FAIL;
  if (HasDestroyListener(pListener)) return S_FALSE;
  pListener->AddRef();
  m_destroyListeners.push_back(pListener);
  return S_OK;
}

HRESULT CElement::RemoveDestroyListener(ILqElementDestroyListener* pListener) {
  LQ_ALIVE_ONLY();
  auto it = std::find(m_destroyListeners.begin(), m_destroyListeners.end(), pListener);
  if (it == m_destroyListeners.end()) return S_FALSE;
  m_destroyListeners.erase(it);
  pListener->Release();
  return S_OK;
}

HRESULT CElement::RunModal(HWND, UINT, INT* pResult) {
  if (pResult) *pResult = 0;
  return E_NOTIMPL;
}

HRESULT CElement::EndModal(INT) { return E_NOTIMPL; }

HRESULT CElement::CreateNativeWindow(DWORD, const WCHAR*) { return E_NOTIMPL; }

HRESULT CElement::Close() { return E_NOTIMPL; }

HRESULT CElement::SetState(UINT state) {
  LQ_ALIVE_ONLY();
  if (m_kind != ElementKind::kTabItem) return E_NOTIMPL;
  MakeExtras().state = state;
  if (state == LqSetting::kStateSelected && m_pParent &&
      m_pParent->m_kind == ElementKind::kTabStrip) {
    static_cast<CTabStripElement*>(m_pParent)->SelectItem(this, false);
  }
  Invalidate();
  return S_OK;
}

HRESULT CElement::SetSpacing(const RECT* pSpacing) {
  LQ_ALIVE_ONLY();
  if (!pSpacing) return E_POINTER;
  if (m_kind != ElementKind::kTabItem) return E_NOTIMPL;
  MakeExtras().spacing = *pSpacing;
  if (m_pParent) m_pParent->Invalidate();
  return S_OK;
}

HRESULT CElement::AddListener(UINT eventId, ILqEventListener* pListener) {
  LQ_ALIVE_ONLY();
  if (!pListener) return E_POINTER;
  if (m_state != State::kAlive) return E_FAIL;
  if (HasEventListener(eventId, pListener)) return S_FALSE;
  pListener->AddRef();
  m_eventListeners.push_back(EventEntry{eventId, pListener});
  return S_OK;
}

HRESULT CElement::RemoveListener(ILqEventListener* pListener) {
  LQ_ALIVE_ONLY();
  bool removed = false;
  for (size_t i = m_eventListeners.size(); i-- > 0;) {
    if (m_eventListeners[i].pListener != pListener) continue;
    m_eventListeners.erase(m_eventListeners.begin() + static_cast<ptrdiff_t>(i));
    pListener->Release();
    removed = true;
  }
  return removed ? S_OK : S_FALSE;
}

HRESULT CElement::AddListener(ILqMessageListener* pListener) {
  LQ_ALIVE_ONLY();
  if (!pListener) return E_POINTER;
  if (m_state != State::kAlive) return E_FAIL;
  std::vector<ILqMessageListener*>& listeners = MakeExtras().messageListeners;
  if (std::find(listeners.begin(), listeners.end(), pListener) != listeners.end()) return S_FALSE;
  pListener->AddRef();
  listeners.push_back(pListener);
  return S_OK;
}

HRESULT CElement::RemoveListener(ILqMessageListener* pListener) {
  LQ_ALIVE_ONLY();
  if (!m_pExtras) return S_FALSE;
  std::vector<ILqMessageListener*>& listeners = m_pExtras->messageListeners;
  auto it = std::find(listeners.begin(), listeners.end(), pListener);
  if (it == listeners.end()) return S_FALSE;
  listeners.erase(it);
  pListener->Release();
  return S_OK;
}

bool CElement::SettingValue(UINT setting, INT values[4]) const {
  if (!m_pExtras) return false;
  for (const Setting& s : m_pExtras->settings) {
    if (s.id != setting) continue;
    std::copy(s.values, s.values + 4, values);
    return true;
  }
  return false;
}

UINT CElement::StateValue() const { return m_pExtras ? m_pExtras->state : 0; }

RECT CElement::SpacingValue() const { return m_pExtras ? m_pExtras->spacing : RECT{}; }

void* CElement::QueryKindInterface(REFIID) { return nullptr; }

std::u16string CElement::AcceptText(const WCHAR* pText) { return pText ? pText : u""; }

void CElement::ApplyShow(INT showCode) {
  bool hidden = showCode == 0;
  if (m_hidden == hidden) return;
  m_hidden = hidden;
  if (m_pParent) m_pParent->Invalidate();
  Invalidate();
}

bool CElement::ReadHidden() { return m_hidden; }

void CElement::Invalidate() {
  if (!IsDestroyed()) View()->Invalidate(this);
}

CElement::Extras& CElement::MakeExtras() {
  if (!m_pExtras) m_pExtras = std::make_unique<Extras>();
  return *m_pExtras;
}

bool CElement::HasEventListener(UINT eventId, ILqEventListener* pListener) const {
  return std::any_of(m_eventListeners.begin(), m_eventListeners.end(),
                     [&](const EventEntry& entry) {
                       return entry.eventId == eventId && entry.pListener == pListener;
                     });
}

bool CElement::HasDestroyListener(ILqElementDestroyListener* pListener) const {
  return std::find(m_destroyListeners.begin(), m_destroyListeners.end(), pListener) !=
         m_destroyListeners.end();
}

}  // namespace lq
