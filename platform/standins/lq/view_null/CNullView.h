#pragma once
// The view without a screen: top-levels are hidden windows of the layer (so posts, sends, timers
// and subclassing work on them), shown state and rectangles live in the model, nothing is drawn,
// and menus stay "open" until an item is clicked or they are dismissed.
//
// Modal runs pump the UI thread's message queue (posted messages and tasks run inside them) and
// are answered by a script of steps: each step is taken, in order, by whichever run is innermost
// when it has nothing else to do. A run with nothing scripted and nothing to do is closed, as a
// person would close a window nobody answers; its log line says so.
// Threading: UI thread only.

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "IView.h"
#include "Lq/LqInterfaces.h"

namespace lq {

class CNullView final : public IView {
 public:
  static CNullView& Instance();

  CNullView(const CNullView&) = delete;
  CNullView& operator=(const CNullView&) = delete;

  // --- The script ---
  // Clicks the element at `idPath` ("okbtn", or ids joined by '/') in the running window.
  void PushClick(std::u16string idPath);
  // Closes the running window through its procedure chain (WM_CLOSE).
  void PushClose();
  // Calls `step` with the running window.
  void PushCall(std::function<void(ILqElement* pWindow)> step);
  // Keeps pumping until `condition` holds, at most `timeoutMs` (then the step is dropped and a
  // failure noted).
  void PushWait(std::function<bool()> condition, win32::DWORD timeoutMs);
  size_t PendingSteps() const { return m_steps.size(); }
  // Forgets the steps, the failures and the open menu.
  void Reset();
  // Steps that could not be carried out, and runs closed for want of a step.
  const std::vector<std::string>& Failures() const { return m_failures; }

  // --- Menus ---
  // The menu shown last, while it is open; null otherwise.
  CMenuElement* OpenMenu();
  // Where it was asked to open: the anchor's window (or null) and (x, y) as given.
  CWindowElement* OpenMenuAnchor() const { return m_pMenuAnchor; }
  win32::POINT OpenMenuPoint() const { return m_menuPoint; }
  // Clicks the open menu's item of that name; false when none is open or the item takes no click.
  bool ClickMenuItem(const std::u16string& name);

  // IView:
  bool CreateTopLevel(CWindowElement* pWindow, win32::DWORD exStyle,
                      const std::u16string& windowName) override;
  void DestroyTopLevel(CWindowElement* pWindow) override;
  void ShowTopLevel(CWindowElement* pWindow, int showCode) override;
  bool IsTopLevelShown(CWindowElement* pWindow) override;
  void TopLevelChanged(CWindowElement* pWindow) override;
  void Invalidate(CElement* pElement) override;
  bool RunModalLoop(ModalFrame* pFrame) override;
  bool PopupMenu(CMenuElement* pMenu, CWindowElement* pAnchorWindow, int x, int y) override;
  void ElementGone(CElement* pElement) override;

 private:
  struct Step {
    enum class Kind { kClick, kClose, kCall, kWait } kind;
    std::u16string idPath;
    std::function<void(ILqElement*)> call;
    std::function<bool()> condition;
    win32::DWORD timeoutMs = 0;
    win32::DWORD startTick = 0;
    bool started = false;
  };

  CNullView() = default;
  ~CNullView() = default;

  // Runs the front step for the run of `pFrame`; false when the run must wait for input first.
  bool RunStep(ModalFrame* pFrame);
  void CloseUnanswered(ModalFrame* pFrame);

  std::deque<Step> m_steps;
  std::vector<std::string> m_failures;
  CMenuElement* m_pOpenMenu = nullptr;  // one reference
  CWindowElement* m_pMenuAnchor = nullptr;
  win32::POINT m_menuPoint{0, 0};
};

}  // namespace lq
