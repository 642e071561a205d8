#pragma once
// Crash reporting's set-up. Nothing is uploaded here: the values are kept (BasaltTesting.h).

#include <cstdint>

#include "win32/base.h"

namespace KwBugReport {

using CrashCallback = void (*)();
// The all-ones pointer: no call-back.
inline const CrashCallback kNoCrashCallback =
    reinterpret_cast<CrashCallback>(~static_cast<uintptr_t>(0));

win32::BOOL InitBugReport(const win32::WCHAR* pName, const win32::WCHAR* pDescription,
                          const win32::WCHAR* pModulePath, const win32::WCHAR* pCommandLine,
                          win32::WORD major, win32::WORD minor, win32::DWORD build, int flag1,
                          int flag2, win32::WORD language, int reserved, CrashCallback callback);
void SetBugReportUin(win32::DWORD uin, const win32::WCHAR* pName);
win32::BOOL ValidateBugReport();

}  // namespace KwBugReport
