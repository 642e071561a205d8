#include "CGtkView.h"

#include <gdk/gdkx.h>
// Xlib's macro; the JSON writer has a member of that name.
#undef Bool

#include "Basalt/KwTimer.h"
#include "CGtkMenuPopup.h"
#include "CGtkTopLevel.h"
#include "CLqTestPort.h"
#include "CMenuElement.h"
#include "CWindowElement.h"
#include "JsonLine.h"
#include "win32/gui.h"

using namespace win32;

namespace lq {

namespace {

// A window that is never activated: the popup host.
constexpr DWORD kExNoActivate = 0x08000000;

// A press on `pWindow` now, for a menu opened without one (from a posted message or the test
// port): the grab needs a time and a pointer device.
GdkEvent* MakeTrigger(GdkWindow* pWindow) {
  GdkDisplay* pDisplay = gdk_window_get_display(pWindow);
  GdkEvent* pEvent = gdk_event_new(GDK_BUTTON_PRESS);
  pEvent->button.window = GDK_WINDOW(g_object_ref(pWindow));
  pEvent->button.send_event = TRUE;
  pEvent->button.time = gdk_x11_display_get_user_time(pDisplay);
  pEvent->button.button = 1;
  gdk_event_set_device(pEvent, gdk_seat_get_pointer(gdk_display_get_default_seat(pDisplay)));
  return pEvent;
}

bool TrayGeometry(RECT* pArea) {
  GdkRectangle area{};
  if (!GetTrayIconGeometryForTesting(nullptr, 0, &area)) return false;
  *pArea = RECT{area.x, area.y, area.x + area.width, area.y + area.height};
  return true;
}

std::string WindowTimers(HWND hwnd) { return CGtkView::Instance().WindowTimersJson(hwnd); }

}  // namespace

CGtkView& CGtkView::Instance() {
  static auto* pView = new CGtkView();
  return *pView;
}

bool CGtkView::Install() {
  static bool installed = false;
  if (installed) return true;
  if (!gdk_display_get_default()) return false;
  installed = true;
  SetView(&Instance());
  AddPreTranslateFilter(&FilterEvent, nullptr);
  CLqTestPort::Hooks hooks;
  hooks.trayGeometry = &TrayGeometry;
  hooks.windowTimers = &WindowTimers;
  CLqTestPort::SetHooks(hooks);
  return true;
}

void CGtkView::SetTimerOwner(IKwTimerCallback* pCallback, HWND hwnd) {
  if (!pCallback) return;
  if (hwnd) {
    m_timerOwners[pCallback] = hwnd;
  } else {
    m_timerOwners.erase(pCallback);
  }
}

std::string CGtkView::WindowTimersJson(HWND hwnd) const {
  CJsonWriter json;
  json.BeginArray();
  for (const KwTimer::TimerInfo& timer : KwTimer::LiveTimersForTesting()) {
    auto it = m_timerOwners.find(timer.pCallback);
    if (it == m_timerOwners.end() || it->second != hwnd) continue;
    json.Item().BeginObject();
    json.Key("id").Number(timer.id);
    json.Key("interval").Number(static_cast<long long>(timer.intervalMs));
    json.Key("dueIn").Number(static_cast<long long>(timer.dueInMs));
    json.Key("repeat").Bool(timer.repeat);
    json.EndObject();
  }
  json.EndArray();
  return json.Text();
}

GtkWidget* CGtkView::OpenMenuWidget() const {
  return m_pMenu && m_pMenu->IsUp() ? m_pMenu->Widget() : nullptr;
}

bool CGtkView::CreateTopLevel(CWindowElement* pWindow, DWORD exStyle,
                              const std::u16string& windowName) {
  std::unique_ptr<CGtkTopLevel> pTop = CGtkTopLevel::Create(pWindow, (exStyle & kExNoActivate) != 0,
                                                            windowName, &CGtkView::OnStateChange);
  if (!pTop) return false;
  m_topLevels[pWindow] = std::move(pTop);
  return true;
}

void CGtkView::DestroyTopLevel(CWindowElement* pWindow) {
  // WM_DESTROY and WM_NCDESTROY through the chain; the layer destroys the GtkWindow.
  if (pWindow->Handle()) DestroyWindow(pWindow->Handle());
}

void CGtkView::ShowTopLevel(CWindowElement* pWindow, int showCode) {
  if (CGtkTopLevel* pTop = Find(pWindow)) pTop->Show(showCode);
}

bool CGtkView::IsTopLevelShown(CWindowElement* pWindow) {
  CGtkTopLevel* pTop = Find(pWindow);
  return pTop && pTop->IsShown();
}

void CGtkView::TopLevelChanged(CWindowElement* pWindow) {
  if (CGtkTopLevel* pTop = Find(pWindow)) pTop->Changed();
}

void CGtkView::Invalidate(CElement* pElement) {
  CElement* pRoot = pElement;
  while (pRoot->Parent()) pRoot = pRoot->Parent();
  if (pRoot->Kind() == ElementKind::kMenu) {
    if (!m_pMenu || m_pMenu->Menu() != pRoot) return;
    if (pRoot->HiddenFlag()) {
      RetireMenu();
    } else {
      m_pMenu->Redraw();
    }
    return;
  }
  if (CGtkTopLevel* pTop = Find(pRoot)) pTop->Invalidate(pElement);
}

bool CGtkView::RunModalLoop(ModalFrame* pFrame) {
  CGtkTopLevel* pTop = Find(pFrame->pWindow);
  if (pTop) pTop->SetTransientFor(pFrame->pOwner ? Find(pFrame->pOwner) : nullptr);
  return win32::RunModalLoop(&pFrame->ended);
}

bool CGtkView::PopupMenu(CMenuElement* pMenu, CWindowElement* pAnchorWindow, int x, int y) {
  RetireMenu();
  GdkWindow* pRelativeTo = gdk_get_default_root_window();
  if (pAnchorWindow) {
    CGtkTopLevel* pTop = Find(pAnchorWindow);
    if (!pTop || !pTop->NativeGdkWindow()) return false;
    pRelativeTo = pTop->NativeGdkWindow();
  }
  GdkEvent* pTrigger = gtk_get_current_event();
  // A posted tray message carries no event; the layer kept the icon's press.
  if (!pTrigger && !pAnchorWindow) pTrigger = CopyTrayPressEvent();
  if (!pTrigger) pTrigger = MakeTrigger(pRelativeTo);
  m_pMenu = std::make_unique<CGtkMenuPopup>(pMenu);
  bool up = m_pMenu->Popup(pRelativeTo, x, y, pTrigger);
  gdk_event_free(pTrigger);
  if (!up) RetireMenu();
  return up;
}

void CGtkView::ElementGone(CElement* pElement) {
  if (m_pMenu) {
    if (m_pMenu->Menu() == pElement) {
      RetireMenu();
    } else {
      m_pMenu->ElementGone(pElement);
    }
  }
  CElement* pRoot = pElement;
  while (pRoot->Parent()) pRoot = pRoot->Parent();
  auto it = m_topLevels.find(pRoot);
  if (it == m_topLevels.end()) return;
  if (pRoot != pElement) {
    it->second->ElementGone(pElement);
    return;
  }
  HWND hwnd = it->second->Handle();
  std::erase_if(m_timerOwners, [hwnd](const auto& owner) { return owner.second == hwnd; });
  std::unique_ptr<CGtkTopLevel> pTop = std::move(it->second);
  m_topLevels.erase(it);
}

CGtkTopLevel* CGtkView::Find(CElement* pWindow) const {
  auto it = m_topLevels.find(pWindow);
  return it == m_topLevels.end() ? nullptr : it->second.get();
}

CGtkTopLevel* CGtkView::FindByGdkWindow(GdkWindow* pGdk) const {
  for (const auto& [pElement, pTop] : m_topLevels) {
    if (pTop->NativeGdkWindow() == pGdk) return pTop.get();
  }
  return nullptr;
}

void CGtkView::RetireMenu() {
  if (!m_pMenu) return;
  m_pMenu->Retire();
  m_retiredMenus.push_back(std::move(m_pMenu));
  if (!m_retireSource) m_retireSource = g_idle_add(&CGtkView::OnRetiredIdle, this);
}

gboolean CGtkView::OnRetiredIdle(gpointer data) {
  auto* pThis = static_cast<CGtkView*>(data);
  pThis->m_retireSource = 0;
  std::vector<std::unique_ptr<CGtkMenuPopup>> retired = std::move(pThis->m_retiredMenus);
  pThis->m_retiredMenus.clear();
  return G_SOURCE_REMOVE;
}

bool CGtkView::FilterEvent(GdkEvent* pEvent, void*) {
  GdkWindow* pGdk = gdk_event_get_window(pEvent);
  if (!pGdk) return false;
  CGtkTopLevel* pTop = Instance().FindByGdkWindow(gdk_window_get_toplevel(pGdk));
  return pTop && pTop->FilterEvent(pEvent);
}

void CGtkView::OnStateChange(HWND hwnd, GtkWindow*, ToplevelChange) {
  CWindowElement* pWindow = CWindowElement::FromHandle(hwnd);
  if (CGtkTopLevel* pTop = pWindow ? Instance().Find(pWindow) : nullptr) pTop->NativeStateChanged();
}

}  // namespace lq
