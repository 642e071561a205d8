#pragma once
// The program's four task threads: 0 is the main (UI) thread, 1 to 3 are workers started from a
// fixed table. Any thread posts to them by id.

#include "AsyncFrame/Location.h"
#include "AsyncFrame/MessageLoopProxy.h"
#include "AsyncFrame/Task.h"

namespace AsyncFrame {

enum WellKnownThreadId {
  kThreadMain = 0,
  kThreadFile = 1,           // "thread_file"
  kThreadMainLogic = 2,      // "thread_main_logic"
  kThreadLogicLongTask = 3,  // "thread_logic_long_task"
};
inline constexpr int kThreadCount = 4;

// Main thread only, at start-up: the calling thread becomes thread 0 (a loop it never runs: its
// tasks come through the program's message loop), then threads 1 to 3 start, each with its loop
// running before this returns. A worker that cannot start ends the process. Returns 1.
int StartThreads();
// Main thread only, at exit: stops threads 3, 2 and 1 (each waits for its end), then deletes
// the thread objects, releases the proxies and destroys the main thread's loop, deleting the
// tasks still queued there without running them.
void StopAllThreads();
// Posts a nestable task without delay; false (the task deleted) for an id above 3 or a thread
// without a loop.
bool PostTaskToThread(int threadId, const Location& location, Task* pTask);
// A new reference to the thread's proxy, or null.
MessageLoopProxy* GetThreadProxy(int threadId);

}  // namespace AsyncFrame
