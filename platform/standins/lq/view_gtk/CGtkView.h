#pragma once
// The view on an X11 desktop through GTK 3 and the layer's GUI half: each top-level is a
// CGtkTopLevel, each open menu a CGtkMenuPopup, modal runs loop in the layer's RunModalLoop (our
// queue, tasks and timers flow inside; never gtk_dialog_run). An event filter ahead of GTK keeps
// input from windows a modal run blocks and follows the pointer for hover state.
//
// The program installs it after win32::InitializeGui and before its first window:
//   win32::InitializeGui(&argc, &argv);
//   lq::CGtkView::Install();
//   lq::CLqTestPort::StartFromEnvironment(nullptr);  // when HARBORLIGHT_TESTPORT is set
// Install also fills the test port's hooks: the tray icon's place and each window's KwTimers
// (those of the call-backs named with SetTimerOwner).
//
// Lifetime: one per process, never freed (windows may outlive static destruction).
// Threading: GUI thread only.

#include <gtk/gtk.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Basalt/KwInterfaces.h"
#include "IView.h"
#include "win32/gui.h"

namespace lq {

class CGtkMenuPopup;
class CGtkTopLevel;

class CGtkView final : public IView {
 public:
  static CGtkView& Instance();
  // Makes this the framework's view; false (nothing changed) before InitializeGui succeeded.
  static bool Install();

  CGtkView(const CGtkView&) = delete;
  CGtkView& operator=(const CGtkView&) = delete;

  // The live KwTimers of a window's call-backs, as a JSON array.
  std::string WindowTimersJson(win32::HWND hwnd) const;
  // The GtkMenu on screen now, or null.
  GtkWidget* OpenMenuWidget() const;

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
  // The test port reports `pCallback`'s KwTimers as the window's; forgotten with the window.
  void SetTimerOwner(IKwTimerCallback* pCallback, win32::HWND hwnd) override;

 private:
  CGtkView() = default;
  ~CGtkView() = default;

  CGtkTopLevel* Find(CElement* pWindow) const;
  CGtkTopLevel* FindByGdkWindow(GdkWindow* pGdk) const;
  // The model is done with the open menu: it leaves the screen, and is deleted from an idle
  // callback (a choice may still be on its way from GTK).
  void RetireMenu();

  static bool FilterEvent(GdkEvent* pEvent, void* data);
  static void OnStateChange(win32::HWND hwnd, GtkWindow* pWindow, win32::ToplevelChange change);
  static gboolean OnRetiredIdle(gpointer data);

  std::map<CElement*, std::unique_ptr<CGtkTopLevel>> m_topLevels;
  std::unique_ptr<CGtkMenuPopup> m_pMenu;
  std::vector<std::unique_ptr<CGtkMenuPopup>> m_retiredMenus;
  guint m_retireSource = 0;
  std::map<IKwTimerCallback*, win32::HWND> m_timerOwners;  // call-backs not held
};

}  // namespace lq
