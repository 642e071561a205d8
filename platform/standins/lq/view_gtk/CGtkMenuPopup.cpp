#include "CGtkMenuPopup.h"

#include <algorithm>

#include "CLqPainter.h"

namespace lq {

namespace {

// Items are exactly their given size: no padding, frame or shadow of the theme's around them.
void InstallMenuCss() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  GtkCssProvider* pCss = gtk_css_provider_new();
  gtk_css_provider_load_from_data(
      pCss,
      "menu.lq-menu { padding: 0; margin: 0; border: none; border-radius: 0; box-shadow: none; "
      "background-color: #FFFFFF; }"
      "menu.lq-menu menuitem { padding: 0; margin: 0; min-height: 0; min-width: 0; "
      "border: none; background: none; }",
      -1, nullptr);
  gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(pCss),
                                            GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(pCss);
}

}  // namespace

CGtkMenuPopup::CGtkMenuPopup(CMenuElement* pMenu)
    : m_pMenu(pMenu), m_pMenuWidget(GTK_WIDGET(g_object_ref(gtk_menu_new()))) {
  m_pMenu->AddRef();
  InstallMenuCss();
  gtk_style_context_add_class(gtk_widget_get_style_context(m_pMenuWidget), "lq-menu");
  gtk_menu_set_reserve_toggle_size(GTK_MENU(m_pMenuWidget), FALSE);
  m_items.reserve(pMenu->Children().size());
  for (CElement* pElement : pMenu->Children()) {
    const win32::RECT& rect = pElement->Rect();
    GtkWidget* pMenuItem = gtk_menu_item_new();
    GtkWidget* pArea = gtk_drawing_area_new();
    gtk_widget_set_size_request(pArea, std::max<win32::LONG>(1, rect.right - rect.left),
                                std::max<win32::LONG>(1, rect.bottom - rect.top));
    gtk_container_add(GTK_CONTAINER(pMenuItem), pArea);
    gtk_widget_set_sensitive(pMenuItem, pElement->EnabledFlag());
    gtk_menu_shell_append(GTK_MENU_SHELL(m_pMenuWidget), pMenuItem);
    gtk_widget_show_all(pMenuItem);
    m_items.push_back(Item{this, pElement, pMenuItem, pArea});
    Item* pItem = &m_items.back();
    g_signal_connect(pArea, "draw", G_CALLBACK(OnItemDraw), pItem);
    g_signal_connect(pMenuItem, "activate", G_CALLBACK(OnItemActivate), pItem);
    g_signal_connect(pMenuItem, "select", G_CALLBACK(OnItemSelect), pItem);
    g_signal_connect(pMenuItem, "deselect", G_CALLBACK(OnItemDeselect), pItem);
  }
  m_deactivateHandler =
      g_signal_connect(m_pMenuWidget, "deactivate", G_CALLBACK(OnDeactivate), this);
  g_signal_connect_after(m_pMenuWidget, "draw", G_CALLBACK(OnMenuDraw), this);
}

CGtkMenuPopup::~CGtkMenuPopup() {
  for (Item& item : m_items) {
    g_signal_handlers_disconnect_by_data(item.pArea, &item);
    g_signal_handlers_disconnect_by_data(item.pMenuItem, &item);
  }
  g_signal_handlers_disconnect_by_data(m_pMenuWidget, this);
  gtk_widget_destroy(m_pMenuWidget);
  g_object_unref(m_pMenuWidget);
  m_pMenu->Release();
}

bool CGtkMenuPopup::Popup(GdkWindow* pRelativeTo, int x, int y, GdkEvent* pTrigger) {
  GdkRectangle anchor{x, y, 1, 1};
  gtk_menu_popup_at_rect(GTK_MENU(m_pMenuWidget), pRelativeTo, &anchor, GDK_GRAVITY_NORTH_WEST,
                         GDK_GRAVITY_NORTH_WEST, pTrigger);
  return IsUp();
}

void CGtkMenuPopup::Retire() {
  if (m_deactivateHandler) g_signal_handler_disconnect(m_pMenuWidget, m_deactivateHandler);
  m_deactivateHandler = 0;
  if (IsUp()) gtk_menu_popdown(GTK_MENU(m_pMenuWidget));
}

bool CGtkMenuPopup::IsUp() const { return gtk_widget_get_visible(m_pMenuWidget); }

void CGtkMenuPopup::Redraw() {
  for (Item& item : m_items) {
    if (!item.pElement) continue;
    gtk_widget_set_sensitive(item.pMenuItem, item.pElement->EnabledFlag());
    gtk_widget_queue_draw(item.pArea);
  }
}

void CGtkMenuPopup::ElementGone(CElement* pElement) {
  for (Item& item : m_items) {
    if (item.pElement != pElement) continue;
    item.pElement = nullptr;
    gtk_widget_set_sensitive(item.pMenuItem, FALSE);
  }
}

gboolean CGtkMenuPopup::OnMenuDraw(GtkWidget* pWidget, cairo_t* cr, gpointer data) {
  // The menu style's frame, over the items' edges.
  uint32_t border = static_cast<CGtkMenuPopup*>(data)->m_pMenu->GetLook().border;
  if (!(border >> 24)) return FALSE;
  cairo_set_source_rgba(cr, ((border >> 16) & 0xFF) / 255.0, ((border >> 8) & 0xFF) / 255.0,
                        (border & 0xFF) / 255.0, (border >> 24) / 255.0);
  cairo_set_line_width(cr, 1);
  cairo_rectangle(cr, 0.5, 0.5, gtk_widget_get_allocated_width(pWidget) - 1,
                  gtk_widget_get_allocated_height(pWidget) - 1);
  cairo_stroke(cr);
  return FALSE;
}

gboolean CGtkMenuPopup::OnItemDraw(GtkWidget*, cairo_t* cr, gpointer data) {
  auto* pItem = static_cast<Item*>(data);
  if (pItem->pElement) CLqPainter::Paint(cr, pItem->pElement);
  return TRUE;
}

void CGtkMenuPopup::OnItemActivate(GtkMenuItem*, gpointer data) {
  auto* pItem = static_cast<Item*>(data);
  // GTK took the menu down (and the model heard of it) before the item's activation.
  if (pItem->pElement) pItem->pOwner->m_pMenu->ItemClicked(pItem->pElement);
}

void CGtkMenuPopup::OnItemSelect(GtkMenuItem*, gpointer data) {
  auto* pItem = static_cast<Item*>(data);
  if (pItem->pElement) pItem->pElement->UserHover(true);
}

void CGtkMenuPopup::OnItemDeselect(GtkMenuItem*, gpointer data) {
  auto* pItem = static_cast<Item*>(data);
  if (pItem->pElement) pItem->pElement->UserHover(false);
}

void CGtkMenuPopup::OnDeactivate(GtkMenuShell*, gpointer data) {
  CMenuElement* pMenu = static_cast<CGtkMenuPopup*>(data)->m_pMenu;
  if (pMenu->IsOpen()) pMenu->Dismissed();
}

}  // namespace lq
