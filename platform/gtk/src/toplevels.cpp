// Registered top-levels: real GtkWindows that the layer knows by their X window id. Here are
// the back-end entries of the visible-window calls, for our own windows and for other
// processes' (which get requests through the bridge), and the activation messages.

#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <cstdlib>
#include <utility>
#include <map>
#include <memory>
#include <vector>

#include "gui_internal.h"
#include "win32/toplevel.h"

namespace win32 {
namespace gui {
namespace {

// A press this close to an activation (server time) made the activation a click's.
constexpr int32_t kClickActivationMs = 250;

// One registered window.
// Lifetime: created by RegisterToplevel; erased when its HWND leaves the registry
// (TopLevelDestroyed), which also destroys the GtkWindow unless that is what started it.
struct Toplevel {
  GtkWindow* pWindow = nullptr;  // one reference, ours
  HWND hwnd = nullptr;
  ToplevelStateCallback callback = nullptr;
  gulong handlers[3] = {};
  bool destroying = false;  // the GtkWindow is going; do not destroy it again

  bool enabled = true;
  bool activateOnMap = false;  // asked to activate while not yet on screen
  bool trackLeave = false;     // TrackMouseEvent(TME_LEAVE) armed

  // Activation, in X server times.
  bool active = false;
  guint32 activatedAt = 0;
  bool clickActivated = false;  // WA_CLICKACTIVE sent for this activation
  bool havePress = false;
  guint32 lastPress = 0;
  guint32 lastButtonTime = 0;  // of any press: a move starts with it
};

std::map<HWND, std::unique_ptr<Toplevel>> g_toplevels;

Toplevel* Find(HWND hwnd) {
  auto it = g_toplevels.find(hwnd);
  return it == g_toplevels.end() ? nullptr : it->second.get();
}

Toplevel* FindByGdkWindow(GdkWindow* pGdk) {
  if (!pGdk) return nullptr;
  GdkWindow* pTop = gdk_window_get_toplevel(pGdk);
  for (auto& [hwnd, pToplevel] : g_toplevels) {
    if (gtk_widget_get_window(GTK_WIDGET(pToplevel->pWindow)) == pTop) return pToplevel.get();
  }
  return nullptr;
}

::Window Xid(HWND hwnd) { return static_cast<::Window>(reinterpret_cast<uintptr_t>(hwnd)); }

bool Within(guint32 a, guint32 b, int32_t ms) {
  return std::abs(static_cast<int32_t>(a - b)) <= ms;
}

void Notify(Toplevel* pToplevel, ToplevelChange change) {
  if (pToplevel->callback) pToplevel->callback(pToplevel->hwnd, pToplevel->pWindow, change);
}

void Activate(Toplevel* pToplevel, bool raise) {
  GtkWidget* pWidget = GTK_WIDGET(pToplevel->pWindow);
  if (!gtk_widget_get_mapped(pWidget)) {
    pToplevel->activateOnMap = true;
    return;
  }
  pToplevel->activateOnMap = false;
  GdkWindow* pGdk = gtk_widget_get_window(pWidget);
  if (raise) gdk_window_raise(pGdk);
  guint32 time = gdk_x11_get_server_time(pGdk);
  if (gdk_x11_screen_supports_net_wm_hint(gdk_window_get_screen(pGdk),
                                          gdk_atom_intern_static_string("_NET_ACTIVE_WINDOW"))) {
    RequestActivation(Xid(pToplevel->hwnd), time);
  } else {
    gdk_window_focus(pGdk, time);
  }
}

BOOL ShowOwn(Toplevel* pToplevel, int cmdShow) {
  GtkWidget* pWidget = GTK_WIDGET(pToplevel->pWindow);
  const bool wasVisible = gtk_widget_get_visible(pWidget);
  if (cmdShow == SW_HIDE) {
    pToplevel->activateOnMap = false;
    gtk_widget_hide(pWidget);
    Notify(pToplevel, ToplevelChange::kHidden);
    return wasVisible;
  }
  if (cmdShow == SW_SHOWNOACTIVATE) {
    gtk_window_set_focus_on_map(pToplevel->pWindow, FALSE);
    gtk_widget_show(pWidget);
    gtk_window_set_focus_on_map(pToplevel->pWindow, TRUE);
  } else {
    gtk_widget_show(pWidget);
    gtk_window_deiconify(pToplevel->pWindow);
    if (cmdShow == SW_SHOWNORMAL) gtk_window_unmaximize(pToplevel->pWindow);
    Activate(pToplevel, true);
  }
  Notify(pToplevel, ToplevelChange::kShown);
  return wasVisible;
}

BOOL EnableOwn(Toplevel* pToplevel, bool enable) {
  const bool wasDisabled = !pToplevel->enabled;
  pToplevel->enabled = enable;
  Notify(pToplevel, enable ? ToplevelChange::kEnabled : ToplevelChange::kDisabled);
  return wasDisabled;
}

// --- Signals of a registered GtkWindow ---

// The window manager's close button: WM_CLOSE through the procedure chain decides.
gboolean OnDelete(GtkWidget*, GdkEvent*, gpointer data) {
  HWND hwnd = static_cast<HWND>(data);
  Toplevel* pToplevel = Find(hwnd);
  if (pToplevel && pToplevel->enabled) SendMessageW(hwnd, WM_CLOSE, 0, 0);
  return TRUE;
}

void OnDestroy(GtkWidget*, gpointer data) {
  HWND hwnd = static_cast<HWND>(data);
  Toplevel* pToplevel = Find(hwnd);
  if (!pToplevel) return;
  pToplevel->destroying = true;
  DestroyWindow(hwnd);  // WM_DESTROY, WM_NCDESTROY; TopLevelDestroyed erases the record
}

gboolean OnMap(GtkWidget*, GdkEvent*, gpointer data) {
  Toplevel* pToplevel = Find(static_cast<HWND>(data));
  if (pToplevel && pToplevel->activateOnMap) {
    pToplevel->activateOnMap = false;
    Activate(pToplevel, true);
  }
  return FALSE;
}

// --- Back-end entries: our windows, else another process's through the bridge ---

BOOL ShowWindowEntry(HWND hwnd, int cmdShow) {
  if (!OnGuiThread()) return Fail(ERROR_INVALID_THREAD_ID);
  if (Toplevel* pToplevel = Find(hwnd)) return ShowOwn(pToplevel, cmdShow);
  bool wasVisible = false;
  if (!IsViewableOrIconic(Xid(hwnd), &wasVisible)) return Fail(ERROR_INVALID_WINDOW_HANDLE);
  if (!SendBridgeMessage(Xid(hwnd), kOpShow, static_cast<uint32_t>(cmdShow), 0)) return FALSE;
  return wasVisible;
}

BOOL IsWindowVisibleEntry(HWND hwnd) {
  if (!OnGuiThread()) return FALSE;
  if (Toplevel* pToplevel = Find(hwnd))
    return gtk_widget_get_visible(GTK_WIDGET(pToplevel->pWindow));
  bool visible = false;
  return IsViewableOrIconic(Xid(hwnd), &visible) && visible;
}

BOOL EnableWindowEntry(HWND hwnd, BOOL enable) {
  if (!OnGuiThread()) return Fail(ERROR_INVALID_THREAD_ID);
  if (Toplevel* pToplevel = Find(hwnd)) return EnableOwn(pToplevel, enable != FALSE);
  if (!SendBridgeMessage(Xid(hwnd), kOpEnable, enable ? 1 : 0, 0)) return FALSE;
  return FALSE;  // its previous state is its own business
}

BOOL IsWindowEnabledEntry(HWND hwnd) {
  if (!OnGuiThread()) return FALSE;
  if (Toplevel* pToplevel = Find(hwnd)) return pToplevel->enabled;
  return WindowExists(Xid(hwnd));
}

BOOL GetWindowRectEntry(HWND hwnd, RECT* pRect) {
  if (!OnGuiThread()) return Fail(ERROR_INVALID_THREAD_ID);
  return ReadWindowRect(Xid(hwnd), pRect) ? TRUE : Fail(ERROR_INVALID_WINDOW_HANDLE);
}

BOOL SetWindowPosEntry(HWND hwnd, HWND insertAfter, int x, int y, int cx, int cy, UINT flags) {
  if (!OnGuiThread()) return Fail(ERROR_INVALID_THREAD_ID);
  Toplevel* pToplevel = Find(hwnd);
  if (!pToplevel)
    return Fail(WindowExists(Xid(hwnd)) ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE);
  GtkWindow* pWindow = pToplevel->pWindow;
  if (!(flags & SWP_NOMOVE)) gtk_window_move(pWindow, x, y);
  if (!(flags & SWP_NOSIZE)) gtk_window_resize(pWindow, std::max(cx, 1), std::max(cy, 1));
  if (!(flags & SWP_NOZORDER)) {
    if (insertAfter == HWND_TOPMOST) {
      gtk_window_set_keep_above(pWindow, TRUE);
    } else if (insertAfter == HWND_NOTOPMOST) {
      gtk_window_set_keep_above(pWindow, FALSE);
    }
    if (GdkWindow* pGdk = gtk_widget_get_window(GTK_WIDGET(pWindow))) {
      if (insertAfter == HWND_BOTTOM) {
        gdk_window_lower(pGdk);
      } else {
        gdk_window_raise(pGdk);
      }
    }
  }
  if (flags & SWP_SHOWWINDOW)
    ShowOwn(pToplevel, (flags & SWP_NOACTIVATE) ? SW_SHOWNOACTIVATE : SW_SHOW);
  if (flags & SWP_HIDEWINDOW) ShowOwn(pToplevel, SW_HIDE);
  return TRUE;
}

BOOL IsZoomedEntry(HWND hwnd) {
  if (!OnGuiThread()) return FALSE;
  if (Toplevel* pToplevel = Find(hwnd)) {
    GdkWindow* pGdk = gtk_widget_get_window(GTK_WIDGET(pToplevel->pWindow));
    return pGdk && (gdk_window_get_state(pGdk) & GDK_WINDOW_STATE_MAXIMIZED);
  }
  bool maximized = false;
  return IsMaximized(Xid(hwnd), &maximized) && maximized;
}

BOOL ActivateWindowEntry(HWND hwnd, bool raise) {
  if (!OnGuiThread()) return Fail(ERROR_INVALID_THREAD_ID);
  if (Toplevel* pToplevel = Find(hwnd)) {
    Activate(pToplevel, raise);
    return TRUE;
  }
  return SendBridgeMessage(Xid(hwnd), kOpActivate, raise ? 1 : 0, 0);
}

HWND GetForegroundWindowEntry() {
  if (!OnGuiThread()) return nullptr;
  return reinterpret_cast<HWND>(static_cast<uintptr_t>(ReadActiveWindow()));
}

HWND GetActiveWindowEntry() {
  if (!OnGuiThread()) return nullptr;
  for (auto& [hwnd, pToplevel] : g_toplevels) {
    if (pToplevel->active) return hwnd;
  }
  return nullptr;
}

BOOL RedrawWindowEntry(HWND hwnd) {
  if (!OnGuiThread()) return Fail(ERROR_INVALID_THREAD_ID);
  if (Toplevel* pToplevel = Find(hwnd)) {
    gtk_widget_queue_draw(GTK_WIDGET(pToplevel->pWindow));
    return TRUE;
  }
  // Another process paints its own windows; asking is harmless and answered yes.
  return TRUE;
}

void TopLevelDestroyedEntry(HWND hwnd) {
  auto it = g_toplevels.find(hwnd);
  if (it == g_toplevels.end()) return;
  std::unique_ptr<Toplevel> pToplevel = std::move(it->second);
  g_toplevels.erase(it);
  for (gulong handler : pToplevel->handlers) {
    if (handler) g_signal_handler_disconnect(pToplevel->pWindow, handler);
  }
  if (!pToplevel->destroying) gtk_widget_destroy(GTK_WIDGET(pToplevel->pWindow));
  g_object_unref(pToplevel->pWindow);
}

BOOL IsForeignWindowEntry(HWND hwnd) { return OnGuiThread() && WindowExists(Xid(hwnd)); }

DWORD ForeignProcessIdEntry(HWND hwnd) {
  DWORD pid = 0;
  return OnGuiThread() && ReadWindowPid(Xid(hwnd), &pid) ? pid : 0;
}

BOOL TrackMouseLeaveEntry(HWND hwnd) {
  if (!OnGuiThread()) return Fail(ERROR_INVALID_THREAD_ID);
  Toplevel* pToplevel = Find(hwnd);
  if (!pToplevel) return Fail(ERROR_INVALID_WINDOW_HANDLE);
  pToplevel->trackLeave = true;
  return TRUE;
}

BOOL BeginMoveDragEntry(HWND hwnd, int x, int y) {
  if (!OnGuiThread()) return Fail(ERROR_INVALID_THREAD_ID);
  Toplevel* pToplevel = Find(hwnd);
  if (!pToplevel) return Fail(ERROR_INVALID_WINDOW_HANDLE);
  if (!gtk_widget_get_mapped(GTK_WIDGET(pToplevel->pWindow))) return FALSE;
  gtk_window_begin_move_drag(pToplevel->pWindow, 1, x, y, pToplevel->lastButtonTime);
  return TRUE;
}

// GUI thread only.
std::vector<std::pair<MessageFilter, void*>> g_messageFilters;

// Left presses on our top-levels, as the Win32 loop's filters see them.
bool LeftPressFilter(GdkEvent* pEvent, void*) {
  if (pEvent->type != GDK_BUTTON_PRESS || pEvent->button.button != 1) return false;
  Toplevel* pToplevel = FindByGdkWindow(pEvent->any.window);
  if (!pToplevel) return false;
  constexpr WPARAM kLeftButton = 0x0001;  // MK_LBUTTON
  const auto x = static_cast<WORD>(static_cast<int>(pEvent->button.x_root));
  const auto y = static_cast<WORD>(static_cast<int>(pEvent->button.y_root));
  MSG msg{};
  msg.hwnd = pToplevel->hwnd;
  msg.message = WM_LBUTTONDOWN;
  msg.wParam = kLeftButton;
  msg.lParam = static_cast<LPARAM>(static_cast<DWORD>(y) << 16 | x);
  msg.time = pEvent->button.time;
  // A copy, newest first: a filter may add or remove filters.
  std::vector<std::pair<MessageFilter, void*>> filters(g_messageFilters.rbegin(),
                                                       g_messageFilters.rend());
  for (const auto& [filter, data] : filters) {
    if (filter(&msg, data)) return true;
  }
  return false;
}

void SendActivate(HWND hwnd, WORD state, ::Window other) {
  SendMessageW(hwnd, WM_ACTIVATE, state, static_cast<LPARAM>(other));
}

}  // namespace

void InstallToplevels(UiBackend* pBackend) {
  pBackend->showWindow = ShowWindowEntry;
  pBackend->isWindowVisible = IsWindowVisibleEntry;
  pBackend->enableWindow = EnableWindowEntry;
  pBackend->isWindowEnabled = IsWindowEnabledEntry;
  pBackend->getWindowRect = GetWindowRectEntry;
  pBackend->setWindowPos = SetWindowPosEntry;
  pBackend->isZoomed = IsZoomedEntry;
  pBackend->activateWindow = ActivateWindowEntry;
  pBackend->getForegroundWindow = GetForegroundWindowEntry;
  pBackend->getActiveWindow = GetActiveWindowEntry;
  pBackend->redrawWindow = RedrawWindowEntry;
  pBackend->topLevelDestroyed = TopLevelDestroyedEntry;
  pBackend->isForeignWindow = IsForeignWindowEntry;
  pBackend->getForeignWindowProcessId = ForeignProcessIdEntry;
  pBackend->postForeignMessage = PostForeign;
  pBackend->trackMouseLeave = TrackMouseLeaveEntry;
  pBackend->beginMoveDrag = BeginMoveDragEntry;
}

bool PerformRequest(HWND hwnd, uint32_t op, uint32_t wParam) {
  Toplevel* pToplevel = Find(hwnd);
  if (!pToplevel) return false;
  switch (op) {
    case kOpShow:
      ShowOwn(pToplevel, static_cast<int>(wParam));
      return true;
    case kOpEnable:
      EnableOwn(pToplevel, wParam != 0);
      return true;
    case kOpActivate:
      Activate(pToplevel, wParam != 0);
      return true;
    default:
      return false;
  }
}

namespace {

// Focus passes through "none" on its way from one window to the next; a deactivated window is
// told its successor only if that comes within this time.
constexpr guint kNoneSettleMs = 150;
guint g_noneTimer = 0;

void ApplyActiveWindow(::Window active, guint32 time);

gboolean SettleOnNone(gpointer) {
  g_noneTimer = 0;
  ApplyActiveWindow(ReadActiveWindow(), GDK_CURRENT_TIME);
  return G_SOURCE_REMOVE;
}

void ApplyActiveWindow(::Window active, guint32 time) {
  std::vector<HWND> hwnds;
  for (auto& [hwnd, pToplevel] : g_toplevels) hwnds.push_back(hwnd);
  // Procedures may destroy windows: look each one up again after every message.
  for (HWND hwnd : hwnds) {
    Toplevel* pToplevel = Find(hwnd);
    if (pToplevel && pToplevel->active && Xid(hwnd) != active) {
      pToplevel->active = false;
      SendActivate(hwnd, WA_INACTIVE, active);
    }
  }
  for (HWND hwnd : hwnds) {
    Toplevel* pToplevel = Find(hwnd);
    if (!pToplevel || pToplevel->active || Xid(hwnd) != active) continue;
    pToplevel->active = true;
    pToplevel->activatedAt = time;
    pToplevel->clickActivated = false;
    SendActivate(hwnd, WA_ACTIVE, 0);
    pToplevel = Find(hwnd);
    if (pToplevel && pToplevel->havePress &&
        Within(pToplevel->lastPress, time, kClickActivationMs)) {
      pToplevel->clickActivated = true;
      pToplevel->havePress = false;
      SendActivate(hwnd, WA_CLICKACTIVE, 0);
    }
  }
}

}  // namespace

void OnActiveWindowChanged(guint32 time) {
  const ::Window active = ReadActiveWindow();
  if (active == 0) {
    if (!g_noneTimer) g_noneTimer = g_timeout_add(kNoneSettleMs, SettleOnNone, nullptr);
    return;
  }
  if (g_noneTimer) {
    g_source_remove(g_noneTimer);
    g_noneTimer = 0;
  }
  ApplyActiveWindow(active, time);
}

bool ToplevelSeesEvent(GdkEvent* pEvent) {
  Toplevel* pToplevel = FindByGdkWindow(pEvent->any.window);
  if (!pToplevel) return false;
  switch (pEvent->type) {
    case GDK_BUTTON_PRESS: {
      if (!pToplevel->enabled) return true;
      const guint32 time = pEvent->button.time;
      pToplevel->lastButtonTime = time;
      if (pToplevel->active && !pToplevel->clickActivated &&
          Within(time, pToplevel->activatedAt, kClickActivationMs)) {
        pToplevel->clickActivated = true;
        SendActivate(pToplevel->hwnd, WA_CLICKACTIVE, 0);
      } else {
        pToplevel->havePress = true;
        pToplevel->lastPress = time;
      }
      return false;
    }
    case GDK_LEAVE_NOTIFY:
      if (pToplevel->trackLeave && pEvent->crossing.detail != GDK_NOTIFY_INFERIOR &&
          pEvent->crossing.window == gtk_widget_get_window(GTK_WIDGET(pToplevel->pWindow))) {
        pToplevel->trackLeave = false;
        PostMessageW(pToplevel->hwnd, WM_MOUSELEAVE, 0, 0);
      }
      return false;
    case GDK_2BUTTON_PRESS:
    case GDK_3BUTTON_PRESS:
    case GDK_BUTTON_RELEASE:
    case GDK_MOTION_NOTIFY:
    case GDK_KEY_PRESS:
    case GDK_KEY_RELEASE:
    case GDK_SCROLL:
    case GDK_TOUCH_BEGIN:
    case GDK_TOUCH_UPDATE:
    case GDK_TOUCH_END:
    case GDK_DELETE:
      return !pToplevel->enabled;
    default:
      return false;
  }
}

}  // namespace gui

HWND RegisterToplevel(GtkWindow* pWindow, WNDPROC defaultProc, ToplevelStateCallback callback) {
  if (!gui::OnGuiThread() || !pWindow || !defaultProc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  gtk_widget_realize(GTK_WIDGET(pWindow));
  GdkWindow* pGdk = gtk_widget_get_window(GTK_WIDGET(pWindow));
  if (!pGdk) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  HWND hwnd = RegisterTopLevelWindow(static_cast<DWORD>(gdk_x11_window_get_xid(pGdk)), defaultProc);
  if (!hwnd) return nullptr;
  auto pToplevel = std::make_unique<gui::Toplevel>();
  pToplevel->pWindow = GTK_WINDOW(g_object_ref(pWindow));
  pToplevel->hwnd = hwnd;
  pToplevel->callback = callback;
  pToplevel->handlers[0] =
      g_signal_connect(pWindow, "delete-event", G_CALLBACK(gui::OnDelete), hwnd);
  pToplevel->handlers[1] = g_signal_connect(pWindow, "destroy", G_CALLBACK(gui::OnDestroy), hwnd);
  pToplevel->handlers[2] = g_signal_connect(pWindow, "map-event", G_CALLBACK(gui::OnMap), hwnd);
  gtk_widget_add_events(GTK_WIDGET(pWindow),
                        GDK_BUTTON_PRESS_MASK | GDK_LEAVE_NOTIFY_MASK | GDK_STRUCTURE_MASK);
  gui::g_toplevels[hwnd] = std::move(pToplevel);
  return hwnd;
}

GtkWindow* ToplevelWindow(HWND hwnd) {
  gui::Toplevel* pToplevel = gui::Find(hwnd);
  return pToplevel ? pToplevel->pWindow : nullptr;
}

void AddMessageFilter(MessageFilter filter, void* data) {
  if (gui::g_messageFilters.empty()) AddPreTranslateFilter(gui::LeftPressFilter, nullptr);
  gui::g_messageFilters.emplace_back(filter, data);
}

void RemoveMessageFilter(MessageFilter filter, void* data) {
  auto& filters = gui::g_messageFilters;
  auto it = std::find(filters.begin(), filters.end(), std::make_pair(filter, data));
  if (it == filters.end()) return;
  filters.erase(it);
  if (filters.empty()) RemovePreTranslateFilter(gui::LeftPressFilter, nullptr);
}

}  // namespace win32
