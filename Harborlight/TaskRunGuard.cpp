#include "TaskRunGuard.h"

#include "Common/Lock.h"
#include "win32/time.h"
#include "win32/window.h"

using namespace win32;

TaskRunGuard::TaskRunGuard(TickSource tick) : m_tick(tick ? tick : &GetTickCount) {
  InitCriticalSection(&m_lock);
}

TaskRunGuard::~TaskRunGuard() {
  Cancel();
  WaitIdle();
  if (m_hIdleEvent) CloseHandle(m_hIdleEvent);
  DeleteCriticalSection(&m_lock);
}

void TaskRunGuard::AddRef() { InterlockedIncrement(&m_refCount); }

void TaskRunGuard::Release() {
  if (InterlockedDecrement(&m_refCount) == 0) delete this;
}

bool TaskRunGuard::TryEnter() {
  ScopedLock lock(&m_lock);
  if (m_cancelled) return false;
  m_running.fetch_add(1);
  return true;
}

void TaskRunGuard::Leave() {
  ScopedLock lock(&m_lock);
  if (m_running.fetch_sub(1) == 1 && m_hIdleEvent) SetEvent(m_hIdleEvent);
}

void TaskRunGuard::Cancel() {
  ScopedLock lock(&m_lock);
  m_cancelled = true;
  if (m_running.load() > 0 && !m_hIdleEvent)
    m_hIdleEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

void TaskRunGuard::WaitIdle() {
  const DWORD start = m_tick();
  if (m_running.load() == 0) return;
  bool quitSeen = false;
  for (;;) {
    HANDLE hEvent;
    {
      ScopedLock lock(&m_lock);
      hEvent = m_hIdleEvent;
    }
    if (!hEvent) return;
    const DWORD result = MsgWaitForMultipleObjects(1, &hEvent, FALSE, kPumpWaitMs, QS_ALLINPUT);
    if (result == WAIT_OBJECT_0 || result == WAIT_FAILED) return;
    MSG msg;
    if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) quitSeen = true;
      DispatchMessageW(&msg);
    }
    if (quitSeen && m_tick() - start > kQuitWaitMs) return;
    if (m_running.load() == 0) return;
  }
}
