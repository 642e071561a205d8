#pragma once
// Tick counts, calendar times and FILETIME (100-ns units since 1601-01-01 UTC).

#include <ctime>

#include "win32/base.h"

namespace win32 {

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
using LPFILETIME = FILETIME*;

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;  // 0 = Sunday
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};
using LPSYSTEMTIME = SYSTEMTIME*;

// Milliseconds since boot (suspend included, as on Windows), cut to 32 bits: it wraps after
// 49.7 days, so elapsed times must be taken as unsigned differences. LUMIDOCK_TICK_AT_LOAD (the
// 64-bit count, decimal or 0x-hex, read once as the layer loads) sets where both counters stand
// at that moment, so tests can run across the wrap.
WIN32_API DWORD GetTickCount();
WIN32_API ULONGLONG GetTickCount64();

WIN32_API void GetSystemTime(SYSTEMTIME* pTime);
WIN32_API void GetLocalTime(SYSTEMTIME* pTime);
WIN32_API void GetSystemTimeAsFileTime(FILETIME* pTime);

// Fail with ERROR_INVALID_PARAMETER for a FILETIME above 0x7FFFFFFFFFFFFFFF or a SYSTEMTIME
// that is not a real date between 1601 and 30827 (wDayOfWeek is ignored on input).
WIN32_API BOOL FileTimeToSystemTime(const FILETIME* pFileTime, SYSTEMTIME* pSystemTime);
WIN32_API BOOL SystemTimeToFileTime(const SYSTEMTIME* pSystemTime, FILETIME* pFileTime);
// Shifts by the local zone's offset in force at that instant (daylight saving included), so a
// summer date converted in winter still lands on its own local day.
WIN32_API BOOL FileTimeToLocalFileTime(const FILETIME* pFileTime, FILETIME* pLocalFileTime);

// FILETIME <-> POSIX time. Each returns false, leaving the output untouched, when the value
// cannot be represented (a FILETIME with the top bit set, nanoseconds past 2262, times before
// 1601).
inline ULONGLONG FileTimeToUInt64(const FILETIME& ft) {
  return (ULONGLONG{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
}
inline FILETIME UInt64ToFileTime(ULONGLONG value) {
  return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}
WIN32_API bool FileTimeToUnixNs(const FILETIME& ft, int64_t* pNs);
WIN32_API bool UnixNsToFileTime(int64_t ns, FILETIME* pFt);
WIN32_API bool FileTimeToTimespec(const FILETIME& ft, timespec* pTs);
WIN32_API bool TimespecToFileTime(const timespec& ts, FILETIME* pFt);

}  // namespace win32
