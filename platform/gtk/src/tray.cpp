// Notification-area icons on GtkStatusIcon (the XEmbed tray; deprecated in GTK 3 but present,
// and the only tray that reports raw presses). Windows' click meaning is worked out here from
// raw presses: GDK's own double-click events come in another order than Windows' messages.

#define GDK_DISABLE_DEPRECATION_WARNINGS
#include <gtk/gtk.h>

#include <map>
#include <memory>
#include <utility>

#include "gui_internal.h"
#include "win32/shellui.h"
#include "win32/strings.h"
#include "win32/toplevel.h"

namespace win32::gui {
namespace {

// How long an icon may wait for a notification area before we say so (once per process).
constexpr guint kEmbedWaitMs = 2000;

// One icon.
// Lifetime: from NIM_ADD to NIM_DELETE; the map owns it. Signal handlers get the key, never the
// object, and look it up again.
struct TrayIcon {
  GtkStatusIcon* pIcon = nullptr;  // one reference, ours
  UINT callbackMessage = 0;
  TrayClickRule rule;
  guint embedTimer = 0;
  bool sized = false;  // the notification area gave it a size; geometry is real from then on
};

using Key = std::pair<HWND, UINT>;
std::map<Key, std::unique_ptr<TrayIcon>> g_icons;
bool g_saidNoTray = false;
GdkEvent* g_pLastPress = nullptr;  // ours; replaced by each press

TrayIcon* Find(const Key& key) {
  auto it = g_icons.find(key);
  return it == g_icons.end() ? nullptr : it->second.get();
}

Key* KeyFor(HWND hwnd, UINT id) { return new Key(hwnd, id); }

void DeleteKey(gpointer pKey, GClosure*) { delete static_cast<Key*>(pKey); }

gboolean OnButton(GtkStatusIcon*, GdkEventButton* pEvent, gpointer data) {
  const Key key = *static_cast<Key*>(data);
  TrayIcon* pTray = Find(key);
  // Only raw presses and releases; GDK's 2- and 3-press events would repeat what the rule sees.
  if (!pTray || (pEvent->type != GDK_BUTTON_PRESS && pEvent->type != GDK_BUTTON_RELEASE)) {
    return TRUE;
  }
  if (pEvent->type == GDK_BUTTON_PRESS) {
    if (g_pLastPress) gdk_event_free(g_pLastPress);
    g_pLastPress = gdk_event_copy(reinterpret_cast<GdkEvent*>(pEvent));
  }
  UINT mouseMessage = pTray->rule.OnButton(
      static_cast<int>(pEvent->button), pEvent->type == GDK_BUTTON_PRESS, pEvent->time,
      static_cast<int>(pEvent->x_root), static_cast<int>(pEvent->y_root));
  if (mouseMessage && pTray->callbackMessage) {
    PostMessageW(key.first, pTray->callbackMessage, key.second, mouseMessage);
  }
  return TRUE;
}

gboolean OnSizeChanged(GtkStatusIcon*, gint, gpointer data) {
  if (TrayIcon* pTray = Find(*static_cast<Key*>(data))) pTray->sized = true;
  return FALSE;
}

gboolean CheckEmbedded(gpointer data) {
  TrayIcon* pTray = Find(*static_cast<Key*>(data));
  if (!pTray) return G_SOURCE_REMOVE;
  pTray->embedTimer = 0;
  if (!gtk_status_icon_is_embedded(pTray->pIcon) && !g_saidNoTray) {
    g_saidNoTray = true;
    LayerLog("tray: no notification area yet; the icon appears when one starts");
  }
  return G_SOURCE_REMOVE;
}

GdkPixbuf* BlankIcon() {
  GdkPixbuf* pPixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, 16, 16);
  gdk_pixbuf_fill(pPixbuf, 0);
  return pPixbuf;
}

void Apply(TrayIcon* pTray, const TrayIconRequest& request) {
  if (request.flags & NIF_MESSAGE) pTray->callbackMessage = request.callbackMessage;
  if (request.flags & NIF_ICON) {
    if (request.pIconImage) {
      gtk_status_icon_set_from_pixbuf(pTray->pIcon, static_cast<GdkPixbuf*>(request.pIconImage));
    } else {
      GdkPixbuf* pBlank = BlankIcon();
      gtk_status_icon_set_from_pixbuf(pTray->pIcon, pBlank);
      g_object_unref(pBlank);
    }
  }
  if (request.flags & NIF_TIP) {
    gtk_status_icon_set_tooltip_text(pTray->pIcon, Utf16ToUtf8(request.tip).c_str());
  }
}

BOOL NotifyIconEntry(DWORD message, const TrayIconRequest& request) {
  if (!OnGuiThread()) return Fail(ERROR_INVALID_THREAD_ID);
  const Key key(request.hwnd, request.id);
  TrayIcon* pTray = Find(key);
  switch (message) {
    case NIM_ADD: {
      if (pTray || !IsWindow(request.hwnd)) return Fail(ERROR_INVALID_PARAMETER);
      auto pNew = std::make_unique<TrayIcon>();
      pNew->pIcon = gtk_status_icon_new();
      if (!(request.flags & NIF_ICON))
        Apply(pNew.get(), TrayIconRequest{{}, {}, NIF_ICON, {}, {}, {}});
      Apply(pNew.get(), request);
      g_signal_connect_data(pNew->pIcon, "button-press-event", G_CALLBACK(OnButton),
                            KeyFor(key.first, key.second), DeleteKey, GConnectFlags(0));
      g_signal_connect_data(pNew->pIcon, "button-release-event", G_CALLBACK(OnButton),
                            KeyFor(key.first, key.second), DeleteKey, GConnectFlags(0));
      g_signal_connect_data(pNew->pIcon, "size-changed", G_CALLBACK(OnSizeChanged),
                            KeyFor(key.first, key.second), DeleteKey, GConnectFlags(0));
      // Without a notification area the icon waits for one; adding it still succeeds.
      Key* pTimerKey = KeyFor(key.first, key.second);
      pNew->embedTimer =
          g_timeout_add_full(G_PRIORITY_DEFAULT, kEmbedWaitMs, CheckEmbedded, pTimerKey,
                             [](gpointer p) { delete static_cast<Key*>(p); });
      gtk_status_icon_set_visible(pNew->pIcon, TRUE);
      g_icons[key] = std::move(pNew);
      return TRUE;
    }
    case NIM_MODIFY:
      if (!pTray) return Fail(ERROR_INVALID_PARAMETER);
      Apply(pTray, request);
      return TRUE;
    case NIM_DELETE: {
      if (!pTray) return Fail(ERROR_INVALID_PARAMETER);
      if (pTray->embedTimer) g_source_remove(pTray->embedTimer);
      gtk_status_icon_set_visible(pTray->pIcon, FALSE);
      g_object_unref(pTray->pIcon);
      g_icons.erase(key);
      return TRUE;
    }
    default:
      return Fail(ERROR_INVALID_PARAMETER);
  }
}

void* LoadIconImageEntry(const std::string& posixPath, int cx, int cy) {
  GError* pError = nullptr;
  GdkPixbuf* pPixbuf = gdk_pixbuf_new_from_file_at_size(posixPath.c_str(), cx > 0 ? cx : -1,
                                                        cy > 0 ? cy : -1, &pError);
  if (pError) g_error_free(pError);
  return pPixbuf;
}

void FreeIconImageEntry(void* pImage) { g_object_unref(static_cast<GdkPixbuf*>(pImage)); }

}  // namespace

void InstallTray(UiBackend* pBackend) {
  pBackend->notifyIcon = NotifyIconEntry;
  pBackend->loadIconImage = LoadIconImageEntry;
  pBackend->freeIconImage = FreeIconImageEntry;
}

}  // namespace win32::gui

namespace win32 {

GdkEvent* CopyTrayPressEvent() {
  return gui::g_pLastPress ? gdk_event_copy(gui::g_pLastPress) : nullptr;
}

bool GetTrayIconGeometryForTesting(HWND hwnd, UINT id, GdkRectangle* pArea) {
  gui::TrayIcon* pTray = nullptr;
  if (hwnd) {
    pTray = gui::Find(gui::Key(hwnd, id));
  } else if (!gui::g_icons.empty()) {
    pTray = gui::g_icons.begin()->second.get();
  }
  if (!pTray || !pTray->sized || !gtk_status_icon_is_embedded(pTray->pIcon)) return false;
  GtkOrientation orientation;
  GdkScreen* pScreen = nullptr;
  return gtk_status_icon_get_geometry(pTray->pIcon, &pScreen, pArea, &orientation) &&
         pArea->width > 1;
}

}  // namespace win32
