#pragma once
// One top-level on the desktop: an undecorated GtkWindow registered with the layer (handle = its
// X window id, default procedure CWindowElement::WindowProcedure), holding a GtkFixed with one
// drawing area for the whole tree, a GtkEntry over each edit and a GtkScrolledWindow over each
// scroll view (its own drawing area, the size of the view's content, paints what the whole tree
// draws in the view's rectangle). Model changes arrive as Invalidate, which schedules one pass
// that places those widgets and redraws.
//
// Input: clicks come from the drawing areas (press and release on the same element), a press on
// the caption moves the window; the view's event filter hands pointer motion here for hover
// state (messages 101/103) and the hand cursor, and drops input while a modal run blocks the
// window.
//
// Lifetime: made by CGtkView::CreateTopLevel, deleted by the view when the window element is
// gone. Holds one reference to every widget it made, so its handlers can be disconnected
// whatever GTK destroyed first; it never holds an element (each is dropped in ElementGone).
// Threading: GUI thread only.

#include <gtk/gtk.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CWindowElement.h"
#include "win32/gui.h"

namespace lq {

class CEditElement;
class CScrollElement;

class CGtkTopLevel {
 public:
  // Makes and registers the native window and attaches its handle to `pWindow`; null when the
  // layer refuses it. `popup`: a window that never takes focus (override-redirect).
  // `onStateChange` hears of what the layer does to the window.
  static std::unique_ptr<CGtkTopLevel> Create(CWindowElement* pWindow, bool popup,
                                              const std::u16string& nativeName,
                                              win32::ToplevelStateCallback onStateChange);
  CGtkTopLevel(const CGtkTopLevel&) = delete;
  CGtkTopLevel& operator=(const CGtkTopLevel&) = delete;
  ~CGtkTopLevel();

  CWindowElement* Element() const { return m_pWindow; }
  GtkWindow* Window() const { return m_pGtkWindow; }
  GdkWindow* NativeGdkWindow() const;
  win32::HWND Handle() const { return m_hwnd; }

  // 0 hide, 6 iconify, 4 (and any code for a popup) show without activating, else show.
  void Show(int showCode);
  bool IsShown() const;
  // Title, rectangle, opacity, enabled or blocked state of the element changed.
  void Changed();
  // `pElement` (or something of the window when null) changed: place the widgets and redraw,
  // once, before GTK draws.
  void Invalidate(CElement* pElement = nullptr);
  // The layer showed or hid the window behind the model's back.
  void NativeStateChanged();
  // Keeps it above `pOwner` while a modal run lasts.
  void SetTransientFor(CGtkTopLevel* pOwner);
  // Forgets the element: its widget, hover and press.
  void ElementGone(CElement* pElement);
  // From the view's filter, ahead of GTK: true when the event must not reach GTK.
  bool FilterEvent(GdkEvent* pEvent);

 private:
  struct Edit {
    CGtkTopLevel* pOwner;
    CEditElement* pElement;
    GtkWidget* pEntry;  // one reference
    bool settingText;   // our own change of the entry's text is no typing
  };
  struct Scroll {
    CGtkTopLevel* pOwner;
    CScrollElement* pElement;
    GtkWidget* pScrolled;            // one reference
    GtkWidget* pArea;                // one reference
    GtkAdjustment* pAdjustments[2];  // horizontal, vertical; one reference each
    bool settingPosition;            // our own change of an adjustment is no scrolling
  };

  CGtkTopLevel(CWindowElement* pWindow, bool popup);

  // Widgets.
  void Build(const std::u16string& nativeName);
  void SyncNow();
  void SyncTree(CElement* pElement);
  void SyncEdit(CEditElement* pElement);
  void SyncScroll(CScrollElement* pElement);
  void ApplyScrollPosition(Scroll* pScroll);
  void DropEdit(std::vector<std::unique_ptr<Edit>>::iterator it);
  void DropScroll(std::vector<std::unique_ptr<Scroll>>::iterator it);
  void SetCursorHand(bool hand);

  // Pointer.
  // The event's point in the window's coordinates; false for events without one.
  bool EventPoint(GdkEvent* pEvent, win32::POINT* pPoint) const;
  void PointerAt(const win32::POINT& point);
  void ClearHover();
  void UpdateHover(std::vector<CElement*> path);

  // Signal handlers (data: the object, or an Edit or Scroll).
  static gboolean OnDraw(GtkWidget* pWidget, cairo_t* cr, gpointer data);
  static gboolean OnScrollDraw(GtkWidget* pWidget, cairo_t* cr, gpointer data);
  static gboolean OnButtonPress(GtkWidget* pWidget, GdkEventButton* pEvent, gpointer data);
  static gboolean OnButtonRelease(GtkWidget* pWidget, GdkEventButton* pEvent, gpointer data);
  static gboolean OnConfigure(GtkWidget* pWidget, GdkEventConfigure* pEvent, gpointer data);
  static gboolean OnSyncIdle(gpointer data);
  static void OnEntryChanged(GtkEditable* pEditable, gpointer data);
  static void OnAdjustmentValue(GtkAdjustment* pAdjustment, gpointer data);
  static void OnAdjustmentChanged(GtkAdjustment* pAdjustment, gpointer data);
  static gboolean OnWheel(GtkWidget* pWidget, GdkEventScroll* pEvent, gpointer data);

  // Set at creation, then constant.
  CWindowElement* const m_pWindow;  // not held: the view drops this object when it goes
  const bool m_popup;
  GtkWindow* m_pGtkWindow = nullptr;  // one reference (the layer holds its own)
  GtkWidget* m_pFixed = nullptr;      // one reference
  GtkWidget* m_pArea = nullptr;       // one reference
  win32::HWND m_hwnd = nullptr;

  std::vector<std::unique_ptr<Edit>> m_edits;
  std::vector<std::unique_ptr<Scroll>> m_scrolls;
  guint m_syncSource = 0;
  // Where we last put the window; configure events that do not reach it yet are stale.
  win32::POINT m_placedAt{INT32_MIN, INT32_MIN};
  bool m_moveRequested = false;

  // The pointer: the elements under it, outermost first (not held), and the element a press
  // began on.
  std::vector<CElement*> m_hover;
  CElement* m_pPressed = nullptr;
  bool m_handCursor = false;
};

}  // namespace lq
