#include "MainHwnd.h"

#include <atomic>

namespace {

std::atomic<win32::HWND> g_mainHwnd{nullptr};

}  // namespace

void SetMainHwnd(win32::HWND hwnd) { g_mainHwnd = hwnd; }

win32::HWND GetMainHwnd() { return g_mainHwnd; }
