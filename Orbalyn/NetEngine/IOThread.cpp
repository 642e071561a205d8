#include "NetEngine/IOThread.h"

#include "NetEngine/DllLog.h"
#include "NetEngine/IOOperation.h"
#include "NetEngine/IOTimerTable.h"
#include "win32/iocp.h"
#include "win32/thread.h"
#include "win32/time.h"
#include "win32/winsock.h"

using namespace win32;

CIOThread::CIOThread()
    : m_hPort(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0)),
      m_pTimerTable(std::make_unique<CIOTimerTable>()) {
  if (!m_hPort.load()) DLL_LOG("IOThread create completion port failed: %u", GetLastError());
}

CIOThread::~CIOThread() {
  HANDLE hPort = m_hPort.exchange(nullptr);
  if (hPort) CloseHandle(hPort);
}

int CIOThread::Start() {
  if (!m_hPort.load()) {
    DLL_LOG("IOThread Start refused: no completion port");
    return -1;
  }
  return CABThread::Start();
}

int CIOThread::Stop(DWORD timeoutMs) {
  if (!HasThread()) return CABThread::Stop(timeoutMs);
  if (!PostQueuedCompletionStatus(m_hPort.load(), 0, kKeyQuit, nullptr)) return -1;
  return CABThread::Stop(timeoutMs);
}

void CIOThread::Run() {
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
  const HANDLE hPort = m_hPort.load();
  for (;;) {
    DWORD timeoutMs = m_pTimerTable->NextTimeout();
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* pOverlapped = nullptr;
    DWORD before = GetTickCount();
    BOOL ok = GetQueuedCompletionStatus(hPort, &bytes, &key, &pOverlapped, timeoutMs);
    DWORD error = ok ? 0 : GetLastError();
    DWORD after = GetTickCount();

    if (!pOverlapped) {
      if (ok && key == kKeyQuit) break;
      // The wait only ended for the timer table to be read again.
      if (ok && key == kKeyWake) continue;
      // Anything but a time-out without an operation means the port is gone (closed: 735);
      // waiting on it again would return at once forever.
      if (!ok && error != WAIT_TIMEOUT) {
        DLL_LOG("IOThread Run: completion port wait failed: %u", error);
        break;
      }
    }

    DWORD elapsedMs = after - before;  // modulo 2^32: right across the tick wrap
    if (elapsedMs > 0) m_pTimerTable->Tick(elapsedMs);

    if (pOverlapped) {
      CIOOperation* pOp = CIOOperation::FromOverlapped(pOverlapped);
      if (!ok) pOp->SetError(error);
      pOp->SetBytesTransferred(bytes);
      CIOOperation::NotifyIoComplete(pOp);
      CIOOperation::Release(pOp);  // the completion's
    }
  }
}

bool CIOThread::Associate(SOCKET socket) {
  ULONG_PTR key = static_cast<ULONG_PTR>(socket);
  return CreateIoCompletionPort(reinterpret_cast<HANDLE>(key), m_hPort.load(), key, 0) != nullptr;
}

void CIOThread::SetTimer(CIOHandler* pHandler, uint32_t timerId, uint32_t intervalMs, bool repeat) {
  m_pTimerTable->SetTimer(pHandler, timerId, intervalMs, repeat);
  // A failed wake only delays the timer to the next return of the wait.
  if (HasThread() && !IsCurrentThread()) {
    PostQueuedCompletionStatus(m_hPort.load(), 0, kKeyWake, nullptr);
  }
}

void CIOThread::KillTimer(CIOHandler* pHandler, uint32_t timerId) {
  m_pTimerTable->KillTimer(pHandler, timerId);
}

std::unique_ptr<CIOThread> CIOThread::CreateForTesting() {
  return std::unique_ptr<CIOThread>(new CIOThread());
}

void CIOThread::ClosePortForTesting() {
  HANDLE hPort = m_hPort.exchange(nullptr);
  if (hPort) CloseHandle(hPort);
}
