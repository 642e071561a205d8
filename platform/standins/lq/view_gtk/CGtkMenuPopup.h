#pragma once
// A menu element on screen: a GtkMenu whose items are fixed-size drawing areas painted from the
// item elements. Choosing an enabled item raises the menu's click (CMenuElement::ItemClicked);
// a disabled item is insensitive and does nothing. Taking the menu down without a choice
// dismisses it in the model.
//
// Lifetime: made by CGtkView::PopupMenu; the view deletes it from an idle callback once the menu
// is down (never from inside the menu's own signals). Holds one reference to the menu element
// and one to the GtkMenu.
// Threading: GUI thread only.

#include <gtk/gtk.h>

#include <vector>

#include "CMenuElement.h"

namespace lq {

class CGtkMenuPopup {
 public:
  explicit CGtkMenuPopup(CMenuElement* pMenu);
  CGtkMenuPopup(const CGtkMenuPopup&) = delete;
  CGtkMenuPopup& operator=(const CGtkMenuPopup&) = delete;
  ~CGtkMenuPopup();

  CMenuElement* Menu() const { return m_pMenu; }
  GtkWidget* Widget() const { return m_pMenuWidget; }
  // Opens with its top-left corner at (x, y) of `pRelativeTo` (a top-level, or the root window
  // for screen pixels); `pTrigger` is the event whose time and device the pointer grab takes.
  // False when GTK could not take the grab and the menu stayed down.
  bool Popup(GdkWindow* pRelativeTo, int x, int y, GdkEvent* pTrigger);
  // Down at the model's word (it knows already): from now on GTK taking the menu down tells it
  // nothing; a choice made as it went down still counts.
  void Retire();
  bool IsUp() const;
  void Redraw();
  // The item went (a destroyed menu): it is no longer drawn or chosen.
  void ElementGone(CElement* pElement);

 private:
  struct Item {
    CGtkMenuPopup* pOwner;
    CElement* pElement;  // not held: the menu holds its items; null once gone
    GtkWidget* pMenuItem;
    GtkWidget* pArea;
  };

  static gboolean OnMenuDraw(GtkWidget* pWidget, cairo_t* cr, gpointer data);
  static gboolean OnItemDraw(GtkWidget* pWidget, cairo_t* cr, gpointer data);
  static void OnItemActivate(GtkMenuItem* pMenuItem, gpointer data);
  static void OnItemSelect(GtkMenuItem* pMenuItem, gpointer data);
  static void OnItemDeselect(GtkMenuItem* pMenuItem, gpointer data);
  static void OnDeactivate(GtkMenuShell* pShell, gpointer data);

  CMenuElement* const m_pMenu;  // one reference
  GtkWidget* m_pMenuWidget;     // one reference
  gulong m_deactivateHandler = 0;
  std::vector<Item> m_items;  // sized once: handlers hold pointers into it
};

}  // namespace lq
