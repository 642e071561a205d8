#include "AsyncFrame/AsyncFrame.h"

#include <utility>

#include "AsyncFrame/CThread.h"
#include "AsyncFrame/MessageLoopForUI.h"
#include "AsyncFrame/MessageLoopProxyImpl.h"
#include "AsyncFrame/ThreadRegistry.h"
#include "win32/exception.h"

using namespace win32;

namespace AsyncFrame {
namespace {

constexpr DWORD kThreadStartFailure = 0xDEADDEAD;

struct WellKnownThread {
  const char* pName;
  int id;
  int loopType;
};

constexpr WellKnownThread kWellKnownThreads[] = {
    {"thread_file", kThreadFile, MessageLoop::kTypeUI},
    {"thread_main_logic", kThreadMainLogic, MessageLoop::kTypeUI},
    {"thread_logic_long_task", kThreadLogicLongTask, MessageLoop::kTypeUI},
};

// The owning table of thread objects and the table of proxies (one reference each).
// Lifetime: a process-wide object; at exit it releases every proxy and deletes every thread
//   still held (which stops them). Built right after the library binding, so it is torn down
//   before the library is freed.
// Threading: written by the main thread at start-up and exit; the proxy table is read by any
//   thread under the registry lock.
class CThreadTables {
 public:
  CThreadTables() = default;
  CThreadTables(const CThreadTables&) = delete;
  CThreadTables& operator=(const CThreadTables&) = delete;
  ~CThreadTables() { Clear(); }

  // Empties both tables: the proxies are released, the thread objects deleted (which stops the
  // workers), and the main thread's loop destroyed when this is the main thread.
  void Clear();

  CTSThread* m_threads[kThreadCount] = {};
  MessageLoopProxy* m_proxies[kThreadCount] = {};
};

void CThreadTables::Clear() {
  MessageLoopProxy* proxies[kThreadCount];
  EnterCriticalSection(&CThreadRegistry::Lock());
  for (int i = 0; i < kThreadCount; ++i) proxies[i] = std::exchange(m_proxies[i], nullptr);
  LeaveCriticalSection(&CThreadRegistry::Lock());
  for (MessageLoopProxy* pProxy : proxies) {
    if (pProxy) pProxy->Release();
  }
  for (int i = kThreadCount - 1; i >= 0; --i) {
    CTSThread* pThread = std::exchange(m_threads[i], nullptr);
    if (!pThread) continue;
    if (i == kThreadMain && pThread->Loop() == MessageLoop::Current()) {
      MessageLoop* pLoop = pThread->Loop();
      pThread->AttachToCurrentThread(nullptr);
      delete pLoop;
    }
    delete pThread;
  }
}

// Built right after the library binding (init_priority 1001), torn down before it.
__attribute__((init_priority(1002))) CThreadTables g_tables;

void SetProxy(int id, MessageLoopProxy* pProxy) {
  EnterCriticalSection(&CThreadRegistry::Lock());
  MessageLoopProxy* pOld = std::exchange(g_tables.m_proxies[id], pProxy);
  LeaveCriticalSection(&CThreadRegistry::Lock());
  if (pOld) pOld->Release();
}

void AttachMainThread() {
  auto* pLoop = new MessageLoopForUI;
  auto* pThread = new CTSThread("", kThreadMain, MessageLoop::kTypeUI);
  pThread->AttachToCurrentThread(pLoop);
  delete std::exchange(g_tables.m_threads[kThreadMain], pThread);
  pLoop->Proxy()->AddRef();
  SetProxy(kThreadMain, pLoop->Proxy());
}

void StartWorkerThreads() {
  for (const WellKnownThread& row : kWellKnownThreads) {
    auto* pThread = new CTSThread(row.pName, row.id, row.loopType);
    g_tables.m_threads[row.id] = pThread;
    CTSThread::StartStatus status;
    if (!pThread->Start(&status)) {
      RaiseException(kThreadStartFailure, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    }
    MessageLoopProxyImpl* pProxy = pThread->Loop()->Proxy();
    pProxy->AddRef();
    SetProxy(row.id, pProxy);
  }
}

}  // namespace

int StartThreads() {
  AttachMainThread();
  StartWorkerThreads();
  return 1;
}

void StopAllThreads() {
  for (int id = kThreadLogicLongTask; id >= kThreadFile; --id) {
    CTSThread* pThread = CThreadRegistry::Find(id);
    if (pThread && pThread->Loop()) pThread->Stop();
  }
  if (MessageLoop* pLoop = MessageLoop::Current()) pLoop->Quit();
  // Nothing may run after the platform shut down: the stopped threads go, and so does the main
  // thread's loop with whatever is still queued on it.
  g_tables.Clear();
}

bool PostTaskToThread(int threadId, const Location& location, Task* pTask) {
  MessageLoopProxy* pProxy = GetThreadProxy(threadId);
  if (!pProxy) {
    delete pTask;
    return false;
  }
  bool posted = pProxy->PostTask(location, pTask);
  pProxy->Release();
  return posted;
}

MessageLoopProxy* GetThreadProxy(int threadId) {
  if (threadId < 0 || threadId >= kThreadCount) return nullptr;
  EnterCriticalSection(&CThreadRegistry::Lock());
  MessageLoopProxy* pProxy = g_tables.m_proxies[threadId];
  if (pProxy) pProxy->AddRef();
  LeaveCriticalSection(&CThreadRegistry::Lock());
  return pProxy;
}

}  // namespace AsyncFrame
