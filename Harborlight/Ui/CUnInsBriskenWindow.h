#pragma once
// The notice shown at start when the host suite already carries this feature
// ("NotifyUnInsBriskenWindow"); OK (Result() 1) makes the main window start the suite's updater.
// Lifetime and threading: CLqModalBox.

#include "CLqModalBox.h"
#include "win32/window.h"

class CUnInsBriskenWindow final : public CLqModalBox<CUnInsBriskenWindow> {
 public:
  CUnInsBriskenWindow() : CLqModalBox(this) {}

  // As CUnBindMsgBox::DoModal, without a text; the last two arguments are not used.
  virtual bool DoModal(const win32::WCHAR* pLayout, win32::HWND owner, const win32::WCHAR* pUnused,
                       win32::INT unused);

  // Click on "canclbtn": result 0, and the run ends.
  win32::HRESULT OnCancel(ILqEvent* pEvent);

 private:
  ~CUnInsBriskenWindow() override = default;
};
