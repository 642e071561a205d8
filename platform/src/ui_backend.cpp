#include "win32/ui_backend.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include <atomic>

#include "win32/toplevel.h"

namespace win32 {
namespace {

std::atomic<const UiBackend*> g_backend{nullptr};

// How far apart (in pixels, either way) the two presses of a double click may be.
constexpr int kDoubleClickSlop = 4;

}  // namespace

const UiBackend* SetUiBackend(const UiBackend* backend) { return g_backend.exchange(backend); }

const UiBackend* GetUiBackend() { return g_backend.load(); }

UINT TrayClickRule::OnButton(int button, bool press, DWORD timeMs, int x, int y) {
  if (button == 3) return press ? WM_RBUTTONDOWN : 0;
  if (button != 1) return 0;
  if (!press) return WM_LBUTTONUP;
  bool isDouble = m_havePress && timeMs - m_lastPressTime <= GetDoubleClickTime() &&
                  std::abs(x - m_lastPressX) <= kDoubleClickSlop &&
                  std::abs(y - m_lastPressY) <= kDoubleClickSlop;
  // A double click ends the pair: the next press starts a new one.
  m_havePress = !isDouble;
  m_lastPressTime = timeMs;
  m_lastPressX = x;
  m_lastPressY = y;
  return isDouble ? WM_LBUTTONDBLCLK : WM_LBUTTONDOWN;
}

void LayerLog(const char* format, ...) {
  const char* enabled = getenv("LUMIDOCK_LAYER_LOG");
  if (!enabled || !*enabled) return;
  char line[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  fprintf(stderr, "win32: %s\n", line);
}

}  // namespace win32
