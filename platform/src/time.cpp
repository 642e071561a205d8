#include "win32/time.h"

#include <cstdlib>

#include "handles.h"

namespace win32 {
namespace {

constexpr int64_t kTicksPerSecond = 10'000'000;  // FILETIME units
constexpr int64_t kTicksPerDay = kTicksPerSecond * 86400;
constexpr int64_t kSecondsFrom1601To1970 = 11'644'473'600;
constexpr int64_t kUnixEpochAsFileTime = kSecondsFrom1601To1970 * kTicksPerSecond;
constexpr uint64_t kMaxFileTime = 0x7FFF'FFFF'FFFF'FFFFull;

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm), valid for
// any year a FILETIME can hold.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t* pYear, unsigned* pMonth, unsigned* pDay) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  *pDay = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
  *pMonth = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  *pYear = yoe + era * 400 + (*pMonth <= 2);
}

unsigned DaysInMonth(unsigned year, unsigned month) {
  static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && (year % 4 == 0 && (year % 100 != 0 || year % 400 == 0))) return 29;
  return kDays[month - 1];
}

const int64_t kDaysFrom1601To1970 = -DaysFromCivil(1601, 1, 1);

timespec ClockNow(clockid_t clock) {
  timespec ts = {0, 0};
  clock_gettime(clock, &ts);
  return ts;
}

void SystemTimeFromFileTimeValue(uint64_t value, SYSTEMTIME* pTime) {
  const int64_t days = static_cast<int64_t>(value / kTicksPerDay);
  const int64_t rest = static_cast<int64_t>(value % kTicksPerDay);
  int64_t year;
  unsigned month;
  unsigned day;
  CivilFromDays(days - kDaysFrom1601To1970, &year, &month, &day);
  pTime->wYear = static_cast<WORD>(year);
  pTime->wMonth = static_cast<WORD>(month);
  pTime->wDay = static_cast<WORD>(day);
  pTime->wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
  const int64_t ms = rest / 10'000;
  pTime->wHour = static_cast<WORD>(ms / 3'600'000);
  pTime->wMinute = static_cast<WORD>(ms / 60'000 % 60);
  pTime->wSecond = static_cast<WORD>(ms / 1000 % 60);
  pTime->wMilliseconds = static_cast<WORD>(ms % 1000);
}

uint64_t BootMilliseconds() {
  timespec ts = ClockNow(CLOCK_BOOTTIME);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

// Read once, as the layer loads (or at an earlier first use): reading the environment on every
// call would race with any thread that changes it, and the counter must not jump while a
// process runs. The count is given, not a shift a parent computes, so however late a child
// starts, it starts where the test put it.
uint64_t TickBias() {
  static const uint64_t bias = [] {
    const char* pAtLoad = getenv("LUMIDOCK_TICK_AT_LOAD");
    if (!pAtLoad || !*pAtLoad) return uint64_t{0};
    return static_cast<uint64_t>(strtoull(pAtLoad, nullptr, 0)) - BootMilliseconds();
  }();
  return bias;
}

[[maybe_unused]] const uint64_t g_tickBiasAtLoad = TickBias();

}  // namespace

// Elapsed-time code relies on the counter wrapping modulo 2^32 exactly like the Windows one;
// LUMIDOCK_TICK_AT_LOAD (the count to read as the layer loads) lets a test start it just short
// of the wrap.
ULONGLONG GetTickCount64() { return BootMilliseconds() + TickBias(); }

DWORD GetTickCount() { return static_cast<DWORD>(GetTickCount64()); }

void GetSystemTime(SYSTEMTIME* pTime) {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  SystemTimeFromFileTimeValue(FileTimeToUInt64(ft), pTime);
}

void GetLocalTime(SYSTEMTIME* pTime) {
  timespec ts = ClockNow(CLOCK_REALTIME);
  tm local = {};
  localtime_r(&ts.tv_sec, &local);
  pTime->wYear = static_cast<WORD>(local.tm_year + 1900);
  pTime->wMonth = static_cast<WORD>(local.tm_mon + 1);
  pTime->wDayOfWeek = static_cast<WORD>(local.tm_wday);
  pTime->wDay = static_cast<WORD>(local.tm_mday);
  pTime->wHour = static_cast<WORD>(local.tm_hour);
  pTime->wMinute = static_cast<WORD>(local.tm_min);
  pTime->wSecond = static_cast<WORD>(local.tm_sec > 59 ? 59 : local.tm_sec);  // leap second
  pTime->wMilliseconds = static_cast<WORD>(ts.tv_nsec / 1000000);
}

void GetSystemTimeAsFileTime(FILETIME* pTime) {
  timespec ts = ClockNow(CLOCK_REALTIME);
  if (!TimespecToFileTime(ts, pTime)) *pTime = UInt64ToFileTime(0);
}

BOOL FileTimeToSystemTime(const FILETIME* pFileTime, SYSTEMTIME* pSystemTime) {
  if (!pFileTime || !pSystemTime) return detail::Fail(ERROR_INVALID_PARAMETER);
  const uint64_t value = FileTimeToUInt64(*pFileTime);
  if (value > kMaxFileTime) return detail::Fail(ERROR_INVALID_PARAMETER);
  SystemTimeFromFileTimeValue(value, pSystemTime);
  return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* pSystemTime, FILETIME* pFileTime) {
  if (!pSystemTime || !pFileTime) return detail::Fail(ERROR_INVALID_PARAMETER);
  const SYSTEMTIME& st = *pSystemTime;
  if (st.wYear < 1601 || st.wYear > 30827 || st.wMonth < 1 || st.wMonth > 12 || st.wDay < 1 ||
      st.wDay > DaysInMonth(st.wYear, st.wMonth) || st.wHour > 23 || st.wMinute > 59 ||
      st.wSecond > 59 || st.wMilliseconds > 999) {
    return detail::Fail(ERROR_INVALID_PARAMETER);
  }
  const int64_t days = DaysFromCivil(st.wYear, st.wMonth, st.wDay) + kDaysFrom1601To1970;
  const int64_t ms = ((st.wHour * 60 + st.wMinute) * 60 + st.wSecond) * 1000LL + st.wMilliseconds;
  *pFileTime = UInt64ToFileTime(static_cast<uint64_t>(days * kTicksPerDay + ms * 10'000));
  return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME* pFileTime, FILETIME* pLocalFileTime) {
  if (!pFileTime || !pLocalFileTime) return detail::Fail(ERROR_INVALID_PARAMETER);
  timespec ts;
  if (!FileTimeToTimespec(*pFileTime, &ts)) return detail::Fail(ERROR_INVALID_PARAMETER);
  tm local = {};
  if (!localtime_r(&ts.tv_sec, &local)) return detail::Fail(ERROR_INVALID_PARAMETER);
  const int64_t value = static_cast<int64_t>(FileTimeToUInt64(*pFileTime));
  int64_t shifted;
  if (__builtin_add_overflow(value, static_cast<int64_t>(local.tm_gmtoff) * kTicksPerSecond,
                             &shifted) ||
      shifted < 0) {
    return detail::Fail(ERROR_INVALID_PARAMETER);
  }
  *pLocalFileTime = UInt64ToFileTime(static_cast<uint64_t>(shifted));
  return TRUE;
}

bool FileTimeToUnixNs(const FILETIME& ft, int64_t* pNs) {
  const uint64_t value = FileTimeToUInt64(ft);
  if (value > kMaxFileTime) return false;
  int64_t ns;
  if (__builtin_mul_overflow(static_cast<int64_t>(value) - kUnixEpochAsFileTime, 100, &ns)) {
    return false;
  }
  *pNs = ns;
  return true;
}

bool UnixNsToFileTime(int64_t ns, FILETIME* pFt) {
  int64_t ticks = ns / 100;
  if (ns % 100 < 0) --ticks;  // floor, so a time just before 1970 stays before it
  int64_t value;
  if (__builtin_add_overflow(ticks, kUnixEpochAsFileTime, &value) || value < 0) return false;
  *pFt = UInt64ToFileTime(static_cast<uint64_t>(value));
  return true;
}

bool FileTimeToTimespec(const FILETIME& ft, timespec* pTs) {
  const uint64_t value = FileTimeToUInt64(ft);
  if (value > kMaxFileTime) return false;
  pTs->tv_sec = static_cast<time_t>(value / kTicksPerSecond) - kSecondsFrom1601To1970;
  pTs->tv_nsec = static_cast<long>(value % kTicksPerSecond) * 100;
  return true;
}

bool TimespecToFileTime(const timespec& ts, FILETIME* pFt) {
  if (ts.tv_nsec < 0 || ts.tv_nsec >= 1'000'000'000) return false;
  int64_t seconds;
  int64_t value;
  if (__builtin_add_overflow(static_cast<int64_t>(ts.tv_sec), kSecondsFrom1601To1970, &seconds) ||
      seconds < 0 || __builtin_mul_overflow(seconds, kTicksPerSecond, &value) ||
      __builtin_add_overflow(value, ts.tv_nsec / 100, &value)) {
    return false;
  }
  *pFt = UInt64ToFileTime(static_cast<uint64_t>(value));
  return true;
}

}  // namespace win32
