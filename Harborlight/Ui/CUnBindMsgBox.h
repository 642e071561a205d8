#pragma once
// The box that asks whether to unbind a phone ("UnBindMsgBox"), and the one that tells the user
// a phone unbound itself ("NotifyUnBindMsgNew", OK alone). The caller's text, when given, goes
// into "contextText"; after DoModal, Result() is 1 when OK was pressed.
// Lifetime and threading: CLqModalBox.

#include "CLqModalBox.h"
#include "win32/window.h"

class CUnBindMsgBox final : public CLqModalBox<CUnBindMsgBox> {
 public:
  CUnBindMsgBox() : CLqModalBox(this) {}

  // Builds the window from `pLayout`, clears what an earlier run registered, hooks the buttons
  // and runs modally over `owner`; true when the run could be started.
  virtual bool DoModal(const win32::WCHAR* pLayout, win32::HWND owner, const win32::WCHAR* pText);

  // Click on "canclbtn": the run ends, the result stays 0.
  win32::HRESULT OnCancel(ILqEvent* pEvent);

 private:
  ~CUnBindMsgBox() override = default;
};
