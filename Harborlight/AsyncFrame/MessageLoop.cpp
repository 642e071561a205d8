#include "AsyncFrame/MessageLoop.h"

#include <utility>

#include "AsyncFrame/LoopClock.h"
#include "AsyncFrame/MessageLoopProxyImpl.h"

using namespace win32;

namespace AsyncFrame {
namespace {

thread_local MessageLoop* t_pCurrentLoop = nullptr;

}  // namespace

MessageLoop::MessageLoop(int type) : m_type(type) {
  InitializeCriticalSectionAndSpinCount(&m_incomingLock, kIncomingLockSpinCount);
  m_pProxy = new MessageLoopProxyImpl(this);
  m_pProxy->AddRef();  // the loop's own
  t_pCurrentLoop = this;
}

MessageLoop::~MessageLoop() {
  // Derived loops have called WillDestroy; a loop used as a plain base gets it here.
  WillDestroy();
  DeleteCriticalSection(&m_incomingLock);
}

void MessageLoop::DoRunLoop() {
  for (;;) {
    bool didWork = DoWork();
    if (m_quit) break;
    didWork |= DoDelayedWork(&m_nextDelayedRunTime);
    if (m_quit) break;
    if (didWork) continue;
    didWork = DoIdleWork();
    if (m_quit) break;
    if (!didWork) WaitForWork();
  }
}

void MessageLoop::ScheduleDelayedWork(DWORD delayedRunTime) {
  m_nextDelayedRunTime = delayedRunTime;
}

MessageLoop* MessageLoop::Current() { return t_pCurrentLoop; }

void MessageLoop::PostTask(const Location& location, Task* pTask, DWORD delayMs, bool nestable) {
  pTask->SetLocation(location);
  PendingTask pending{pTask, 0, delayMs > 0, 0, nestable};
  if (pending.hasDelay) pending.delayedRunTime = LoopClockNow() + delayMs;
  EnterCriticalSection(&m_incomingLock);
  m_incomingQueue.push_back(pending);
  LeaveCriticalSection(&m_incomingLock);
  ScheduleWork();
}

void MessageLoop::Run() {
  RunState state{m_pRunState ? m_pRunState->depth + 1 : 1, false, m_pRunState};
  m_pRunState = &state;
  // Restores the enclosing run also when a task unwinds through here. A quit ends this run only:
  // a quit the enclosing run must see reaches it again (WM_QUIT is posted again).
  struct PopRunState {
    MessageLoop* pLoop;
    ~PopRunState() {
      pLoop->m_pRunState = pLoop->m_pRunState->pEnclosing;
      pLoop->m_quit = false;
    }
  } pop{this};
  DoRunLoop();
}

void MessageLoop::QuitWhenIdle() {
  if (m_pRunState) m_pRunState->quitWhenIdle = true;
}

bool MessageLoop::DoWork() {
  for (;;) {
    ReloadWorkQueue();
    if (m_workQueue.empty()) return false;
    do {
      PendingTask pending = m_workQueue.front();
      m_workQueue.pop_front();
      if (pending.hasDelay) {
        AddToDelayedQueue(pending);
        if (m_delayedQueue.top().pTask == pending.pTask) {
          ScheduleDelayedWork(pending.delayedRunTime);
        }
      } else if (DeferOrRunPendingTask(pending)) {
        return true;
      }
    } while (!m_workQueue.empty());
  }
}

bool MessageLoop::DoDelayedWork(DWORD* pNextRunTime) {
  if (m_delayedQueue.empty()) {
    *pNextRunTime = LoopClockNow();
    return false;
  }
  PendingTask top = m_delayedQueue.top();
  if (top.delayedRunTime > LoopClockNow()) {
    *pNextRunTime = top.delayedRunTime;
    return false;
  }
  m_delayedQueue.pop();
  if (!m_delayedQueue.empty()) *pNextRunTime = m_delayedQueue.top().delayedRunTime;
  return DeferOrRunPendingTask(top);
}

bool MessageLoop::DoIdleWork() {
  if (m_pRunState && m_pRunState->depth == 1 && !m_deferredQueue.empty()) {
    PendingTask pending = m_deferredQueue.front();
    m_deferredQueue.pop_front();
    RunTask(pending.pTask);
    return true;
  }
  if (m_pRunState && m_pRunState->quitWhenIdle) m_quit = true;
  return false;
}

int MessageLoop::CurrentDelay() {
  if (m_delayedQueue.empty()) return -1;
  m_nextDelayedRunTime = m_delayedQueue.top().delayedRunTime;
  int delay = static_cast<int>(m_nextDelayedRunTime - LoopClockNow());
  return delay < 0 ? 0 : delay;
}

void MessageLoop::WillDestroy() {
  if (m_destroyed) return;
  m_destroyed = true;
  for (int round = 0; round < kMaxDestructionRounds; ++round) {
    DeletePendingTasks();
    ReloadWorkQueue();
    if (!DeletePendingTasks()) break;
  }
  // From here on posts fail; a post that slipped in before is deleted with the last pass.
  m_pProxy->WillDestroyCurrentMessageLoop();
  ReloadWorkQueue();
  DeletePendingTasks();
  std::exchange(m_pProxy, nullptr)->Release();
  if (t_pCurrentLoop == this) t_pCurrentLoop = nullptr;
}

void MessageLoop::ReloadWorkQueue() {
  if (!m_workQueue.empty()) return;
  EnterCriticalSection(&m_incomingLock);
  if (!m_incomingQueue.empty()) m_workQueue.swap(m_incomingQueue);
  LeaveCriticalSection(&m_incomingLock);
}

bool MessageLoop::DeferOrRunPendingTask(const PendingTask& pending) {
  // Without a run (the main thread's loop, whose tasks come through the program's own message
  // loop) there is no nesting to wait for.
  if (!pending.nestable && m_pRunState && m_pRunState->depth != 1) {
    m_deferredQueue.push_back(pending);
    return false;
  }
  RunTask(pending.pTask);
  return true;
}

void MessageLoop::RunTask(Task* pTask) {
  pTask->Run();
  delete pTask;
}

void MessageLoop::AddToDelayedQueue(PendingTask pending) {
  pending.sequenceNumber = m_nextSequenceNumber++;
  m_delayedQueue.push(pending);
}

bool MessageLoop::DeletePendingTasks() {
  bool deleted = false;
  // Delayed entries still in the work queue join the delayed queue first, so one rule deletes
  // them all.
  while (!m_workQueue.empty()) {
    PendingTask pending = m_workQueue.front();
    m_workQueue.pop_front();
    if (pending.hasDelay) {
      AddToDelayedQueue(pending);
    } else {
      delete pending.pTask;
      deleted = true;
    }
  }
  while (!m_deferredQueue.empty()) {
    delete m_deferredQueue.front().pTask;
    m_deferredQueue.pop_front();
    deleted = true;
  }
  while (!m_delayedQueue.empty()) {
    Task* pTask = m_delayedQueue.top().pTask;
    m_delayedQueue.pop();
    delete pTask;
    deleted = true;
  }
  return deleted;
}

}  // namespace AsyncFrame
