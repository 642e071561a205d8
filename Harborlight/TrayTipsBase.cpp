#include "TrayTipsBase.h"

#include <string_view>

#include "Basalt/KwTimer.h"
#include "Lq/Lq.h"
#include "win32/oleauto.h"
#include "win32/time.h"
#include "win32/toplevel.h"

using namespace win32;

namespace {

constexpr int kCornerGap = 5;
constexpr DWORD kHoverDefault = 0xFFFFFFFF;
constexpr DWORD kCloseAfterMs = 20000;
constexpr DWORD kFadeStepMs = 200;
constexpr DWORD kSlideStepMs = 5;
constexpr int32_t kFadeStartOpacity = 200;
constexpr int32_t kFadeStep = 10;
// A tip narrower than this has no whole pixel to move per step: it is placed without sliding.
constexpr int kMinSlideWidth = 10;

// The window kinds that slide in, compared exactly and in this order.
constexpr std::u16string_view kSlidingKinds[] = {
    u"Green_BigTipsWindow",   u"Blue_BigTipsWindow",    u"Orange_BigTipsWindow",
    u"Red_BigTipsWindow",     u"Green_TipsWindow",      u"Blue_TipsWindow",
    u"Orange_TipsWindow",     u"Red_TipsWindow",        u"Green_SmallTipsWindow",
    u"Blue_SmallTipsWindow",  u"orange_SmallTipsWindow", u"Red_SmallTipsWindow"};

}  // namespace

void PlaceAtWorkAreaCorner(RECT* pRect) {
  RECT area{};
  if (!pRect || !SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0)) return;
  const LONG width = pRect->right - pRect->left;
  const LONG height = pRect->bottom - pRect->top;
  pRect->right = area.right - kCornerGap;
  pRect->bottom = area.bottom - kCornerGap;
  pRect->left = pRect->right - width;
  pRect->top = pRect->bottom - height;
}

CTrayTipsBase::CTrayTipsBase()
    : m_timerSink(this),
      m_slideTimerSink(this),
      m_messageSink(this),
      m_destroySink(this),
      m_listener(this) {
  m_timerSink->SetCallback(&CTrayTipsBase::OnTimer);
  m_slideTimerSink->SetCallback(&CTrayTipsBase::OnSlideTimer);
  m_messageSink->SetCallback(&CTrayTipsBase::OnTipMessage);
  m_destroySink->SetCallback(&CTrayTipsBase::OnWindowDestroyed);
}

CTrayTipsBase::~CTrayTipsBase() {
  for (IKwTimerCallback* pSink : {m_timerSink.GetInterface<IKwTimerCallback>(),
                                  m_slideTimerSink.GetInterface<IKwTimerCallback>()}) {
    KwTimer::EraseTimerCallback(pSink, 0);
    lq::SetTimerOwner(pSink, nullptr);
  }
  m_listener.RemoveAll();
  if (m_pWindow) {
    m_pWindow->RemoveDestroyListener(m_destroySink.GetInterface<ILqElementDestroyListener>());
  }
  if (m_pMessageSource) {
    m_pMessageSource->RemoveListener(m_messageSink.GetInterface<ILqMessageListener>());
    m_pMessageSource->Release();
  }
  if (m_pOkBtn) m_pOkBtn->Release();
  // The base closes a window still open.
}

void CTrayTipsBase::SetText(const WCHAR* pText) { m_text = pText ? pText : u""; }

bool CTrayTipsBase::OnWindowCreated() {
  m_pWindow->AddDestroyListener(m_destroySink.GetInterface<ILqElementDestroyListener>());
  if (m_pMessageSource) m_pMessageSource->Release();
  m_pMessageSource = nullptr;
  if (SUCCEEDED(m_pWindow->QueryInterface(IID_ILqMessageSource,
                                          reinterpret_cast<void**>(&m_pMessageSource)))) {
    m_pMessageSource->AddListener(m_messageSink.GetInterface<ILqMessageListener>());
  }
  KwTimer::SetTimeout(0, m_timerSink.GetInterface<IKwTimerCallback>(), kReadyTimer);
  m_listener.AddListener(m_pWindow, LqEvent::kClosing, &CPopupWindowBase::OnClosing);
  m_listener.AddListener(m_pWindow, LqEvent::kDestroyed, &CPopupWindowBase::OnDestroyed);
  return true;
}

void CTrayTipsBase::ShowTip(int, const RECT* pRect) {
  if (!m_pWindow) EnsureWindow();
  const int showCode = GetShowCode();
  if (pRect && m_pWindow) {
    if (IsPlacementOnly()) {
      MoveTo(*pRect, SWP_NOSIZE | SWP_NOZORDER);
    } else if (SlidesIn(pRect->right - pRect->left)) {
      m_finalX = pRect->left;
      m_topY = pRect->top;
      m_startX = pRect->right;
      m_bottom = pRect->bottom;
      m_slideShowCode = showCode;
      m_stepsTaken = 0;
      const int width = pRect->right - pRect->left;
      m_stepWidth = width / 10;
      if (m_stepWidth < width % 10) m_steps = (width % 10) / m_stepWidth + 10;
      KwTimer::SetInterval(kSlideStepMs, m_slideTimerSink.GetInterface<IKwTimerCallback>(),
                           kSlideTimer);
      return;
    } else {
      MoveTo(*pRect, SWP_NOSIZE | SWP_NOACTIVATE);
    }
  }
  if (!m_pWindow) return;
  m_pWindow->Show(showCode);
  StartCloseTimer();
  m_shownTick = GetTickCount();
}

void CTrayTipsBase::Close() {
  if (m_pWindow) m_pWindow->Close();
}

void CTrayTipsBase::MoveTo(const RECT& rect, UINT flags) {
  if (!m_pWindow) return;
  RECT now{};
  m_pWindow->GetRect(&now);
  RECT target = rect;
  if (flags & SWP_NOSIZE) {
    target.right = rect.left + (now.right - now.left);
    target.bottom = rect.top + (now.bottom - now.top);
  }
  m_pWindow->SetRect(&target);
  if (flags & SWP_NOZORDER) return;
  // Above every other window, so nothing at the screen's corner hides the notice.
  HWND hwnd = nullptr;
  if (SUCCEEDED(m_pWindow->GetWindowHandle(&hwnd)) && hwnd) {
    SetWindowPos(hwnd, HWND_TOPMOST, 0, 0, 0, 0,
                 SWP_NOMOVE | SWP_NOSIZE | (flags & SWP_NOACTIVATE));
  }
}

HRESULT CTrayTipsBase::GetTipRect(RECT* pRect) {
  if (!pRect) return E_POINTER;
  if (!m_pWindow) EnsureWindow();
  if (!m_pWindow) return E_FAIL;
  return m_pWindow->GetRect(pRect);
}

void CTrayTipsBase::OnTipCreated() {
  // Tests read the tip's live timers as its window's.
  HWND hwnd = nullptr;
  m_pWindow->GetWindowHandle(&hwnd);
  lq::SetTimerOwner(m_timerSink.GetInterface<IKwTimerCallback>(), hwnd);
  lq::SetTimerOwner(m_slideTimerSink.GetInterface<IKwTimerCallback>(), hwnd);
  ILqElement* pText = nullptr;
  if (m_pWindow->FindChild(u"contextText", &pText) == S_OK) {
    pText->SetText(m_text.c_str());
    pText->Release();
  }
  if (m_pOkBtn) m_pOkBtn->Release();
  m_pOkBtn = nullptr;
  if (m_pWindow->FindChild(u"okbtn", &m_pOkBtn) == S_OK) {
    m_listener.AddListener(m_pOkBtn, LqEvent::kClick, &CTrayTipsBase::OnOkClick);
  }
}

bool CTrayTipsBase::EnsureWindow() {
  if (m_pWindow) return true;
  const WCHAR* pLayout = GetLayoutReference();
  if (!pLayout || !*pLayout) return false;
  if (!CreateTipWindow(pLayout, GetLayoutFolder()) || !m_pWindow) return false;
  OnTipCreated();
  return true;
}

bool CTrayTipsBase::CreateTipWindow(const WCHAR* pLayout, const WCHAR* pFolder) {
  return Create(pLayout, nullptr, pFolder);
}

void CTrayTipsBase::StartCloseTimer() {
  StopTimer(kFadeTimer);
  StopTimer(kCloseTimer);
  KwTimer::SetTimeout(kCloseAfterMs, m_timerSink.GetInterface<IKwTimerCallback>(), kCloseTimer);
}

HRESULT CTrayTipsBase::OnTipMessage(ILqElement*, UINT* pMessage, WPARAM, LPARAM, BOOL*,
                                    LRESULT*) {
  if (!pMessage) return 0;
  switch (*pMessage) {
    case LqMessage::kMouseEnter:
    case LqMessage::kMouseEnterChild:
    case LqMessage::kMouseHoverEnter:
      OnMouseEnter();
      break;
    case LqMessage::kMouseLeave:
    case LqMessage::kMouseLeaveWindow:
      OnMouseLeave();
      break;
    default:
      break;
  }
  return 0;
}

void CTrayTipsBase::OnMouseEnter() {
  if (m_hovering) return;
  m_hovering = 1;
  StopTimer(kFadeTimer);
  if (m_pWindow) {
    m_opacity = 255;
    m_pWindow->SetOpacity(255);
  }
  StopTimer(kCloseTimer);
  HWND hwnd = nullptr;
  if (m_pWindow) m_pWindow->GetWindowHandle(&hwnd);
  TRACKMOUSEEVENT track{sizeof(TRACKMOUSEEVENT), TME_LEAVE, hwnd, kHoverDefault};
  TrackMouseEvent(&track);
}

void CTrayTipsBase::OnMouseLeave() {
  if (!m_hovering) return;
  POINT cursor{};
  RECT rect{};
  if (m_pWindow && GetCursorPos(&cursor) && SUCCEEDED(m_pWindow->GetRect(&rect))) {
    // The body less its edges and its caption: a pointer still in there went onto a child.
    RECT body{rect.left + 2, rect.top + 28, rect.right - 2, rect.bottom - 2};
    if (cursor.x >= body.left && cursor.x < body.right && cursor.y >= body.top &&
        cursor.y < body.bottom) {
      return;
    }
  }
  m_hovering = 0;
  StartCloseTimer();
}

HRESULT CTrayTipsBase::OnTimer(UINT timerId) {
  switch (timerId) {
    case kCloseTimer:
      m_opacity = kFadeStartOpacity;
      KwTimer::SetInterval(kFadeStepMs, m_timerSink.GetInterface<IKwTimerCallback>(), kFadeTimer);
      break;
    case kFadeTimer:
      if (m_opacity <= 0) {
        StopTimer(kFadeTimer);
        Close();
      } else {
        if (m_pWindow) m_pWindow->SetOpacity(static_cast<BYTE>(m_opacity & 0xFF));
        m_opacity -= kFadeStep;
      }
      break;
    case kReadyTimer:
      OnTipReady();
      break;
    default:
      break;
  }
  return 0;
}

HRESULT CTrayTipsBase::OnSlideTimer(UINT) {
  if (!m_pWindow) {
    StopTimer(kSlideTimer);
    return 0;
  }
  const UINT flags = SWP_NOSIZE | SWP_NOACTIVATE;
  if (m_stepsTaken == 0) {
    MoveTo(RECT{m_startX, m_topY, m_startX, m_topY}, flags);
    m_pWindow->Show(m_slideShowCode);
    m_shownTick = GetTickCount();
  }
  ++m_stepsTaken;
  if (m_stepsTaken > m_steps) {
    MoveTo(RECT{m_finalX, m_topY, m_finalX, m_topY}, flags);
    StopTimer(kSlideTimer);
    StartCloseTimer();
  } else {
    const int x = m_startX - m_stepsTaken * m_stepWidth;
    MoveTo(RECT{x, m_topY, x, m_topY}, flags);
  }
  return 0;
}

HRESULT CTrayTipsBase::OnWindowDestroyed(ILqElement*) {
  if (m_pWindow) {
    m_pWindow->RemoveDestroyListener(m_destroySink.GetInterface<ILqElementDestroyListener>());
  }
  if (m_pMessageSource) {
    m_pMessageSource->RemoveListener(m_messageSink.GetInterface<ILqMessageListener>());
    m_pMessageSource->Release();
    m_pMessageSource = nullptr;
  }
  m_listener.RemoveAll();
  if (m_pOkBtn) m_pOkBtn->Release();
  m_pOkBtn = nullptr;
  if (m_pWindow) m_pWindow->Release();
  m_pWindow = nullptr;
  m_hovering = 0;
  StopTimer(kFadeTimer);
  StopTimer(kCloseTimer);
  StopTimer(kReadyTimer);
  StopTimer(kSlideTimer);
  OnTipDestroyed();
  return 0;
}

HRESULT CTrayTipsBase::OnOkClick(ILqEvent*) {
  Close();
  return 0;
}

bool CTrayTipsBase::SlidesIn(int width) {
  const int mode = GetAnimationMode();
  if (mode == 0 || width < kMinSlideWidth) return false;
  if (mode == 1) return true;
  BSTR kind = nullptr;
  bool slides = false;
  if (m_pWindow->GetKindName(&kind) == S_OK && kind) {
    for (std::u16string_view name : kSlidingKinds) {
      if (name == kind) {
        slides = true;
        break;
      }
    }
  }
  SysFreeString(kind);
  return slides;
}

void CTrayTipsBase::StopTimer(UINT timerId) {
  IKwTimerCallback* pSink = timerId == kSlideTimer
                                ? m_slideTimerSink.GetInterface<IKwTimerCallback>()
                                : m_timerSink.GetInterface<IKwTimerCallback>();
  KwTimer::EraseTimerCallback(pSink, timerId);
}
