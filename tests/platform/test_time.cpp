// Tick counts across the 32-bit wrap, calendar conversions and FILETIME range checks.

#include "win32/time.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "../common/ChildCase.h"
#include "../common/TickWrap.h"

using namespace win32;

namespace {

// How far short of the wrap a child starts: room for its own start-up.
constexpr DWORD kWrapMarginMs = 3000;

SYSTEMTIME MakeTime(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s, WORD ms) {
  SYSTEMTIME st = {};
  st.wYear = y;
  st.wMonth = mo;
  st.wDay = d;
  st.wHour = h;
  st.wMinute = mi;
  st.wSecond = s;
  st.wMilliseconds = ms;
  return st;
}

// The counter wraps modulo 2^32 while the unsigned difference stays the elapsed time.
TEST(TickTest, WrapKeepsUnsignedDifferenceRight) {
  const test_common::ProgramResult child = test_common::RunChildCase(
      "TickChildProcess.DISABLED_Wrap", {test_common::TickAtLoadShortOfWrap(kWrapMarginMs)});
  EXPECT_TRUE(child.Passed()) << child.output;
}

TEST(TickChildProcess, DISABLED_Wrap) {
  const DWORD start = GetTickCount();
  ASSERT_GT(start, 0xFFFFFFFFu - kWrapMarginMs) << "the bias was not applied";
  // A change of the environment later on moves nothing.
  setenv("LUMIDOCK_TICK_AT_LOAD", "0", 1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  DWORD before = start;
  DWORD after = start;
  while (after >= before && std::chrono::steady_clock::now() < deadline) {
    before = after;
    after = GetTickCount();
  }
  ASSERT_LT(after, before) << "the counter never wrapped";
  const DWORD elapsed = after - start;
  EXPECT_LT(elapsed, kWrapMarginMs + 5000u);
  // The naive "start + 30000 < now" of an expiry check goes wrong here; the difference does not.
  EXPECT_FALSE(elapsed > 30000u);
  EXPECT_EQ(static_cast<DWORD>(GetTickCount64() >> 32), 1u);
}

// SYSTEMTIME <-> FILETIME on known points, and refusal of impossible dates.
TEST(CalendarTime, KnownPointsConvertBothWays) {
  struct Case {
    SYSTEMTIME st;
    uint64_t ft;
    WORD dayOfWeek;
  };
  const Case cases[] = {
      {MakeTime(1601, 1, 1, 0, 0, 0, 0), 0, 1},
      {MakeTime(1970, 1, 1, 0, 0, 0, 0), 116444736000000000ull, 4},
      {MakeTime(2000, 2, 29, 12, 34, 56, 789), 125963012967890000ull, 2},
      {MakeTime(2038, 1, 19, 3, 14, 8, 0), 137919572480000000ull, 2},
  };
  for (const Case& c : cases) {
    FILETIME ft;
    ASSERT_TRUE(SystemTimeToFileTime(&c.st, &ft));
    EXPECT_EQ(FileTimeToUInt64(ft), c.ft) << c.st.wYear;
    SYSTEMTIME back;
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
    EXPECT_EQ(back.wYear, c.st.wYear);
    EXPECT_EQ(back.wMonth, c.st.wMonth);
    EXPECT_EQ(back.wDay, c.st.wDay);
    EXPECT_EQ(back.wHour, c.st.wHour);
    EXPECT_EQ(back.wMinute, c.st.wMinute);
    EXPECT_EQ(back.wSecond, c.st.wSecond);
    EXPECT_EQ(back.wMilliseconds, c.st.wMilliseconds);
    EXPECT_EQ(back.wDayOfWeek, c.dayOfWeek) << c.st.wYear;
  }

  // The largest FILETIME is a valid date in 30828; one above it is refused.
  FILETIME top = UInt64ToFileTime(0x7FFFFFFFFFFFFFFFull);
  SYSTEMTIME st;
  ASSERT_TRUE(FileTimeToSystemTime(&top, &st));
  EXPECT_EQ(st.wYear, 30828);
  FILETIME beyond = UInt64ToFileTime(0x8000000000000000ull);
  EXPECT_FALSE(FileTimeToSystemTime(&beyond, &st));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(CalendarTime, ImpossibleDatesAreRefused) {
  const SYSTEMTIME bad[] = {
      MakeTime(2100, 2, 29, 0, 0, 0, 0),  // 2100 is not a leap year
      MakeTime(2023, 13, 1, 0, 0, 0, 0),   MakeTime(2023, 4, 31, 0, 0, 0, 0),
      MakeTime(1600, 12, 31, 0, 0, 0, 0),  MakeTime(2023, 1, 1, 24, 0, 0, 0),
      MakeTime(2023, 1, 1, 0, 0, 0, 1000), MakeTime(2023, 1, 0, 0, 0, 0, 0),
  };
  for (const SYSTEMTIME& st : bad) {
    FILETIME ft = {1, 1};
    EXPECT_FALSE(SystemTimeToFileTime(&st, &ft)) << st.wYear << "-" << st.wMonth << "-" << st.wDay;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
}

// POSIX conversions refuse what they cannot hold instead of overflowing.
TEST(CalendarTime, UnixConversionsCheckTheirRange) {
  int64_t ns = 0;
  FILETIME ft;
  ASSERT_TRUE(UnixNsToFileTime(1'600'000'000'123'456'700, &ft));
  ASSERT_TRUE(FileTimeToUnixNs(ft, &ns));
  EXPECT_EQ(ns, 1'600'000'000'123'456'700);
  ASSERT_TRUE(UnixNsToFileTime(-1, &ft));  // just before 1970 rounds down, not up
  EXPECT_EQ(FileTimeToUInt64(ft), 116444736000000000ull - 1);

  EXPECT_FALSE(FileTimeToUnixNs(UInt64ToFileTime(0x7FFFFFFFFFFFFFFFull), &ns));  // past 2262
  EXPECT_FALSE(FileTimeToUnixNs(UInt64ToFileTime(0x8000000000000000ull), &ns));

  timespec ts;
  ASSERT_TRUE(FileTimeToTimespec(UInt64ToFileTime(0), &ts));
  EXPECT_EQ(ts.tv_sec, -11644473600);
  EXPECT_FALSE(FileTimeToTimespec(UInt64ToFileTime(~0ull), &ts));
  const timespec before1601 = {-11644473601, 0};
  EXPECT_FALSE(TimespecToFileTime(before1601, &ft));
  const timespec badNs = {0, 1'000'000'000};
  EXPECT_FALSE(TimespecToFileTime(badNs, &ft));
}

TEST(CalendarTime, ClockReadingsAgree) {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  int64_t ns;
  ASSERT_TRUE(FileTimeToUnixNs(now, &ns));
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  EXPECT_LT(std::llabs(ts.tv_sec - ns / 1'000'000'000), 2);

  SYSTEMTIME utc;
  GetSystemTime(&utc);
  tm expected;
  gmtime_r(&ts.tv_sec, &expected);
  EXPECT_EQ(utc.wYear, expected.tm_year + 1900);
  EXPECT_EQ(utc.wDayOfWeek, expected.tm_wday);

  SYSTEMTIME local;
  GetLocalTime(&local);
  localtime_r(&ts.tv_sec, &expected);
  EXPECT_EQ(local.wYear, expected.tm_year + 1900);
  EXPECT_EQ(local.wMonth, expected.tm_mon + 1);
  EXPECT_LT(local.wMilliseconds, 1000);
}

// Local file time uses the offset in force at that instant, so winter and summer dates each
// keep their own local day.
TEST(CalendarTime, LocalFileTimeFollowsDaylightSaving) {
  const char* oldTz = getenv("TZ");
  std::string saved = oldTz ? oldTz : "";
  setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
  tzset();
  FILETIME winter;
  FILETIME summer;
  SYSTEMTIME w = MakeTime(2023, 1, 15, 12, 0, 0, 0);
  SYSTEMTIME s = MakeTime(2023, 7, 15, 12, 0, 0, 0);
  ASSERT_TRUE(SystemTimeToFileTime(&w, &winter));
  ASSERT_TRUE(SystemTimeToFileTime(&s, &summer));
  FILETIME localWinter;
  FILETIME localSummer;
  ASSERT_TRUE(FileTimeToLocalFileTime(&winter, &localWinter));
  ASSERT_TRUE(FileTimeToLocalFileTime(&summer, &localSummer));
  const int64_t hour = 36'000'000'000;
  EXPECT_EQ(static_cast<int64_t>(FileTimeToUInt64(localWinter) - FileTimeToUInt64(winter)),
            -5 * hour);
  EXPECT_EQ(static_cast<int64_t>(FileTimeToUInt64(localSummer) - FileTimeToUInt64(summer)),
            -4 * hour);
  // Just after 1601 there is nothing to shift back into.
  FILETIME earliest = UInt64ToFileTime(0);
  FILETIME out;
  EXPECT_FALSE(FileTimeToLocalFileTime(&earliest, &out));
  if (oldTz) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

}  // namespace
