#include "AsyncFrame/CThread.h"

#include <cstdio>

#include "AsyncFrame/MessageLoopForUI.h"
#include "AsyncFrame/ThreadRegistry.h"
#include "win32/exception.h"
#include "win32/sync.h"
#include "win32/thread.h"

using namespace win32;

namespace AsyncFrame {
namespace {

std::atomic<bool> g_failStarts{false};

// Names the thread in the debugger's way; the layer gives the name to the kernel, so every
// crash report and thread list shows it.
void NameThread(const std::string& name, DWORD threadId) {
  THREADNAME_INFO info{0x1000, name.c_str(), threadId, 0};
  RaiseException(MS_VC_EXCEPTION, 0, sizeof(info) / sizeof(ULONG_PTR),
                 reinterpret_cast<const ULONG_PTR*>(&info));
}

}  // namespace

void ThreadQuitTask::Run() {
  if (MessageLoop* pLoop = MessageLoop::Current()) pLoop->QuitWhenIdle();
}

CTSThread::CTSThread(const char* pName, int wellKnownId, int loopType)
    : m_name(pName ? pName : ""), m_loopType(loopType), m_wellKnownId(wellKnownId) {
  if (m_wellKnownId != -1) CThreadRegistry::Register(m_wellKnownId, this);
}

CTSThread::~CTSThread() {
  Stop();
  CThreadRegistry::Unregister(m_wellKnownId, this);
}

void CTSThread::ThreadMain() {
  // Every loop type gets a window loop: no thread of the program asks for a completion port.
  MessageLoop* pLoop = new MessageLoopForUI;
  m_threadId = GetCurrentThreadId();
  NameThread(m_name, m_threadId);
  m_pLoop = pLoop;
  Init();
  SetEvent(m_hStartEvent);
  Run(pLoop);
  CleanUp();
  CThreadRegistry::Unregister(m_wellKnownId, this);
  m_pLoop = nullptr;
  // StopSoon may still be posting to the loop: let it finish before the loop goes.
  if (!m_quitPosted) {
    Sleep(kQuitPostedPollMs);
    for (DWORD waited = 0; !m_quitPosted && waited < kQuitPostedWaitMs;
         waited += kQuitPostedPollMs) {
      Sleep(kQuitPostedPollMs);
    }
  }
  delete pLoop;
  OnThreadEnded();
  m_threadId = 0;
}

bool CTSThread::StopAndWait() {
  Stop();
  return true;
}

bool CTSThread::Start(StartStatus* pStatus) {
  StartStatus status;
  m_hStartEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  status.eventCreated = m_hStartEvent != nullptr;
  HANDLE hThread =
      g_failStarts ? nullptr : CreateThread(nullptr, 0, &CTSThread::ThreadProc, this, 0, nullptr);
  if (!hThread) {
    status.threadCreationFailed = true;
    std::fprintf(stderr, "CTSThread[%s]::Start failed: %u\n", m_name.c_str(),
                 g_failStarts ? ERROR_NOT_ENOUGH_MEMORY : GetLastError());
    if (m_hStartEvent) CloseHandle(m_hStartEvent);
    m_hStartEvent = nullptr;
    if (pStatus) *pStatus = status;
    return false;
  }
  m_hThread = hThread;
  status.waitFailed = WaitForSingleObject(m_hStartEvent, INFINITE) != WAIT_OBJECT_0;
  if (m_hStartEvent) CloseHandle(m_hStartEvent);
  m_hStartEvent = nullptr;
  m_started = true;
  if (pStatus) *pStatus = status;
  return true;
}

void CTSThread::Stop() {
  if (!m_started) return;
  StopSoon();
  WaitForSingleObject(m_hThread, INFINITE);
  CloseHandle(m_hThread);
  m_hThread = nullptr;
  m_started = false;
  m_stopRequested = false;
}

void CTSThread::Run(MessageLoop* pLoop) { pLoop->Run(); }

void CTSThread::StopSoon() {
  MessageLoop* pLoop = m_pLoop;
  if (m_stopRequested || !pLoop) return;
  m_stopRequested = true;
  pLoop->PostTask(Location("AsyncFrame::CTSThread::StopSoon", "CThread.cpp", 251),
                  new ThreadQuitTask, 0, true);
  m_quitPosted = true;
}

void CTSThread::AttachToCurrentThread(MessageLoop* pLoop) {
  m_threadId = GetCurrentThreadId();
  m_pLoop = pLoop;
}

void CTSThread::FailStartsForTesting(bool fail) { g_failStarts = fail; }

DWORD CTSThread::ThreadProc(LPVOID pParameter) {
  static_cast<CTSThread*>(pParameter)->ThreadMain();
  return 0;
}

}  // namespace AsyncFrame
