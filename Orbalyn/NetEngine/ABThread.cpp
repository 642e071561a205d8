#include "NetEngine/ABThread.h"

#include "win32/sync.h"
#include "win32/thread.h"

using namespace win32;

CABThread::CABThread() : m_hStopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

CABThread::~CABThread() {
  if (m_hStopEvent) CloseHandle(m_hStopEvent);
}

int CABThread::Start() {
  if (m_hThread.load() || !m_hStopEvent) return -1;
  ResetEvent(m_hStopEvent);
  DWORD threadId = 0;
  // Suspended, so the handle and id are stored before the body can look at them.
  HANDLE hThread =
      CreateThread(nullptr, 0, &CABThread::ThreadProc, this, CREATE_SUSPENDED, &threadId);
  if (!hThread) return -1;
  m_hThread.store(hThread);
  m_threadId.store(threadId);
  ResumeThread(hThread);
  return 0;
}

int CABThread::Stop(DWORD timeoutMs) {
  HANDLE hThread = m_hThread.load();
  if (!hThread) {
    m_threadId.store(0);
    return 0;
  }
  SetEvent(m_hStopEvent);
  if (WaitForSingleObject(hThread, timeoutMs) != WAIT_OBJECT_0) return -1;
  ResetEvent(m_hStopEvent);
  CloseHandle(hThread);
  m_hThread.store(nullptr);
  m_threadId.store(0);
  return 0;
}

DWORD CABThread::Join() { return WaitForSingleObject(m_hThread.load(), INFINITE); }

bool CABThread::IsCurrentThread() const {
  DWORD threadId = m_threadId.load();
  return threadId != 0 && threadId == GetCurrentThreadId();
}

DWORD CABThread::ThreadProc(void* pParameter) {
  static_cast<CABThread*>(pParameter)->Run();
  return 0;
}
