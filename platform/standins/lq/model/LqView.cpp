// The view in force.

#include "CNullView.h"
#include "IView.h"
#include "Lq/Lq.h"

namespace lq {

namespace {

IView* g_pView = nullptr;  // UI thread only

}  // namespace

IView* View() { return g_pView ? g_pView : &CNullView::Instance(); }

void SetView(IView* pView) { g_pView = pView; }

void SetTimerOwner(IKwTimerCallback* pCallback, win32::HWND hwnd) {
  View()->SetTimerOwner(pCallback, hwnd);
}

}  // namespace lq
