#include "AsyncFrame/MessageLoopProxyImpl.h"

#include "AsyncFrame/DeleteTask.h"
#include "AsyncFrame/MessageLoop.h"

using namespace win32;

namespace AsyncFrame {

MessageLoopProxyImpl::MessageLoopProxyImpl(MessageLoop* pLoop) : m_pTargetLoop(pLoop) {
  InitializeCriticalSectionAndSpinCount(&m_lock, kLockSpinCount);
}

MessageLoopProxyImpl::~MessageLoopProxyImpl() {
  // OnDestruct posts the task that deletes this proxy while it holds the lock: that thread may
  // still be leaving it when the task runs here. Taking it once waits that out.
  EnterCriticalSection(&m_lock);
  LeaveCriticalSection(&m_lock);
  DeleteCriticalSection(&m_lock);
}

bool MessageLoopProxyImpl::PostTask(const Location& location, Task* pTask) {
  return PostTaskHelper(location, pTask, 0, true);
}

bool MessageLoopProxyImpl::PostDelayedTask(const Location& location, Task* pTask, int64_t delayMs) {
  return PostTaskHelper(location, pTask, delayMs, true);
}

bool MessageLoopProxyImpl::PostNonNestableTask(const Location& location, Task* pTask) {
  return PostTaskHelper(location, pTask, 0, false);
}

bool MessageLoopProxyImpl::PostNonNestableDelayedTask(const Location& location, Task* pTask,
                                                      int64_t delayMs) {
  return PostTaskHelper(location, pTask, delayMs, false);
}

bool MessageLoopProxyImpl::BelongsToCurrentThread() {
  EnterCriticalSection(&m_lock);
  bool belongs = m_pTargetLoop && m_pTargetLoop == MessageLoop::Current();
  LeaveCriticalSection(&m_lock);
  return belongs;
}

void MessageLoopProxyImpl::OnDestruct() const {
  bool deleteNow = true;
  EnterCriticalSection(&m_lock);
  if (m_pTargetLoop && m_pTargetLoop != MessageLoop::Current()) {
    m_pTargetLoop->PostTask(
        Location("AsyncFrame::MessageLoopProxyImpl::OnDestruct", "MessageLoopProxyImpl.cpp", 56),
        new DeleteTask<MessageLoopProxyImpl>(this), 0, false);
    deleteNow = false;
  }
  LeaveCriticalSection(&m_lock);
  if (deleteNow) delete this;
}

void MessageLoopProxyImpl::WillDestroyCurrentMessageLoop() {
  EnterCriticalSection(&m_lock);
  m_pTargetLoop = nullptr;
  LeaveCriticalSection(&m_lock);
}

bool MessageLoopProxyImpl::PostTaskHelper(const Location& location, Task* pTask, int64_t delayMs,
                                          bool nestable) {
  EnterCriticalSection(&m_lock);
  if (m_pTargetLoop) {
    m_pTargetLoop->PostTask(location, pTask, static_cast<DWORD>(delayMs), nestable);
    LeaveCriticalSection(&m_lock);
    return true;
  }
  LeaveCriticalSection(&m_lock);
  delete pTask;
  return false;
}

}  // namespace AsyncFrame
