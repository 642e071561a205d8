// The screen, the pointer, and the desktop's default handler for URIs.

#include <gio/gio.h>
#include <gtk/gtk.h>

#include "gui_internal.h"
#include "win32/toplevel.h"

namespace win32::gui {
namespace {

GdkMonitor* PrimaryMonitor() {
  GdkMonitor* pMonitor = gdk_display_get_primary_monitor(Display());
  return pMonitor ? pMonitor : gdk_display_get_monitor(Display(), 0);
}

int SystemMetricsEntry(int index) {
  GdkMonitor* pMonitor = OnGuiThread() ? PrimaryMonitor() : nullptr;
  if (!pMonitor) return 0;
  GdkRectangle area;
  gdk_monitor_get_geometry(pMonitor, &area);
  switch (index) {
    case SM_CXSCREEN:
      return area.width;
    case SM_CYSCREEN:
      return area.height;
    default:
      return 0;
  }
}

// The monitor less what docks and panels reserve (the window manager's _NET_WORKAREA).
BOOL WorkAreaEntry(RECT* pRect) {
  GdkMonitor* pMonitor = OnGuiThread() ? PrimaryMonitor() : nullptr;
  if (!pMonitor) return Fail(ERROR_INVALID_THREAD_ID);
  GdkRectangle area;
  gdk_monitor_get_workarea(pMonitor, &area);
  *pRect = RECT{area.x, area.y, area.x + area.width, area.y + area.height};
  return TRUE;
}

BOOL CursorPosEntry(POINT* pPoint) {
  if (!OnGuiThread()) return Fail(ERROR_INVALID_THREAD_ID);
  GdkDevice* pPointer = gdk_seat_get_pointer(gdk_display_get_default_seat(Display()));
  gint x = 0, y = 0;
  gdk_device_get_position(pPointer, nullptr, &x, &y);
  *pPoint = POINT{x, y};
  return TRUE;
}

// GIO without a launch context touches no GDK, so any thread may ask.
bool OpenUriEntry(const std::string& uri) {
  GError* pError = nullptr;
  gboolean launched = g_app_info_launch_default_for_uri(uri.c_str(), nullptr, &pError);
  if (pError) {
    LayerLog("shell: no handler opened %s: %s", uri.c_str(), pError->message);
    g_error_free(pError);
  }
  return launched;
}

}  // namespace

void InstallScreen(UiBackend* pBackend) {
  pBackend->getSystemMetrics = SystemMetricsEntry;
  pBackend->getWorkArea = WorkAreaEntry;
  pBackend->getCursorPos = CursorPosEntry;
  pBackend->openUri = OpenUriEntry;
}

}  // namespace win32::gui
