#pragma once
// The process-wide main window handle: set by the main window when it is created, cleared at its
// teardown; read by the pages that need an owner or a parent.
// Threading: any thread.

#include "win32/base.h"

void SetMainHwnd(win32::HWND hwnd);
win32::HWND GetMainHwnd();
