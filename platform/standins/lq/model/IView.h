#pragma once
// What the model asks of whoever shows it: native top-levels, drawing, modal loops and menus.
// The null view keeps everything in the model; the GTK view shows it on X11. The model owns all
// state that is not about a real window.
// Threading: UI thread only.

#include <string>

#include "win32/base.h"

struct IKwTimerCallback;

namespace lq {

class CElement;
class CMenuElement;
class CWindowElement;

// One modal run; lives on the stack of the RunModal that runs it.
struct ModalFrame {
  CWindowElement* pWindow = nullptr;
  CWindowElement* pOwner = nullptr;  // held by the run; null when it has none
  bool ended = false;
  int result = 0;
};

class IView {
 public:
  virtual ~IView() = default;

  // Makes the native window of a top-level and attaches its handle with
  // CWindowElement::AttachHandle; false when it cannot.
  virtual bool CreateTopLevel(CWindowElement* pWindow, win32::DWORD exStyle,
                              const std::u16string& windowName) = 0;
  // Ends the native window; its handle is detached when WM_NCDESTROY passes the window's
  // procedure, which may happen inside this call.
  virtual void DestroyTopLevel(CWindowElement* pWindow) = 0;
  virtual void ShowTopLevel(CWindowElement* pWindow, int showCode) = 0;
  virtual bool IsTopLevelShown(CWindowElement* pWindow) = 0;
  // Its rectangle, title, opacity or input state changed.
  virtual void TopLevelChanged(CWindowElement* pWindow) = 0;
  virtual void Invalidate(CElement* pElement) = 0;
  // Runs until pFrame->ended; false when WM_QUIT came first (it stays pending).
  virtual bool RunModalLoop(ModalFrame* pFrame) = 0;
  // `pAnchorWindow` null: (x, y) are screen pixels; else they count from that top-level's
  // origin.
  virtual bool PopupMenu(CMenuElement* pMenu, CWindowElement* pAnchorWindow, int x, int y) = 0;
  // The element is being destroyed: drop whatever is held for it.
  virtual void ElementGone(CElement* pElement) = 0;
  // Whose KwTimers these are, for a view that reports a window's timers to tests (null hwnd:
  // nobody's); the others ignore it.
  virtual void SetTimerOwner(IKwTimerCallback* /*pCallback*/, win32::HWND /*hwnd*/) {}
};

// The view in force: the null view unless another was set.
IView* View();
// Null restores the null view. Set before any window exists.
void SetView(IView* pView);

}  // namespace lq
