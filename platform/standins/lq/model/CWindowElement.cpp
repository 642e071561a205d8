#include "CWindowElement.h"

#include <algorithm>
#include <map>

#include "Basalt/KwDiag.h"
#include "CLqEvent.h"
#include "LqThread.h"
#include "win32/toplevel.h"

using namespace win32;

namespace lq {

namespace {

// UI thread only, like everything here.
std::map<HWND, CWindowElement*>& WindowTable() {
  static auto* pTable = new std::map<HWND, CWindowElement*>;
  return *pTable;
}

std::vector<ModalFrame*>& Frames() {
  static auto* pFrames = new std::vector<ModalFrame*>;
  return *pFrames;
}

// The screen less docks and panels; false when the layer has no screen to tell of.
bool ReadWorkArea(RECT* pArea) {
  return SystemParametersInfoW(SPI_GETWORKAREA, 0, pArea, 0) && pArea->right > pArea->left &&
         pArea->bottom > pArea->top;
}

}  // namespace

CWindowElement::CWindowElement() : CElement(ElementKind::kWindow) {
  // Windows start hidden, as a native window made without WS_VISIBLE.
  InitFlags(true, true, false, false);
}

CWindowElement::~CWindowElement() = default;

CWindowElement* CWindowElement::FromHandle(HWND hwnd) {
  if (!hwnd) return nullptr;
  auto it = WindowTable().find(hwnd);
  return it == WindowTable().end() ? nullptr : it->second;
}

std::vector<CWindowElement*> CWindowElement::AllWindows() {
  std::vector<CWindowElement*> windows;
  for (const auto& [hwnd, pWindow] : WindowTable()) windows.push_back(pWindow);
  return windows;
}

const std::vector<ModalFrame*>& CWindowElement::ModalStack() { return Frames(); }

LRESULT CWindowElement::WindowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  CWindowElement* pWindow = FromHandle(hwnd);
  if (pWindow && message == WM_CLOSE) {
    pWindow->RequestClose();
    return 0;
  }
  if (pWindow && message == WM_NCDESTROY) pWindow->NativeWindowGone();
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

void CWindowElement::SetFrameName(const std::u16string& frameName) {
  m_frameName = frameName;
  if (m_nativeName.empty()) m_nativeName = frameName;
}

std::u16string CWindowElement::Title() const {
  // A caption the layout gives counts as set.
  return m_titleSet || !TextValue().empty() ? TextValue() : m_frameName;
}

bool CWindowElement::EnsureNativeWindow(DWORD exStyle, const std::u16string& name) {
  if (m_hwnd) return true;
  if (IsDestroyed()) return false;
  m_exStyle = exStyle;
  if (!name.empty()) m_nativeName = name;
  if (!View()->CreateTopLevel(this, exStyle, m_nativeName) || !m_hwnd) {
    KwLogW(u"Lq", u"CWindowElement[%p, %s]::EnsureNativeWindow failed", static_cast<void*>(this),
           m_nativeName.c_str());
    return false;
  }
  if (!HiddenFlag()) View()->ShowTopLevel(this, 5);
  return true;
}

void CWindowElement::AttachHandle(HWND hwnd) {
  if (!hwnd || m_hwnd) return;
  m_hwnd = hwnd;
  AddRef();  // the table's, dropped in DetachHandle
  WindowTable()[hwnd] = this;
}

void CWindowElement::FollowNativeState(bool shown, bool enabled) {
  if (IsDestroyed() || (HiddenFlag() != shown && EnabledFlag() == enabled)) return;
  InitFlags(!shown, enabled, false, HasHandCursor());
  Invalidate();
}

void CWindowElement::FollowNativeRect(const RECT& rect) {
  if (IsDestroyed()) return;
  const RECT& now = Rect();
  if (now.left == rect.left && now.top == rect.top && now.right == rect.right &&
      now.bottom == rect.bottom) {
    return;
  }
  InitRect(rect);
  Invalidate();
}

void CWindowElement::RequestClose() {
  if (GetState() != State::kAlive) return;
  CLqEvent* pEvent = nullptr;
  AddRef();
  RaiseEvent(LqEvent::kClosing, 0, &pEvent);
  bool cancelled = pEvent && pEvent->IntProperty(u"bCancelClose") != 0;
  if (pEvent) pEvent->Release();
  if (!cancelled) DestroyElement();
  Release();
}

HRESULT CWindowElement::RunModal(HWND owner, UINT, INT* pResult) {
  LQ_UI_THREAD_ONLY();
  if (pResult) *pResult = 0;
  if (GetState() != State::kAlive) return E_FAIL;
  if (!EnsureNativeWindow(m_exStyle, m_nativeName)) return E_FAIL;
  AddRef();  // the run's: the window outlives its frame
  CWindowElement* pOwner = FromHandle(owner);
  if (pOwner == this) pOwner = nullptr;
  if (pOwner) {
    pOwner->AddRef();
    ++pOwner->m_blockCount;
    View()->TopLevelChanged(pOwner);
  }
  ModalFrame frame;
  frame.pWindow = this;
  frame.pOwner = pOwner;
  Frames().push_back(&frame);
  PlaceOver(pOwner);
  ApplyShow(5);
  bool ended = View()->RunModalLoop(&frame);
  Frames().erase(std::find(Frames().begin(), Frames().end(), &frame));
  if (pOwner) {
    --pOwner->m_blockCount;
    if (!pOwner->IsDestroyed()) View()->TopLevelChanged(pOwner);
    pOwner->Release();
  }
  // A run that ended leaves no hidden window behind.
  DestroyElement();
  if (pResult) *pResult = ended && frame.ended ? frame.result : 0;
  Release();
  return S_OK;
}

void CWindowElement::PlaceOver(CWindowElement* pOwner) {
  RECT area{};
  const bool haveArea = ReadWorkArea(&area);
  RECT base{};
  if (pOwner && !pOwner->ReadHidden()) {
    base = pOwner->Rect();
  } else if (haveArea) {
    base = area;
  } else {
    return;  // nowhere better than where the layout put it
  }
  const RECT& now = Rect();
  const LONG width = now.right - now.left;
  const LONG height = now.bottom - now.top;
  LONG x = base.left + (base.right - base.left - width) / 2;
  LONG y = base.top + (base.bottom - base.top - height) / 2;
  // An owner half off the screen does not take its box along.
  if (haveArea) {
    x = std::max(area.left, std::min(x, area.right - width));
    y = std::max(area.top, std::min(y, area.bottom - height));
  }
  if (x == now.left && y == now.top) return;
  const RECT placed{x, y, x + width, y + height};
  SetRect(&placed);
}

HRESULT CWindowElement::EndModal(INT result) {
  LQ_UI_THREAD_ONLY();
  if (IsDestroyed()) return E_FAIL;
  for (auto it = Frames().rbegin(); it != Frames().rend(); ++it) {
    ModalFrame* pFrame = *it;
    if (pFrame->pWindow != this || pFrame->ended) continue;
    pFrame->ended = true;
    pFrame->result = result;
    return S_OK;
  }
  return E_FAIL;
}

HRESULT CWindowElement::CreateNativeWindow(DWORD exStyle, const WCHAR* pWindowName) {
  LQ_UI_THREAD_ONLY();
  if (IsDestroyed()) return E_FAIL;
  if (m_hwnd) return S_FALSE;
  return EnsureNativeWindow(exStyle, pWindowName ? pWindowName : u"") ? S_OK : E_FAIL;
}

HRESULT CWindowElement::Close() {
  LQ_UI_THREAD_ONLY();
  if (IsDestroyed()) return E_FAIL;
  // Through the procedure chain, so a subclass sees the close first.
  if (m_hwnd) {
    SendMessageW(m_hwnd, WM_CLOSE, 0, 0);
  } else {
    RequestClose();
  }
  return S_OK;
}

void* CWindowElement::QueryKindInterface(REFIID riid) {
  if (riid == IID_ILqWindow || riid == IID_ILqHostWindow) return static_cast<ILqElement*>(this);
  return nullptr;
}

void CWindowElement::OnDestroyed() {
  for (ModalFrame* pFrame : Frames()) {
    if (pFrame->pWindow == this && !pFrame->ended) {
      pFrame->ended = true;
      pFrame->result = 0;
    }
  }
  if (m_hwnd) View()->DestroyTopLevel(this);
  // A view whose native window lingers still gives the handle up here.
  DetachHandle();
}

void CWindowElement::OnTextChanged() {
  m_titleSet = true;
  if (m_hwnd) View()->TopLevelChanged(this);
}

void CWindowElement::ApplyShow(INT showCode) {
  CElement::ApplyShow(showCode);
  if (m_hwnd) View()->ShowTopLevel(this, showCode);
}

bool CWindowElement::ReadHidden() {
  if (m_hwnd && !IsDestroyed()) return !View()->IsTopLevelShown(this);
  return HiddenFlag();
}

void CWindowElement::OnEnabledChanged() {
  if (m_hwnd) View()->TopLevelChanged(this);
}

void CWindowElement::OnRectChanged() {
  if (m_hwnd) View()->TopLevelChanged(this);
}

void CWindowElement::OnOpacityChanged() {
  if (m_hwnd) View()->TopLevelChanged(this);
}

void CWindowElement::NativeWindowGone() {
  if (!m_hwnd) return;
  AddRef();
  DetachHandle();
  DestroyElement();
  Release();
}

void CWindowElement::DetachHandle() {
  if (!m_hwnd) return;
  WindowTable().erase(m_hwnd);
  m_hwnd = nullptr;
  Release();  // the table's
}

}  // namespace lq
