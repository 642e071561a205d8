#pragma once
// The base of windows the program builds from a layout and shows on their own (the tray tips):
// the root element's window interface and the parent element, both held. A window still open
// when its root is let go (a second Create, the object's end) is closed.
// Threading: UI thread only.

#include "Lq/LqInterfaces.h"

class CPopupWindowBase {
 public:
  CPopupWindowBase() = default;
  CPopupWindowBase(const CPopupWindowBase&) = delete;
  CPopupWindowBase& operator=(const CPopupWindowBase&) = delete;
  virtual ~CPopupWindowBase();

  // Create, then runs the root modally over the parent's window; true when the run started.
  virtual bool CreateModal(const win32::WCHAR* pLayout, ILqElement* pParent,
                           const win32::WCHAR* pCoreName);
  // The window's closing (256) and destroyed (4098) events, for subclasses that hook them.
  virtual win32::HRESULT OnClosing(ILqEvent*) { return 0; }
  virtual win32::HRESULT OnDestroyed(ILqEvent*) { return 0; }
  // Runs once the window exists; its answer is Create's.
  virtual bool OnWindowCreated() { return true; }
  // Builds the root from `pLayout` (nothing for an empty reference), after releasing an earlier
  // root and parent, holds the parent and calls OnWindowCreated. `pCoreName` is handed to the
  // framework (empty: the running core's layout folder).
  virtual bool Create(const win32::WCHAR* pLayout, ILqElement* pParent,
                      const win32::WCHAR* pCoreName);

 protected:
  ILqHostWindow* m_pWindow = nullptr;  // one reference, or null
  ILqElement* m_pParent = nullptr;     // one reference, or null

 private:
  void ReleaseWindow();
};
