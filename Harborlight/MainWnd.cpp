#include "MainWnd.h"

#include <gtk/gtk.h>

#include <cstdio>

#include "MainHwnd.h"
#include "win32/gui.h"
#include "win32/toplevel.h"
#include "win32/window.h"

using namespace win32;

CMainWnd::~CMainWnd() {
  if (m_hwnd) DestroyWindow(m_hwnd);
}

void CMainWnd::Create(const CKwStringW&) {
  GtkWidget* pWindow = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(pWindow), "Lumidock");
  // The window draws its own frame, as the skinned main window does.
  gtk_window_set_decorated(GTK_WINDOW(pWindow), FALSE);
  gtk_window_set_default_size(GTK_WINDOW(pWindow), kWidth, kHeight);
  GtkWidget* pLabel = gtk_label_new(nullptr);
  gtk_label_set_markup(GTK_LABEL(pLabel), "<span size=\"xx-large\">Lumidock</span>");
  gtk_container_add(GTK_CONTAINER(pWindow), pLabel);

  m_hwnd = RegisterToplevel(GTK_WINDOW(pWindow), WindowProc, nullptr);
  if (!m_hwnd) {
    std::fprintf(stderr, "Harborlight: the main window could not be created (%u)\n",
                 GetLastError());
    gtk_widget_destroy(pWindow);
    PostQuitMessage(0);
    return;
  }
  SetWindowLongPtrW(m_hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  int x = (GetSystemMetrics(SM_CXSCREEN) - kWidth) / 2;
  int y = (GetSystemMetrics(SM_CYSCREEN) - kHeight) / 2;
  SetWindowPos(m_hwnd, HWND_TOP, x, y, kWidth, kHeight, SWP_NOZORDER);
  gtk_widget_show_all(pWindow);
  SetMainHwnd(m_hwnd);
}

LRESULT CMainWnd::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CLOSE:
      // The window stays until the loop has ended; its owner destroys it then.
      PostQuitMessage(0);
      return 0;
    case WM_NCDESTROY:
      if (auto* pSelf = reinterpret_cast<CMainWnd*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA))) {
        pSelf->m_hwnd = nullptr;
        SetMainHwnd(nullptr);
      }
      break;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}
