#include "win32/toplevel.h"

#include <atomic>
#include <string>

#include "handles.h"
#include "win32/ui_backend.h"
#include "window_state.h"

namespace win32 {
namespace {

using detail::WindowKind;
using detail::WindowUiState;

// The process's active window when nothing draws: the layer window last shown with activation
// or activated.
std::atomic<HWND> g_activeLayerWindow{nullptr};

// Real and foreign windows go to the back end's entry; a missing entry means no desktop.
template <class Entry>
Entry RealWindowEntry(HWND hwnd, Entry UiBackend::*entry, WindowKind* pKind) {
  *pKind = detail::ClassifyWindow(hwnd);
  if (*pKind != WindowKind::kTopLevel && *pKind != WindowKind::kForeign) return nullptr;
  const UiBackend* pBackend = GetUiBackend();
  return pBackend ? pBackend->*entry : nullptr;
}

BOOL NoWindow() { return detail::Fail(ERROR_INVALID_WINDOW_HANDLE); }

bool Shows(int cmdShow) { return cmdShow != SW_HIDE; }

}  // namespace

BOOL ShowWindow(HWND hwnd, int cmdShow) {
  WindowKind kind;
  if (auto entry = RealWindowEntry(hwnd, &UiBackend::showWindow, &kind)) {
    return entry(hwnd, cmdShow);
  }
  if (kind != WindowKind::kLayer) return NoWindow();
  bool wasVisible = false;
  detail::UpdateWindowUiState(hwnd, [&](WindowUiState& state) {
    wasVisible = state.visible;
    state.visible = Shows(cmdShow);
    if (cmdShow == SW_SHOWNORMAL) state.zoomed = false;
  });
  if (cmdShow == SW_SHOW || cmdShow == SW_SHOWNORMAL) g_activeLayerWindow = hwnd;
  if (!Shows(cmdShow)) {
    HWND expected = hwnd;
    g_activeLayerWindow.compare_exchange_strong(expected, nullptr);
  }
  return wasVisible ? TRUE : FALSE;
}

BOOL IsWindowVisible(HWND hwnd) {
  WindowKind kind;
  if (auto entry = RealWindowEntry(hwnd, &UiBackend::isWindowVisible, &kind)) return entry(hwnd);
  bool visible = false;
  detail::UpdateWindowUiState(hwnd, [&](WindowUiState& state) { visible = state.visible; });
  return visible ? TRUE : FALSE;
}

BOOL EnableWindow(HWND hwnd, BOOL enable) {
  WindowKind kind;
  if (auto entry = RealWindowEntry(hwnd, &UiBackend::enableWindow, &kind)) {
    return entry(hwnd, enable);
  }
  bool wasDisabled = false;
  if (!detail::UpdateWindowUiState(hwnd, [&](WindowUiState& state) {
        wasDisabled = !state.enabled;
        state.enabled = enable != FALSE;
      })) {
    return NoWindow();
  }
  return wasDisabled ? TRUE : FALSE;
}

BOOL IsWindowEnabled(HWND hwnd) {
  WindowKind kind;
  if (auto entry = RealWindowEntry(hwnd, &UiBackend::isWindowEnabled, &kind)) return entry(hwnd);
  bool enabled = false;
  detail::UpdateWindowUiState(hwnd, [&](WindowUiState& state) { enabled = state.enabled; });
  return enabled ? TRUE : FALSE;
}

BOOL GetWindowRect(HWND hwnd, LPRECT rect) {
  if (!rect) return detail::Fail(ERROR_INVALID_PARAMETER);
  WindowKind kind;
  if (auto entry = RealWindowEntry(hwnd, &UiBackend::getWindowRect, &kind)) {
    return entry(hwnd, rect);
  }
  if (!detail::UpdateWindowUiState(hwnd, [&](WindowUiState& state) { *rect = state.rect; })) {
    return NoWindow();
  }
  return TRUE;
}

BOOL SetWindowPos(HWND hwnd, HWND insertAfter, int x, int y, int cx, int cy, UINT flags) {
  WindowKind kind;
  if (auto entry = RealWindowEntry(hwnd, &UiBackend::setWindowPos, &kind)) {
    return entry(hwnd, insertAfter, x, y, cx, cy, flags);
  }
  if (kind == WindowKind::kForeign) return detail::Fail(ERROR_ACCESS_DENIED);
  if (!detail::UpdateWindowUiState(hwnd, [&](WindowUiState& state) {
        RECT& r = state.rect;
        if (!(flags & SWP_NOMOVE)) {
          r.right += x - r.left;
          r.bottom += y - r.top;
          r.left = x;
          r.top = y;
        }
        if (!(flags & SWP_NOSIZE)) {
          r.right = r.left + cx;
          r.bottom = r.top + cy;
        }
        if (flags & SWP_SHOWWINDOW) state.visible = true;
        if (flags & SWP_HIDEWINDOW) state.visible = false;
      })) {
    return NoWindow();
  }
  return TRUE;
}

BOOL IsZoomed(HWND hwnd) {
  WindowKind kind;
  if (auto entry = RealWindowEntry(hwnd, &UiBackend::isZoomed, &kind)) return entry(hwnd);
  bool zoomed = false;
  detail::UpdateWindowUiState(hwnd, [&](WindowUiState& state) { zoomed = state.zoomed; });
  return zoomed ? TRUE : FALSE;
}

namespace {

BOOL Activate(HWND hwnd, bool raise) {
  WindowKind kind;
  if (auto entry = RealWindowEntry(hwnd, &UiBackend::activateWindow, &kind)) {
    return entry(hwnd, raise);
  }
  if (kind != WindowKind::kLayer) return NoWindow();
  g_activeLayerWindow = hwnd;
  return TRUE;
}

}  // namespace

BOOL BringWindowToTop(HWND hwnd) { return Activate(hwnd, true); }

BOOL SetForegroundWindow(HWND hwnd) { return Activate(hwnd, true); }

HWND GetForegroundWindow() {
  const UiBackend* pBackend = GetUiBackend();
  if (pBackend && pBackend->getForegroundWindow) return pBackend->getForegroundWindow();
  return g_activeLayerWindow.load();
}

HWND SetActiveWindow(HWND hwnd) {
  HWND previous = GetActiveWindow();
  if (!Activate(hwnd, false)) return nullptr;
  return previous;
}

HWND GetActiveWindow() {
  const UiBackend* pBackend = GetUiBackend();
  if (pBackend && pBackend->getActiveWindow) {
    if (HWND active = pBackend->getActiveWindow()) return active;
  }
  HWND layerWindow = g_activeLayerWindow.load();
  return layerWindow && IsWindow(layerWindow) ? layerWindow : nullptr;
}

BOOL RedrawWindow(HWND hwnd, const RECT*, void*, UINT) {
  WindowKind kind;
  if (auto entry = RealWindowEntry(hwnd, &UiBackend::redrawWindow, &kind)) return entry(hwnd);
  return kind == WindowKind::kLayer ? TRUE : NoWindow();
}

int GetSystemMetrics(int index) {
  const UiBackend* pBackend = GetUiBackend();
  return pBackend && pBackend->getSystemMetrics ? pBackend->getSystemMetrics(index) : 0;
}

BOOL SystemParametersInfoW(UINT action, UINT, LPVOID pvParam, UINT) {
  if (action != SPI_GETWORKAREA || !pvParam) return detail::Fail(ERROR_INVALID_PARAMETER);
  auto* pRect = static_cast<RECT*>(pvParam);
  const UiBackend* pBackend = GetUiBackend();
  if (pBackend && pBackend->getWorkArea) return pBackend->getWorkArea(pRect);
  *pRect = RECT{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  return TRUE;
}

BOOL GetCursorPos(LPPOINT point) {
  if (!point) return detail::Fail(ERROR_INVALID_PARAMETER);
  const UiBackend* pBackend = GetUiBackend();
  if (pBackend && pBackend->getCursorPos) return pBackend->getCursorPos(point);
  *point = POINT{0, 0};
  return TRUE;
}

UINT GetDoubleClickTime() { return 500; }

BOOL TrackMouseEvent(LPTRACKMOUSEEVENT track) {
  if (!track || track->dwFlags != TME_LEAVE) return detail::Fail(ERROR_INVALID_PARAMETER);
  WindowKind kind;
  if (auto entry = RealWindowEntry(track->hwndTrack, &UiBackend::trackMouseLeave, &kind)) {
    return entry(track->hwndTrack);
  }
  // No pointer ever enters a window that is not drawn.
  return kind == WindowKind::kLayer ? TRUE : NoWindow();
}

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
  const UiBackend* pBackend = GetUiBackend();
  if (!pBackend || !pBackend->messageBox) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
  }
  return pBackend->messageBox(owner, text ? std::u16string(text) : std::u16string(),
                              caption ? std::u16string(caption) : u"Error", type);
}

}  // namespace win32
