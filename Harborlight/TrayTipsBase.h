#pragma once
// A small borderless tip in the bottom-right corner of the work area: it slides in from the
// right, stays 20 s (as long as the pointer is over it, and 20 s more after it left), fades out
// and closes itself; its "okbtn" closes it at once. The photo page shows one when a phone
// unbinds itself while the main window is not in front.
//
// Lifetime: made and deleted by its owner. Its window lives from the first GetTipRect or ShowTip
// until it closes (or the object goes, which closes it); OnTipDestroyed tells a subclass the
// window is gone, so an owner may then let the object go, though not from inside that call.
// Threading: UI thread only: timers, window messages and clicks all arrive there.

#include "CComSinkPtr.h"
#include "CKwTimerCallback.h"
#include "CLqElementDestroyListener.h"
#include "CLqEventListenerHelper.h"
#include "CLqMessageListener.h"
#include "CPopupWindowBase.h"
#include "Lq/LqInterfaces.h"
#include "win32/base.h"

// Moves `pRect`, keeping its size, so that its right and bottom edges lie 5 px inside the work
// area's.
void PlaceAtWorkAreaCorner(win32::RECT* pRect);

class CTrayTipsBase : public CPopupWindowBase {
 public:
  CTrayTipsBase();
  ~CTrayTipsBase() override;

  // The notice text, written into "contextText" when the window is made: set it first.
  void SetText(const win32::WCHAR* pText);
  // Whether the pointer is over the tip now.
  bool IsHovering() const { return m_hovering != 0; }

  // CPopupWindowBase:
  bool OnWindowCreated() override;

  virtual int IsPlacementOnly() { return 0; }
  virtual int GetShowCode() { return 4; }
  virtual int GetAnimationMode() { return 2; }
  // Shows the tip at the rectangle's place (null: where it is), sliding in when its kind is one
  // of the sliding ones. The code asked for gives way to GetShowCode.
  virtual void ShowTip(int showCode, const win32::RECT* pRect);
  // Asks the framework to close the window.
  virtual void Close();
  // Moves the window to the rectangle's top-left corner (SWP_NOSIZE keeps its size) and makes
  // it topmost, unless SWP_NOZORDER says to leave its stacking.
  virtual void MoveTo(const win32::RECT& rect, win32::UINT flags);
  // The window's rectangle, the window made first when needed; E_FAIL without a window.
  virtual win32::HRESULT GetTipRect(win32::RECT* pRect);
  virtual const win32::WCHAR* GetLayoutFolder() { return u""; }
  virtual const win32::WCHAR* GetLayoutReference() {
    return u"platformskein:Harborlight.xml|NotifyUnBindMsgRightBottomTip";
  }
  virtual void OnTipCreated();
  virtual void OnTipReady() {}
  virtual bool EnsureWindow();
  virtual bool CreateTipWindow(const win32::WCHAR* pLayout, const win32::WCHAR* pFolder);
  virtual void StartCloseTimer();
  virtual win32::HRESULT OnTipMessage(ILqElement* pElement, win32::UINT* pMessage,
                                      win32::WPARAM wParam, win32::LPARAM lParam,
                                      win32::BOOL* pHandled, win32::LRESULT* pResult);
  virtual void OnMouseEnter();
  virtual void OnMouseLeave();
  virtual void OnTipDestroyed() {}

 private:
  static constexpr win32::UINT kCloseTimer = 101;
  static constexpr win32::UINT kFadeTimer = 102;
  static constexpr win32::UINT kReadyTimer = 103;
  static constexpr win32::UINT kSlideTimer = 104;

  win32::HRESULT OnTimer(win32::UINT timerId);
  win32::HRESULT OnSlideTimer(win32::UINT timerId);
  win32::HRESULT OnWindowDestroyed(ILqElement* pElement);
  win32::HRESULT OnOkClick(ILqEvent* pEvent);
  // Whether a tip of `width` slides in: its kind says so, and it is at least 10 px wide.
  bool SlidesIn(int width);
  void StopTimer(win32::UINT timerId);

  ILqMessageSource* m_pMessageSource = nullptr;  // one reference, or null
  CComSinkPtr<CKwTimerCallback<CTrayTipsBase>> m_timerSink;       // timers 101, 102, 103
  CComSinkPtr<CKwTimerCallback<CTrayTipsBase>> m_slideTimerSink;  // timer 104
  CComSinkPtr<CLqMessageListener<CTrayTipsBase>> m_messageSink;
  CComSinkPtr<CLqElementDestroyListener<CTrayTipsBase>> m_destroySink;
  CLqEventListenerHelper<CTrayTipsBase> m_listener;
  int m_hovering = 0;
  int32_t m_opacity = 255;
  // The slide
  int m_finalX = 0;
  int m_topY = 0;
  int m_startX = 0;
  int m_bottom = 0;
  int m_slideShowCode = 0;
  int m_steps = 10;
  int m_stepWidth = 0;
  int m_stepsTaken = 0;
  win32::DWORD m_shownTick = 0;
  ILqElement* m_pOkBtn = nullptr;  // one reference, or null
  std::u16string m_text;
};
