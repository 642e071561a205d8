#pragma once

#include <cstdint>
#include <vector>

#include "Common/ThreadAnnotations.h"
#include "win32/sync.h"

class CIOHandler;

// The I/O thread's timers: a short list in insertion order, at most one entry per (handler,
// timer id), counted down by the time the loop spent waiting.
// Lifetime: owned by CIOThread, made and destroyed with its completion port.
// Threading: SetTimer, KillTimer and RemoveHandler from any thread; NextTimeout and Tick on the
//   I/O thread. The lock covers list work only: never a callback, so callbacks may set and kill
//   timers freely.
class CIOTimerTable {
 public:
  CIOTimerTable();
  CIOTimerTable(const CIOTimerTable&) = delete;
  CIOTimerTable& operator=(const CIOTimerTable&) = delete;
  ~CIOTimerTable();

  // Adds the timer, or restarts the handler's timer of that id with the new interval and repeat
  // flag.
  void SetTimer(CIOHandler* pHandler, uint32_t timerId, uint32_t intervalMs, bool repeat);
  void KillTimer(CIOHandler* pHandler, uint32_t timerId);
  void RemoveHandler(CIOHandler* pHandler);
  // The smallest remaining time, or INFINITE when there is no timer.
  win32::DWORD NextTimeout();
  // Charges elapsedMs to every timer and fires the due ones, in list order, each through a
  // lifecycle guard of its handler. A periodic timer is reloaded with its full interval and fires
  // at most once per tick; a due timer killed by an earlier callback of the same tick still fires
  // once.
  void Tick(uint32_t elapsedMs);

  size_t CountForTesting();
  // Whether the handler has a timer of that id.
  bool HasTimerForTesting(CIOHandler* pHandler, uint32_t timerId);

 private:
  struct Entry {
    uint32_t timerId;
    CIOHandler* pHandler;
    uint32_t remainingMs;
    uint32_t intervalMs;
    bool repeat;
  };
  struct Due {
    uint32_t timerId;
    CIOHandler* pHandler;
  };

  win32::CRITICAL_SECTION m_lock;
  std::vector<Entry> m_entries GUARDED_BY(m_lock);
};
