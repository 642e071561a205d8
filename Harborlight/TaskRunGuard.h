#pragma once
// What the QR page shares with every task it posts: how many of the tasks' calls into the page
// are running, and whether the page has called them off. At teardown the page cancels the guard
// (no call starts after that) and waits, pumping its thread's messages, for the running calls
// to end.
// Lifetime: counted; the page holds one reference, each posted task one. The last release
//   cancels, waits (nothing runs by then), closes the event and frees the guard.
// Threading: TryEnter and Leave on the task threads; Cancel and WaitIdle on the UI thread. The
//   lock covers the flag and the event; the running count is atomic, because WaitIdle reads it
//   without the lock while task threads change it.

#include <atomic>

#include "Common/ThreadAnnotations.h"
#include "win32/base.h"
#include "win32/sync.h"

class TaskRunGuard {
 public:
  using TickSource = win32::DWORD (*)();
  // WaitIdle gives up this long after a WM_QUIT it took, even with calls still running.
  static constexpr win32::DWORD kQuitWaitMs = 10000;
  static constexpr win32::DWORD kPumpWaitMs = 100;

  // With one reference for the creator. `tick` is the clock WaitIdle measures by (GetTickCount
  // when null).
  explicit TaskRunGuard(TickSource tick = nullptr);
  TaskRunGuard(const TaskRunGuard&) = delete;
  TaskRunGuard& operator=(const TaskRunGuard&) = delete;

  void AddRef();
  void Release();

  // False once cancelled; else one more call runs.
  bool TryEnter();
  void Leave();
  // No call starts from now on; WaitIdle can wait for those running.
  void Cancel();
  // Returns once no call runs, pumping this thread's messages meanwhile; or once kQuitWaitMs
  // passed since it began and a WM_QUIT was taken; or at once when nothing runs or the guard
  // was not cancelled.
  void WaitIdle();

  int RunningCount() const { return m_running.load(); }

 private:
  ~TaskRunGuard();

  volatile win32::LONG m_refCount = 1;
  std::atomic<int> m_running{0};
  win32::CRITICAL_SECTION m_lock;
  bool m_cancelled GUARDED_BY(m_lock) = false;
  // Manual reset; made by Cancel while calls run, set by the last Leave.
  win32::HANDLE m_hIdleEvent GUARDED_BY(m_lock) = nullptr;
  const TickSource m_tick;
};
