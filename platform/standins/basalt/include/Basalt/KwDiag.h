#pragma once
// Assertions that log and return, and the platform log: one file per program in the user's state
// folder ("<program>.log"; under $LUMIDOCK_ROOT/logs in a sandbox).
// Threading: any thread; lines are written whole under one lock.

#include <cstdarg>

#include "win32/base.h"

// Logs the failed expression and counts it; execution goes on.
void KwAssert(const char* pExpression, const char* pFile, int line);

// One line "[pid][tid][hh:mm:ss.mmm] <module>: <text>"; `pLog` names no object here (null).
void KwLog_DoKwLogVW(void* pLog, const win32::WCHAR* pModule, const win32::WCHAR* pFormat,
                     va_list args);
void KwLogW(const win32::WCHAR* pModule, const win32::WCHAR* pFormat, ...);
