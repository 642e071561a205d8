#pragma once
// Cases across the 32-bit tick wrap. The layer reads LUMIDOCK_TICK_AT_LOAD once as it loads, so
// such a case runs in a child process (ChildCase.h) whose count starts a few seconds short of the
// wrap, and paces itself to the point it needs.

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "win32/time.h"

namespace test_common {

// The environment entry that starts a child's tick count `marginMs` short of the wrap as its
// layer loads, however long the child takes to start.
inline std::string TickAtLoadShortOfWrap(win32::DWORD marginMs) {
  return "LUMIDOCK_TICK_AT_LOAD=" + std::to_string((uint64_t{1} << 32) - marginMs);
}

// Waits until the wrap is at most `msBefore` away. False when the count is not in the last half
// before the wrap, or wraps first: the child took longer than its margin from load to the case.
[[nodiscard]] inline bool WaitUntilWrapIn(win32::DWORD msBefore) {
  for (;;) {
    const win32::DWORD now = win32::GetTickCount();
    if (now < 0x80000000u) return false;
    if (now >= 0xFFFFFFFFu - msBefore) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace test_common
