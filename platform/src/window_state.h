#pragma once
// What the window registry tells the visible-window calls (toplevel.cpp) about a handle.

#include <functional>

#include "win32/toplevel.h"

namespace win32::detail {

enum class WindowKind {
  kNone,      // no window of ours, and not an X window id
  kLayer,     // the layer's own (tagged handle): state kept on the window
  kTopLevel,  // a real window registered by the GUI half
  kForeign,   // not ours, but it may be another process's X window
};

WindowKind ClassifyWindow(HWND hwnd);
// Whether the value could be an X window id (which the registry does not know).
bool MayBeForeignWindow(HWND hwnd);

// The state the show, enable and placement calls keep on a layer window.
struct WindowUiState {
  bool visible = false;
  bool enabled = true;
  bool zoomed = false;
  RECT rect{0, 0, 0, 0};
};

// Runs `update` on the window's state under its lock; false for a handle of no window of ours.
bool UpdateWindowUiState(HWND hwnd, const std::function<void(WindowUiState&)>& update);

}  // namespace win32::detail
