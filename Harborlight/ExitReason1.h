#pragma once
// The exit survey ("ExitReason1"): nine reasons to tick, a free text for "other", a contact, OK
// and a cancel link. The main window runs it at the first close of a run while no phone has
// been bound. Whatever the user does, exactly one answer is reported (5924): an OK with a valid
// choice, a cancel, and a close by any other means (the window manager's close button, the
// program ending) count, the last two as a cancel.
// Lifetime: made and deleted by the main window; Run may be called once per object.
// Threading: UI thread only; Run blocks in the framework's modal loop.

#include <string>

#include "CLqEventListenerHelper.h"
#include "Lq/LqInterfaces.h"

class CExitReason1 {
 public:
  static constexpr int kReasonCount = 9;
  // The element ids as stored in the layout, in code order (code = index + 1).
  static const char16_t* const kReasonIds[kReasonCount];
  static constexpr int kCodeOther = 7;
  static constexpr int kReportCancel = 10;

  CExitReason1();
  CExitReason1(const CExitReason1&) = delete;
  CExitReason1& operator=(const CExitReason1&) = delete;
  virtual ~CExitReason1();

  // Builds the window from `pLayout` and runs it modally over `parent`. 1 when the run took
  // place and ended with a result of 0 or more, else 0. The text is not used.
  virtual int Run(const win32::WCHAR* pLayout, win32::HWND parent, const win32::WCHAR* pText);

  // Event 352 of a reason: the prompt goes away.
  win32::HRESULT OnReasonToggled(ILqEvent* pEvent);
  // Click on "ok" (4099).
  win32::HRESULT OnSubmit(ILqEvent* pEvent);
  // Click on "cancle" (1).
  win32::HRESULT OnCancel(ILqEvent* pEvent);

 private:
  // The lowest code whose element reports itself checked; 0 when none does.
  int GetChosenReason();
  void ShowPrompt(const char16_t* pText);
  // Sends the answer (once) and ends the run.
  void Answer(int reason, const std::u16string& text, const std::u16string& contact);
  void ReleaseElements();

  CLqEventListenerHelper<CExitReason1> m_listener;
  // Each one reference, or null.
  ILqElement* m_pOk = nullptr;
  ILqElement* m_pCancel = nullptr;
  ILqElement* m_pUnChoose = nullptr;
  ILqElement* m_pReasons[kReasonCount] = {};
  ILqElement* m_pReasonEdit = nullptr;
  ILqElement* m_pContactEdit = nullptr;
  ILqElement* m_pWindow = nullptr;
  int m_closeResult = 0;  // what the run ends with after an answer
  bool m_answered = false;
};
