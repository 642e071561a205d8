#include "AsyncFrame/LoopClock.h"

#include <atomic>
#include <cstdint>

#include "win32/time.h"

namespace AsyncFrame {
namespace {

// The base tick count, with bit 32 set once it is stored (a tick count of 0 is a valid base).
std::atomic<uint64_t> g_base{0};
constexpr uint64_t kBaseSet = uint64_t{1} << 32;

}  // namespace

win32::DWORD LoopClockNow() {
  win32::DWORD tick = win32::GetTickCount();
  uint64_t base = g_base.load(std::memory_order_acquire);
  if (!(base & kBaseSet)) {
    uint64_t expected = 0;
    uint64_t mine = kBaseSet | tick;
    base =
        g_base.compare_exchange_strong(expected, mine, std::memory_order_acq_rel) ? mine : expected;
  }
  win32::DWORD baseTick = static_cast<win32::DWORD>(base);
  win32::DWORD reading = tick - baseTick;
  if (tick < baseTick) --reading;
  return reading;
}

}  // namespace AsyncFrame
