// Start-up of the GUI half: GTK on X11, the back-end table, the process's GDK event handler
// with its pre-translate filters, and the X event filter for the message bridge and the active
// window.

#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <clocale>
#include <utility>
#include <vector>

#include "gui_internal.h"
#include "win32/gui.h"
#include "win32/thread.h"
#include "win32/toplevel.h"

namespace win32 {
namespace gui {
namespace {

// Set once by InitializeGui, then constant.
Atoms g_atoms{};
GdkDisplay* g_pDisplay = nullptr;
DWORD g_guiThread = 0;
UiBackend g_backend{};

// GUI thread only.
std::vector<std::pair<PreTranslateFilter, void*>> g_filters;

void HandleEvent(GdkEvent* pEvent, gpointer) {
  // A copy: a filter may add or remove filters.
  std::vector<std::pair<PreTranslateFilter, void*>> filters(g_filters.rbegin(), g_filters.rend());
  for (const auto& [filter, data] : filters) {
    if (filter(pEvent, data)) return;
  }
  if (ToplevelSeesEvent(pEvent)) return;
  gtk_main_do_event(pEvent);
}

// Root property changes (the active window) and our messages; everything else passes on.
GdkFilterReturn XFilter(GdkXEvent* pXEvent, GdkEvent* pEvent, gpointer data) {
  auto* pX = static_cast<XEvent*>(pXEvent);
  if (pX->type == PropertyNotify && pX->xproperty.window == RootXid() &&
      pX->xproperty.atom == g_atoms.netActiveWindow) {
    OnActiveWindowChanged(static_cast<guint32>(pX->xproperty.time));
    return GDK_FILTER_CONTINUE;
  }
  return BridgeFilter(pXEvent, pEvent, data);
}

Atom Intern(const char* name) { return gdk_x11_get_xatom_by_name_for_display(g_pDisplay, name); }

}  // namespace

const Atoms& GetAtoms() { return g_atoms; }
GdkDisplay* Display() { return g_pDisplay; }
::Display* XDisplay() { return GDK_DISPLAY_XDISPLAY(g_pDisplay); }
::Window RootXid() { return GDK_ROOT_WINDOW(); }
bool OnGuiThread() { return g_guiThread != 0 && GetCurrentThreadId() == g_guiThread; }

GtkWindow* DialogParent(HWND owner) {
  if (GtkWindow* pWindow = ToplevelWindow(owner)) return pWindow;
  return ToplevelWindow(GetActiveWindow());
}

}  // namespace gui

bool InitializeGui(int* argc, char*** argv) {
  if (gui::g_pDisplay) return true;
  // The bridge, the window ids and the tray are X11's.
  gdk_set_allowed_backends("x11");
  if (!gtk_init_check(argc, argv)) return false;
  // GTK took the environment's locale; numbers keep the C runtime's form ("5.00", never
  // "5,00"), as the programs' formatted texts expect.
  setlocale(LC_NUMERIC, "C");
  gui::g_pDisplay = gdk_display_get_default();
  if (!gui::g_pDisplay || !GDK_IS_X11_DISPLAY(gui::g_pDisplay)) return false;
  gui::g_guiThread = GetCurrentThreadId();
  gui::g_atoms.message = gui::Intern("_LUMIDOCK_W32_MSG");
  gui::g_atoms.netActiveWindow = gui::Intern("_NET_ACTIVE_WINDOW");
  gui::g_atoms.netWmPid = gui::Intern("_NET_WM_PID");
  gui::g_atoms.wmState = gui::Intern("WM_STATE");
  gui::g_atoms.netWmState = gui::Intern("_NET_WM_STATE");
  gui::g_atoms.maximizedVert = gui::Intern("_NET_WM_STATE_MAXIMIZED_VERT");
  gui::g_atoms.maximizedHorz = gui::Intern("_NET_WM_STATE_MAXIMIZED_HORZ");

  // The active window is read from the root when it changes (it lags behind focus events).
  GdkWindow* pRoot = gdk_get_default_root_window();
  gdk_window_set_events(
      pRoot, static_cast<GdkEventMask>(gdk_window_get_events(pRoot) | GDK_PROPERTY_CHANGE_MASK));
  gdk_window_add_filter(nullptr, gui::XFilter, nullptr);
  gdk_event_handler_set(gui::HandleEvent, nullptr, nullptr);

  gui::InstallToplevels(&gui::g_backend);
  gui::InstallTray(&gui::g_backend);
  gui::InstallDialogs(&gui::g_backend);
  gui::InstallScreen(&gui::g_backend);
  SetUiBackend(&gui::g_backend);
  AttachMessagePump(g_main_context_default());
  return true;
}

void AddPreTranslateFilter(PreTranslateFilter filter, void* data) {
  gui::g_filters.emplace_back(filter, data);
}

void RemovePreTranslateFilter(PreTranslateFilter filter, void* data) {
  auto it = std::find(gui::g_filters.begin(), gui::g_filters.end(), std::make_pair(filter, data));
  if (it != gui::g_filters.end()) gui::g_filters.erase(it);
}

}  // namespace win32
