#include "CGtkTopLevel.h"

#include <gdk/gdkx.h>

#include <algorithm>
#include <cstdio>
#include <utility>

#include "CEditElement.h"
#include "CLqPainter.h"
#include "CScrollElement.h"
#include "win32/gui.h"
#include "win32/strings.h"
#include "win32/toplevel.h"

using namespace win32;

namespace lq {

namespace {

constexpr INT kShowMinimized = 6;

// Every ancestor enabled (what the element's own state allows; a blocked window is the filter's
// business).
bool EnabledInTree(CElement* pElement) {
  for (CElement* p = pElement; p; p = p->Parent()) {
    if (!p->EnabledFlag()) return false;
  }
  return true;
}

// Shown as far as the window's own tree says; the window's state is its GtkWindow's.
bool ShownBelowWindow(CElement* pElement) {
  for (CElement* p = pElement; p && p->Parent(); p = p->Parent()) {
    if (p->HiddenFlag()) return false;
  }
  return true;
}

LONG Width(const RECT& rect) { return std::max<LONG>(1, rect.right - rect.left); }
LONG Height(const RECT& rect) { return std::max<LONG>(1, rect.bottom - rect.top); }

GdkCursor* HandCursor() {
  static GdkCursor* pCursor = gdk_cursor_new_from_name(gdk_display_get_default(), "pointer");
  return pCursor;
}

// An entry that draws nothing but its text: the painter draws the edit's box beneath it.
std::string EntryCss(const Look& look, int padding) {
  char css[320];
  std::snprintf(css, sizeof css,
                "entry { font: %dpx Sans; padding: 0 %dpx; margin: 0; min-height: 0; "
                "min-width: 0; border: none; border-radius: 0; box-shadow: none; "
                "background: #FFFFFF; color: #%06X; }",
                static_cast<int>(look.fontSize), std::max(0, padding - 1),
                static_cast<unsigned>(look.textColor & 0xFFFFFF));
  return css;
}

}  // namespace

CGtkTopLevel::CGtkTopLevel(CWindowElement* pWindow, bool popup)
    : m_pWindow(pWindow), m_popup(popup) {}

std::unique_ptr<CGtkTopLevel> CGtkTopLevel::Create(CWindowElement* pWindow, bool popup,
                                                   const std::u16string& nativeName,
                                                   ToplevelStateCallback onStateChange) {
  std::unique_ptr<CGtkTopLevel> pTop(new CGtkTopLevel(pWindow, popup));
  pTop->Build(nativeName);
  pTop->m_hwnd =
      RegisterToplevel(pTop->m_pGtkWindow, &CWindowElement::WindowProcedure, onStateChange);
  if (!pTop->m_hwnd) return nullptr;
  pWindow->AttachHandle(pTop->m_hwnd);
  return pTop;
}

void CGtkTopLevel::Build(const std::u16string& nativeName) {
  GtkWidget* pWindow = gtk_window_new(m_popup ? GTK_WINDOW_POPUP : GTK_WINDOW_TOPLEVEL);
  m_pGtkWindow = GTK_WINDOW(g_object_ref(pWindow));
  gtk_window_set_decorated(m_pGtkWindow, FALSE);
  gtk_window_set_resizable(m_pGtkWindow, FALSE);
  if (m_popup) {
    gtk_window_set_accept_focus(m_pGtkWindow, FALSE);
    gtk_window_set_focus_on_map(m_pGtkWindow, FALSE);
  }
  m_pFixed = GTK_WIDGET(g_object_ref(gtk_fixed_new()));
  m_pArea = GTK_WIDGET(g_object_ref(gtk_drawing_area_new()));
  gtk_widget_add_events(m_pArea, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK |
                                     GDK_POINTER_MOTION_MASK | GDK_ENTER_NOTIFY_MASK |
                                     GDK_LEAVE_NOTIFY_MASK);
  gtk_fixed_put(GTK_FIXED(m_pFixed), m_pArea, 0, 0);
  gtk_container_add(GTK_CONTAINER(pWindow), m_pFixed);
  gtk_widget_show(m_pArea);
  gtk_widget_show(m_pFixed);
  g_signal_connect(m_pArea, "draw", G_CALLBACK(OnDraw), this);
  g_signal_connect(m_pArea, "button-press-event", G_CALLBACK(OnButtonPress), this);
  g_signal_connect(m_pArea, "button-release-event", G_CALLBACK(OnButtonRelease), this);
  g_signal_connect(pWindow, "configure-event", G_CALLBACK(OnConfigure), this);
  Changed();
  // Tests and the desktop find windows by class: the frame's (or given) name, set before the
  // window manager sees the window.
  gtk_widget_realize(pWindow);
  std::string name = Utf16ToUtf8(nativeName);
  XClassHint hint{name.data(), name.data()};
  GdkWindow* pGdk = gtk_widget_get_window(pWindow);
  XSetClassHint(GDK_WINDOW_XDISPLAY(pGdk), GDK_WINDOW_XID(pGdk), &hint);
}

CGtkTopLevel::~CGtkTopLevel() {
  if (m_syncSource) g_source_remove(m_syncSource);
  while (!m_edits.empty()) DropEdit(m_edits.begin());
  while (!m_scrolls.empty()) DropScroll(m_scrolls.begin());
  for (GtkWidget* pWidget : {GTK_WIDGET(m_pGtkWindow), m_pFixed, m_pArea}) {
    g_signal_handlers_disconnect_by_data(pWidget, this);
  }
  // Still there when the element went without its native window, or registration failed.
  if (m_hwnd && ToplevelWindow(m_hwnd)) {
    DestroyWindow(m_hwnd);
  } else if (!m_hwnd) {
    gtk_widget_destroy(GTK_WIDGET(m_pGtkWindow));
  }
  g_object_unref(m_pArea);
  g_object_unref(m_pFixed);
  g_object_unref(m_pGtkWindow);
}

GdkWindow* CGtkTopLevel::NativeGdkWindow() const {
  return gtk_widget_get_window(GTK_WIDGET(m_pGtkWindow));
}

void CGtkTopLevel::Show(int showCode) {
  if (showCode == 0) {
    ShowWindow(m_hwnd, SW_HIDE);
    return;
  }
  SyncNow();
  if (showCode == kShowMinimized) {
    gtk_window_iconify(m_pGtkWindow);
    return;
  }
  int code = showCode == SW_SHOWNORMAL ? SW_SHOWNORMAL : SW_SHOW;
  if (m_popup || showCode == SW_SHOWNOACTIVATE) code = SW_SHOWNOACTIVATE;
  ShowWindow(m_hwnd, code);
}

bool CGtkTopLevel::IsShown() const { return IsWindowVisible(m_hwnd) != FALSE; }

void CGtkTopLevel::Changed() {
  const RECT& rect = m_pWindow->Rect();
  gtk_window_set_title(m_pGtkWindow, Utf16ToUtf8(m_pWindow->Title()).c_str());
  gtk_widget_set_size_request(m_pArea, Width(rect), Height(rect));
  gtk_widget_set_size_request(m_pFixed, Width(rect), Height(rect));
  gtk_window_resize(m_pGtkWindow, Width(rect), Height(rect));
  if (m_placedAt.x != rect.left || m_placedAt.y != rect.top) {
    m_placedAt = POINT{rect.left, rect.top};
    m_moveRequested = true;
    gtk_window_move(m_pGtkWindow, rect.left, rect.top);
  }
  gtk_widget_set_opacity(GTK_WIDGET(m_pGtkWindow), m_pWindow->OpacityValue() / 255.0);
  if (m_hwnd && (IsWindowEnabled(m_hwnd) != FALSE) != m_pWindow->EnabledFlag()) {
    EnableWindow(m_hwnd, m_pWindow->EnabledFlag() ? TRUE : FALSE);
  }
  if (m_pWindow->IsInputBlocked()) {
    m_pPressed = nullptr;
    ClearHover();
  }
  Invalidate();
}

void CGtkTopLevel::Invalidate(CElement* pElement) {
  // A scroll the program made counts from now on: the wheel's next step starts from there.
  if (pElement && pElement->Kind() == ElementKind::kScroll) {
    for (auto& pScroll : m_scrolls) {
      if (pScroll->pElement == pElement) ApplyScrollPosition(pScroll.get());
    }
  }
  if (m_syncSource) return;
  // Ahead of GTK's layout and drawing, so a frame never shows widgets in their old places.
  m_syncSource = g_idle_add_full(G_PRIORITY_HIGH_IDLE, OnSyncIdle, this, nullptr);
}

void CGtkTopLevel::NativeStateChanged() {
  m_pWindow->FollowNativeState(IsShown(), IsWindowEnabled(m_hwnd) != FALSE);
  if (!IsShown()) ClearHover();
  Invalidate();
}

void CGtkTopLevel::SetTransientFor(CGtkTopLevel* pOwner) {
  gtk_window_set_transient_for(m_pGtkWindow, pOwner ? pOwner->m_pGtkWindow : nullptr);
}

void CGtkTopLevel::ElementGone(CElement* pElement) {
  if (m_pPressed == pElement) m_pPressed = nullptr;
  std::erase(m_hover, pElement);
  if (pElement->Kind() == ElementKind::kEdit) {
    auto it = std::find_if(m_edits.begin(), m_edits.end(),
                           [pElement](const auto& pEdit) { return pEdit->pElement == pElement; });
    if (it != m_edits.end()) DropEdit(it);
  } else if (pElement->Kind() == ElementKind::kScroll) {
    auto it = std::find_if(m_scrolls.begin(), m_scrolls.end(), [pElement](const auto& pScroll) {
      return pScroll->pElement == pElement;
    });
    if (it != m_scrolls.end()) DropScroll(it);
  }
}

// --- Widgets ---

gboolean CGtkTopLevel::OnSyncIdle(gpointer data) {
  auto* pThis = static_cast<CGtkTopLevel*>(data);
  pThis->m_syncSource = 0;
  pThis->SyncNow();
  return G_SOURCE_REMOVE;
}

void CGtkTopLevel::SyncNow() {
  if (m_syncSource) {
    g_source_remove(m_syncSource);
    m_syncSource = 0;
  }
  if (m_pWindow->IsDestroyed()) return;
  SyncTree(m_pWindow);
  gtk_widget_queue_draw(m_pArea);
  for (auto& pScroll : m_scrolls) gtk_widget_queue_draw(pScroll->pArea);
}

void CGtkTopLevel::SyncTree(CElement* pElement) {
  for (CElement* pChild : pElement->Children()) {
    if (pChild->Kind() == ElementKind::kEdit) {
      SyncEdit(static_cast<CEditElement*>(pChild));
    } else if (pChild->Kind() == ElementKind::kScroll) {
      // Its content is painted, never given widgets of its own.
      SyncScroll(static_cast<CScrollElement*>(pChild));
    } else {
      SyncTree(pChild);
    }
  }
}

void CGtkTopLevel::SyncEdit(CEditElement* pElement) {
  auto it = std::find_if(m_edits.begin(), m_edits.end(),
                         [pElement](const auto& pEdit) { return pEdit->pElement == pElement; });
  Edit* pEdit = it == m_edits.end() ? nullptr : it->get();
  if (!pEdit) {
    auto pNew = std::make_unique<Edit>(Edit{this, pElement, nullptr, false});
    pNew->pEntry = GTK_WIDGET(g_object_ref(gtk_entry_new()));
    gtk_entry_set_has_frame(GTK_ENTRY(pNew->pEntry), FALSE);
    gtk_entry_set_width_chars(GTK_ENTRY(pNew->pEntry), 0);
    INT values[4];
    int padding = pElement->SettingValue(LqSetting::kEditPadding, values) ? values[0] : 6;
    GtkCssProvider* pCss = gtk_css_provider_new();
    gtk_css_provider_load_from_data(pCss, EntryCss(pElement->GetLook(), padding).c_str(), -1,
                                    nullptr);
    gtk_style_context_add_provider(gtk_widget_get_style_context(pNew->pEntry),
                                   GTK_STYLE_PROVIDER(pCss),
                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(pCss);
    gtk_fixed_put(GTK_FIXED(m_pFixed), pNew->pEntry, 0, 0);
    g_signal_connect(pNew->pEntry, "changed", G_CALLBACK(OnEntryChanged), pNew.get());
    pEdit = pNew.get();
    m_edits.push_back(std::move(pNew));
  }
  GtkWidget* pEntry = pEdit->pEntry;
  POINT at = pElement->OffsetInTopLevel();
  const RECT& rect = pElement->Rect();
  // Inside the painted border.
  gtk_fixed_move(GTK_FIXED(m_pFixed), pEntry, at.x + 1, at.y + 1);
  gtk_widget_set_size_request(pEntry, std::max<LONG>(1, Width(rect) - 2),
                              std::max<LONG>(1, Height(rect) - 2));
  gtk_entry_set_max_length(GTK_ENTRY(pEntry),
                           static_cast<gint>(std::min<UINT>(pElement->MaxLength(), 65535)));
  gtk_widget_set_sensitive(pEntry, EnabledInTree(pElement));
  std::string text = Utf16ToUtf8(pElement->TextValue());
  if (text != gtk_entry_get_text(GTK_ENTRY(pEntry))) {
    pEdit->settingText = true;
    gtk_entry_set_text(GTK_ENTRY(pEntry), text.c_str());
    pEdit->settingText = false;
  }
  gtk_widget_set_visible(pEntry, ShownBelowWindow(pElement));
}

void CGtkTopLevel::OnEntryChanged(GtkEditable* pEditable, gpointer data) {
  auto* pEdit = static_cast<Edit*>(data);
  if (pEdit->settingText) return;
  CEditElement* pElement = pEdit->pElement;
  std::u16string typed = Utf8ToUtf16(gtk_entry_get_text(GTK_ENTRY(pEditable)));
  pElement->AddRef();
  pElement->UserSetText(typed);
  // What the model kept (cut to its length, or refused) is what the entry shows.
  if (!pElement->IsDestroyed() && pElement->TextValue() != typed) pEdit->pOwner->Invalidate();
  pElement->Release();
}

void CGtkTopLevel::DropEdit(std::vector<std::unique_ptr<Edit>>::iterator it) {
  std::unique_ptr<Edit> pEdit = std::move(*it);
  m_edits.erase(it);
  g_signal_handlers_disconnect_by_data(pEdit->pEntry, pEdit.get());
  gtk_widget_destroy(pEdit->pEntry);
  g_object_unref(pEdit->pEntry);
}

void CGtkTopLevel::SyncScroll(CScrollElement* pElement) {
  auto it = std::find_if(m_scrolls.begin(), m_scrolls.end(),
                         [pElement](const auto& pScroll) { return pScroll->pElement == pElement; });
  Scroll* pScroll = it == m_scrolls.end() ? nullptr : it->get();
  if (!pScroll) {
    auto pNew = std::make_unique<Scroll>(Scroll{this, pElement, nullptr, nullptr, {}, false});
    pNew->pScrolled = GTK_WIDGET(g_object_ref(gtk_scrolled_window_new(nullptr, nullptr)));
    pNew->pArea = GTK_WIDGET(g_object_ref(gtk_drawing_area_new()));
    gtk_widget_add_events(pNew->pArea, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK |
                                           GDK_POINTER_MOTION_MASK | GDK_ENTER_NOTIFY_MASK |
                                           GDK_LEAVE_NOTIFY_MASK);
    gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(pNew->pScrolled), GTK_SHADOW_NONE);
    gtk_container_add(GTK_CONTAINER(pNew->pScrolled), pNew->pArea);
    gtk_widget_show(pNew->pArea);
    gtk_fixed_put(GTK_FIXED(m_pFixed), pNew->pScrolled, 0, 0);
    GtkScrolledWindow* pScrolled = GTK_SCROLLED_WINDOW(pNew->pScrolled);
    pNew->pAdjustments[0] =
        GTK_ADJUSTMENT(g_object_ref(gtk_scrolled_window_get_hadjustment(pScrolled)));
    pNew->pAdjustments[1] =
        GTK_ADJUSTMENT(g_object_ref(gtk_scrolled_window_get_vadjustment(pScrolled)));
    g_signal_connect(pNew->pArea, "draw", G_CALLBACK(OnScrollDraw), pNew.get());
    g_signal_connect(pNew->pArea, "button-press-event", G_CALLBACK(OnButtonPress), this);
    g_signal_connect(pNew->pArea, "button-release-event", G_CALLBACK(OnButtonRelease), this);
    g_signal_connect(pNew->pScrolled, "scroll-event", G_CALLBACK(OnWheel), pNew.get());
    for (GtkAdjustment* pAdjustment : pNew->pAdjustments) {
      g_signal_connect(pAdjustment, "value-changed", G_CALLBACK(OnAdjustmentValue), pNew.get());
      g_signal_connect(pAdjustment, "changed", G_CALLBACK(OnAdjustmentChanged), pNew.get());
    }
    pScroll = pNew.get();
    m_scrolls.push_back(std::move(pNew));
  }
  POINT at = pElement->OffsetInTopLevel();
  const RECT& rect = pElement->Rect();
  gtk_fixed_move(GTK_FIXED(m_pFixed), pScroll->pScrolled, at.x, at.y);
  gtk_widget_set_size_request(pScroll->pScrolled, Width(rect), Height(rect));
  POINT extent = pElement->ContentExtent();
  gtk_widget_set_size_request(pScroll->pArea, std::max<LONG>(extent.x, Width(rect)),
                              std::max<LONG>(extent.y, Height(rect)));
  // Switched off, the user cannot scroll that way (the wheel handler drops it); the program
  // still can.
  gtk_scrolled_window_set_policy(
      GTK_SCROLLED_WINDOW(pScroll->pScrolled),
      pElement->ScrollEnabled(false) ? GTK_POLICY_AUTOMATIC : GTK_POLICY_EXTERNAL,
      pElement->ScrollEnabled(true) ? GTK_POLICY_AUTOMATIC : GTK_POLICY_EXTERNAL);
  ApplyScrollPosition(pScroll);
  gtk_widget_set_visible(pScroll->pScrolled, ShownBelowWindow(pElement));
}

void CGtkTopLevel::ApplyScrollPosition(Scroll* pScroll) {
  CScrollElement* pElement = pScroll->pElement;
  POINT position = pElement->ScrollPosition();
  POINT extent = pElement->ContentExtent();
  const RECT& rect = pElement->Rect();
  const double values[2] = {static_cast<double>(position.x), static_cast<double>(position.y)};
  const double pages[2] = {static_cast<double>(Width(rect)), static_cast<double>(Height(rect))};
  const double uppers[2] = {static_cast<double>(std::max<LONG>(extent.x, Width(rect))),
                            static_cast<double>(std::max<LONG>(extent.y, Height(rect)))};
  pScroll->settingPosition = true;
  for (int i = 0; i < 2; ++i) {
    GtkAdjustment* pAdjustment = pScroll->pAdjustments[i];
    if (gtk_adjustment_get_value(pAdjustment) == values[i] &&
        gtk_adjustment_get_upper(pAdjustment) >= uppers[i]) {
      continue;
    }
    // All at once: a value set alone would be clamped to the old upper bound.
    gtk_adjustment_configure(pAdjustment, values[i], 0, uppers[i], 40, pages[i] * 0.9, pages[i]);
    // Setting the value ends a wheel's animation still moving towards its own.
    gtk_adjustment_set_value(pAdjustment, values[i]);
  }
  pScroll->settingPosition = false;
}

gboolean CGtkTopLevel::OnScrollDraw(GtkWidget*, cairo_t* cr, gpointer data) {
  auto* pScroll = static_cast<Scroll*>(data);
  CScrollElement* pElement = pScroll->pElement;
  // The scrolled window covers the view's rectangle of the window, so it shows what the whole
  // window draws there: the backgrounds beneath a transparent view, the elements above it in
  // the tree (a strip's buttons), each clipped as in the window. The view alone left those out
  // and let GTK's own background through.
  // The area is the whole content; the view shows it from the scroll position on.
  POINT position = pElement->ScrollPosition();
  POINT at = pElement->OffsetInTopLevel();
  const RECT& rect = pElement->Rect();
  cairo_translate(cr, position.x, position.y);
  cairo_rectangle(cr, 0, 0, Width(rect), Height(rect));
  cairo_clip(cr);
  cairo_translate(cr, -at.x, -at.y);
  CLqPainter::Paint(cr, pScroll->pOwner->m_pWindow);
  return TRUE;
}

void CGtkTopLevel::OnAdjustmentValue(GtkAdjustment*, gpointer data) {
  auto* pScroll = static_cast<Scroll*>(data);
  if (pScroll->settingPosition) return;
  POINT position{static_cast<LONG>(gtk_adjustment_get_value(pScroll->pAdjustments[0])),
                 static_cast<LONG>(gtk_adjustment_get_value(pScroll->pAdjustments[1]))};
  POINT now = pScroll->pElement->ScrollPosition();
  if (position.x != now.x || position.y != now.y) pScroll->pElement->SetScrollPos(&position);
}

void CGtkTopLevel::OnAdjustmentChanged(GtkAdjustment* pAdjustment, gpointer data) {
  auto* pScroll = static_cast<Scroll*>(data);
  if (pScroll->settingPosition) return;
  // The scrolled window sized itself: the model's position stands where the new range holds
  // it. Where it does not, GTK clamped the value and its value-changed moves the model there;
  // putting ours back would be clamped again at every allocation, and each time round the
  // configure asks for the next one.
  const POINT position = pScroll->pElement->ScrollPosition();
  const double wanted = pAdjustment == pScroll->pAdjustments[0] ? position.x : position.y;
  if (wanted > gtk_adjustment_get_upper(pAdjustment) - gtk_adjustment_get_page_size(pAdjustment)) {
    return;
  }
  pScroll->pOwner->ApplyScrollPosition(pScroll);
}

gboolean CGtkTopLevel::OnWheel(GtkWidget*, GdkEventScroll* pEvent, gpointer data) {
  CScrollElement* pElement = static_cast<Scroll*>(data)->pElement;
  bool vertical = pEvent->direction == GDK_SCROLL_UP || pEvent->direction == GDK_SCROLL_DOWN ||
                  (pEvent->direction == GDK_SCROLL_SMOOTH && pEvent->delta_y != 0);
  return !pElement->ScrollEnabled(vertical) || !EnabledInTree(pElement);
}

void CGtkTopLevel::DropScroll(std::vector<std::unique_ptr<Scroll>>::iterator it) {
  std::unique_ptr<Scroll> pScroll = std::move(*it);
  m_scrolls.erase(it);
  for (GtkAdjustment* pAdjustment : pScroll->pAdjustments) {
    g_signal_handlers_disconnect_by_data(pAdjustment, pScroll.get());
    g_object_unref(pAdjustment);
  }
  g_signal_handlers_disconnect_by_data(pScroll->pArea, pScroll.get());
  g_signal_handlers_disconnect_by_data(pScroll->pArea, this);
  g_signal_handlers_disconnect_by_data(pScroll->pScrolled, pScroll.get());
  gtk_widget_destroy(pScroll->pScrolled);
  g_object_unref(pScroll->pArea);
  g_object_unref(pScroll->pScrolled);
}

gboolean CGtkTopLevel::OnDraw(GtkWidget*, cairo_t* cr, gpointer data) {
  auto* pThis = static_cast<CGtkTopLevel*>(data);
  const RECT& rect = pThis->m_pWindow->Rect();
  // The scrolled windows paint their rectangles of the window.
  cairo_rectangle(cr, 0, 0, Width(rect), Height(rect));
  for (auto& pScroll : pThis->m_scrolls) {
    if (!gtk_widget_get_visible(pScroll->pScrolled)) continue;
    POINT at = pScroll->pElement->OffsetInTopLevel();
    const RECT& inner = pScroll->pElement->Rect();
    cairo_rectangle(cr, at.x, at.y, Width(inner), Height(inner));
  }
  cairo_set_fill_rule(cr, CAIRO_FILL_RULE_EVEN_ODD);
  cairo_clip(cr);
  CLqPainter::Paint(cr, pThis->m_pWindow);
  return TRUE;
}

void CGtkTopLevel::SetCursorHand(bool hand) {
  if (m_handCursor == hand) return;
  m_handCursor = hand;
  GdkCursor* pCursor = hand ? HandCursor() : nullptr;
  if (GdkWindow* pGdk = gtk_widget_get_window(m_pArea)) gdk_window_set_cursor(pGdk, pCursor);
  for (auto& pScroll : m_scrolls) {
    if (GdkWindow* pGdk = gtk_widget_get_window(pScroll->pArea))
      gdk_window_set_cursor(pGdk, pCursor);
  }
}

// --- Pointer ---

bool CGtkTopLevel::EventPoint(GdkEvent* pEvent, POINT* pPoint) const {
  GdkWindow* pGdk = gdk_event_get_window(pEvent);
  GdkWindow* pTop = NativeGdkWindow();
  double x = 0;
  double y = 0;
  if (!pGdk || !pTop || !gdk_event_get_coords(pEvent, &x, &y)) return false;
  // Up through the child windows (a viewport's includes its scroll offset).
  while (pGdk && pGdk != pTop) {
    gdk_window_coords_to_parent(pGdk, x, y, &x, &y);
    pGdk = gdk_window_get_parent(pGdk);
  }
  if (pGdk != pTop) return false;
  pPoint->x = static_cast<LONG>(x);
  pPoint->y = static_cast<LONG>(y);
  return true;
}

bool CGtkTopLevel::FilterEvent(GdkEvent* pEvent) {
  const bool blocked = m_pWindow->IsInputBlocked();
  POINT point{};
  switch (pEvent->type) {
    case GDK_MOTION_NOTIFY:
    case GDK_ENTER_NOTIFY:
      if (blocked) {
        ClearHover();
      } else if (EventPoint(pEvent, &point)) {
        PointerAt(point);
      }
      return blocked && pEvent->type == GDK_MOTION_NOTIFY;
    case GDK_LEAVE_NOTIFY: {
      // Out of the window, or taken by another's grab (a menu): every hover ends.
      const RECT& rect = m_pWindow->Rect();
      if (blocked || pEvent->crossing.mode == GDK_CROSSING_GRAB || !EventPoint(pEvent, &point) ||
          point.x < 0 || point.y < 0 || point.x >= Width(rect) || point.y >= Height(rect)) {
        ClearHover();
      } else {
        PointerAt(point);
      }
      return false;
    }
    case GDK_BUTTON_PRESS:
    case GDK_2BUTTON_PRESS:
    case GDK_3BUTTON_PRESS:
    case GDK_BUTTON_RELEASE:
    case GDK_KEY_PRESS:
    case GDK_KEY_RELEASE:
    case GDK_SCROLL:
    case GDK_TOUCH_BEGIN:
    case GDK_TOUCH_UPDATE:
    case GDK_TOUCH_END:
      return blocked;
    default:
      return false;
  }
}

void CGtkTopLevel::PointerAt(const POINT& point) {
  std::vector<CElement*> path;
  if (CElement* pHit = CLqPainter::HitTest(m_pWindow, point.x, point.y)) {
    for (CElement* p = pHit; p; p = p->Parent()) path.insert(path.begin(), p);
  } else {
    const RECT& rect = m_pWindow->Rect();
    if (point.x >= 0 && point.y >= 0 && point.x < Width(rect) && point.y < Height(rect)) {
      path.push_back(m_pWindow);
    }
  }
  UpdateHover(std::move(path));
}

void CGtkTopLevel::ClearHover() { UpdateHover({}); }

void CGtkTopLevel::UpdateHover(std::vector<CElement*> path) {
  if (path == m_hover) return;
  std::vector<CElement*> old = std::exchange(m_hover, path);
  bool hand = std::any_of(path.begin(), path.end(), [](CElement* p) { return p->HasHandCursor(); });
  // Held while handlers run: they may destroy what they are told about, and this object with
  // the window, so nothing of it is touched once the first message is out.
  for (CElement* p : old) p->AddRef();
  for (CElement* p : path) p->AddRef();
  SetCursorHand(hand);
  for (auto it = old.rbegin(); it != old.rend(); ++it) {
    if (std::find(path.begin(), path.end(), *it) == path.end()) (*it)->UserHover(false);
  }
  for (CElement* p : path) {
    if (std::find(old.begin(), old.end(), p) == old.end() && !p->IsDestroyed()) p->UserHover(true);
  }
  for (CElement* p : old) p->Release();
  for (CElement* p : path) p->Release();
}

gboolean CGtkTopLevel::OnButtonPress(GtkWidget*, GdkEventButton* pEvent, gpointer data) {
  auto* pThis = static_cast<CGtkTopLevel*>(data);
  POINT point{};
  if (pEvent->type != GDK_BUTTON_PRESS || pEvent->button != 1 ||
      !pThis->EventPoint(reinterpret_cast<GdkEvent*>(pEvent), &point)) {
    return FALSE;
  }
  CElement* pHit = CLqPainter::HitTest(pThis->m_pWindow, point.x, point.y);
  WindowRole role = pHit ? pHit->GetLook().role : WindowRole::kNone;
  if ((role == WindowRole::kCaption || role == WindowRole::kTitle) && pHit->TakesInput()) {
    pThis->m_moveRequested = false;
    gtk_window_begin_move_drag(pThis->m_pGtkWindow, static_cast<gint>(pEvent->button),
                               static_cast<gint>(pEvent->x_root), static_cast<gint>(pEvent->y_root),
                               pEvent->time);
    return TRUE;
  }
  pThis->m_pPressed = pHit;
  return TRUE;
}

gboolean CGtkTopLevel::OnButtonRelease(GtkWidget*, GdkEventButton* pEvent, gpointer data) {
  auto* pThis = static_cast<CGtkTopLevel*>(data);
  POINT point{};
  if (pEvent->button != 1) return FALSE;
  CElement* pPressed = std::exchange(pThis->m_pPressed, nullptr);
  if (!pPressed || !pThis->EventPoint(reinterpret_cast<GdkEvent*>(pEvent), &point)) return TRUE;
  if (CLqPainter::HitTest(pThis->m_pWindow, point.x, point.y) == pPressed) {
    // Last: the click may close the window, and this object goes with it.
    pPressed->UserClick();
  }
  return TRUE;
}

gboolean CGtkTopLevel::OnConfigure(GtkWidget*, GdkEventConfigure* pEvent, gpointer data) {
  auto* pThis = static_cast<CGtkTopLevel*>(data);
  if (pThis->m_moveRequested) {
    // Configures from before our move are stale; the move's own ends the wait.
    if (pEvent->x != pThis->m_placedAt.x || pEvent->y != pThis->m_placedAt.y) return FALSE;
    pThis->m_moveRequested = false;
    return FALSE;
  }
  const RECT& now = pThis->m_pWindow->Rect();
  RECT moved{pEvent->x, pEvent->y, pEvent->x + (now.right - now.left),
             pEvent->y + (now.bottom - now.top)};
  pThis->m_placedAt = POINT{moved.left, moved.top};
  pThis->m_pWindow->FollowNativeRect(moved);
  return FALSE;
}

}  // namespace lq
