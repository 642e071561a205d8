#pragma once
// A thread's task loop: any thread posts, the loop's thread runs the tasks. Immediate tasks run
// in posting order; delayed ones by run time, then posting order; a non-nestable task that
// arrives inside a nested run waits until the outermost run is idle.
// Lifetime: made on its thread, where it becomes the current loop; destroyed on the same thread,
//   deleting every task still queued without running it.
// Threading: PostTask from any thread; everything else on the loop's thread. The incoming queue
//   is the only state other threads touch (m_incomingLock); the have-work flag changes only by
//   interlocked exchange.

#include <deque>
#include <queue>
#include <vector>

#include "AsyncFrame/Location.h"
#include "AsyncFrame/PendingTask.h"
#include "AsyncFrame/Task.h"
#include "Common/ThreadAnnotations.h"
#include "win32/sync.h"

namespace AsyncFrame {

class MessageLoopProxyImpl;

class MessageLoop {
 public:
  // Loop types. Completion-port loops exist in the design, but no thread of the program uses one.
  static constexpr int kTypeUI = 1;
  static constexpr int kTypeIO = 2;

  static constexpr win32::DWORD kIncomingLockSpinCount = 2000;
  // Rounds of deleting pending tasks at destruction (a task's destructor may post more).
  static constexpr int kMaxDestructionRounds = 100;

  explicit MessageLoop(int type);
  MessageLoop(const MessageLoop&) = delete;
  MessageLoop& operator=(const MessageLoop&) = delete;
  // Most-derived destructors call WillDestroy first, while the loop can still be woken.
  virtual ~MessageLoop();
  // Wakes the loop; any thread.
  virtual void ScheduleWork() = 0;
  virtual void DoRunLoop();
  virtual void WaitForWork() = 0;
  // Notes the next delayed run time.
  virtual void ScheduleDelayedWork(win32::DWORD delayedRunTime);

  // The calling thread's loop, or null.
  static MessageLoop* Current();

  // Any thread. The task belongs to the loop from here on; a delay of 0 means none.
  void PostTask(const Location& location, Task* pTask, win32::DWORD delayMs, bool nestable);
  // Runs until it quits; nested calls (from a task) run an inner loop.
  void Run();
  // The innermost run ends once no immediate, due delayed or deferred work is left.
  void QuitWhenIdle();
  // Ends the innermost run after the current step.
  void Quit() { m_quit = true; }

  int Type() const { return m_type; }
  // The loop's own proxy; no reference is added.
  MessageLoopProxyImpl* Proxy() const { return m_pProxy; }
  bool IsNested() const { return m_pRunState && m_pRunState->depth > 1; }

 protected:
  struct RunState {
    int depth;  // 1 for the outermost run
    bool quitWhenIdle;
    RunState* pEnclosing;
  };

  // Runs at most one task; true when one ran.
  bool DoWork();
  // Runs one due delayed task; *pNextRunTime gets the next run time (the clock when none).
  bool DoDelayedWork(win32::DWORD* pNextRunTime);
  // Runs one deferred task when the outermost run is idle, else notes quit-when-idle.
  bool DoIdleWork();
  // Milliseconds until the first delayed task is due (at least 0), -1 with none.
  int CurrentDelay();
  // Deletes what is queued (repeatedly, while tasks' destructors post more), detaches the
  // proxy so later posts fail, and leaves the thread's current-loop slot.
  void WillDestroy();

  // Interlocked: 1 while a wake-up is on its way.
  volatile win32::LONG m_haveWork = 0;
  bool m_quit = false;
  win32::DWORD m_nextDelayedRunTime = 0;
  RunState* m_pRunState = nullptr;

 private:
  using DelayedQueue = std::priority_queue<PendingTask, std::vector<PendingTask>, LaterPendingTask>;

  void ReloadWorkQueue();
  // A non-nestable task inside a nested run waits in the deferred queue; otherwise it runs.
  bool DeferOrRunPendingTask(const PendingTask& pending);
  void RunTask(Task* pTask);
  void AddToDelayedQueue(PendingTask pending);
  // One pass of WillDestroy; whether anything was deleted.
  bool DeletePendingTasks();

  std::deque<PendingTask> m_workQueue;  // loop thread only
  std::deque<PendingTask> m_incomingQueue GUARDED_BY(m_incomingLock);
  win32::CRITICAL_SECTION m_incomingLock;
  DelayedQueue m_delayedQueue;  // loop thread only
  int m_nextSequenceNumber = 0;
  const int m_type;
  MessageLoopProxyImpl* m_pProxy;           // one reference, until WillDestroy
  std::deque<PendingTask> m_deferredQueue;  // loop thread only
  bool m_destroyed = false;
};

}  // namespace AsyncFrame
