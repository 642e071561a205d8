#pragma once
// Cases across the 32-bit tick wrap. The layer reads LUMIDOCK_TICK_BIAS once as it loads, so such
// a case runs in a child process (ChildCase.h) started with the bias a few seconds short of the
// wrap, and paces itself to the point it needs.

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "win32/time.h"

namespace test_common {

// The environment entry that starts a child's tick count `marginMs` short of the wrap.
inline std::string TickBiasShortOfWrap(win32::DWORD marginMs) {
  const int64_t now = static_cast<int64_t>(win32::GetTickCount64());
  return "LUMIDOCK_TICK_BIAS=" + std::to_string((int64_t{1} << 32) - now - marginMs);
}

// Waits until the wrap is at most `msBefore` away. False when the count is not in the last half
// before the wrap, or wraps first: the child took longer to start than its margin.
[[nodiscard]] inline bool WaitUntilWrapIn(win32::DWORD msBefore) {
  for (;;) {
    const win32::DWORD now = win32::GetTickCount();
    if (now < 0x80000000u) return false;
    if (now >= 0xFFFFFFFFu - msBefore) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace test_common
