#pragma once
// Timers of the UI thread. A timer is keyed by its call-back and id: setting the same pair again
// replaces it, and erasing id 0 erases every timer of that call-back. Each timer holds one
// reference to its call-back. Call-backs run on the UI thread from its main loop (through the
// host), and may set or erase timers, including their own, or drop their last reference.
// Threading: UI thread only (Util::Misc::SetMainAndLogicThreadId); a call from another thread
// asserts and does nothing.

#include <cstdint>
#include <vector>

#include "Basalt/KwInterfaces.h"

// Where timers wait: a millisecond clock and one wake-up at the earliest deadline.
class IKwTimerHost {
 public:
  static constexpr uint64_t kNever = UINT64_MAX;

  virtual ~IKwTimerHost() = default;
  virtual uint64_t NowMs() = 0;
  // Calls KwTimer::RunDueTimers at `dueMs` or soon after, replacing the previous request; kNever
  // cancels it.
  virtual void WakeAt(uint64_t dueMs) = 0;
};

namespace KwTimer {

// Fires once after `ms`.
bool SetTimeout(win32::DWORD ms, IKwTimerCallback* pCallback, win32::UINT timerId);
// Fires every `ms` until erased.
bool SetInterval(win32::DWORD ms, IKwTimerCallback* pCallback, win32::UINT timerId);
bool EraseTimerCallback(IKwTimerCallback* pCallback, win32::UINT timerId);

// The host's wake-up: runs each due timer once, earliest first.
void RunDueTimers();
// Replaces the host (not owned; null returns to the default, the UI thread's GLib main context).
// Timers already set move to the new host.
void SetHost(IKwTimerHost* pHost);
size_t TimerCountForTesting();

// A timer as the test port reports it.
struct TimerInfo {
  IKwTimerCallback* pCallback;  // not held
  win32::UINT id;
  uint64_t intervalMs;
  uint64_t dueInMs;
  bool repeat;
};
// The timers set now, in the order they were first set.
std::vector<TimerInfo> LiveTimersForTesting();

}  // namespace KwTimer
