#include "win32/thread.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "handles.h"

namespace win32 {
namespace {

const HANDLE kCurrentThreadHandle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

bool IsValidPriority(int priority) {
  return (priority >= THREAD_PRIORITY_LOWEST && priority <= THREAD_PRIORITY_HIGHEST) ||
         priority == THREAD_PRIORITY_IDLE || priority == THREAD_PRIORITY_TIME_CRITICAL;
}

// Best effort: raising priority (lowering nice) needs a privilege that an ordinary process
// lacks, so failures are ignored; the requested value is remembered by the callers.
void ApplyNice(DWORD tid, int baseNice, int priority) {
  int nice = std::clamp(baseNice - priority, -20, 19);
  setpriority(PRIO_PROCESS, tid, nice);
}

int CurrentNice() {
  errno = 0;
  int nice = getpriority(PRIO_PROCESS, 0);  // the calling thread on Linux
  return errno == 0 ? nice : 0;
}

// A thread started by CreateThread; its handle is signalled when the thread has ended.
// Lifetime: shared by the handle table and by the thread itself, which keeps its reference until
//   the last of its thread-exit destructors (ThreadExitSignal) has run.
// Threading: the start gate (id, suspend count) and the priority are guarded by m_gateLock; the
//   exit code by SyncLock, so it is read together with the signalled state. m_gateLock may be
//   held while taking SyncLock, never the reverse.
class ThreadObject final : public detail::SignalOnceObject {
 public:
  ThreadObject(LPTHREAD_START_ROUTINE routine, LPVOID parameter, DWORD suspendCount)
      : SignalOnceObject(detail::ObjectKind::kThread),
        m_routine(routine),
        m_parameter(parameter),
        m_suspendCount(suspendCount) {}

  // Creator: blocks until the new thread has reported its id.
  DWORD WaitForStart() {
    std::unique_lock<std::mutex> lock(m_gateLock);
    m_gateChanged.wait(lock, [this] { return m_tid != 0; });
    return m_tid;
  }

  // New thread: reports its id, then stays at the gate while suspended.
  void StartAndWaitForResume(DWORD tid, int baseNice) {
    std::unique_lock<std::mutex> lock(m_gateLock);
    m_tid = tid;
    m_baseNice = baseNice;
    m_gateChanged.notify_all();
    m_gateChanged.wait(lock, [this] { return m_suspendCount == 0; });
  }

  DWORD Run() { return m_routine(m_parameter); }

  // Returns the previous suspend count.
  DWORD Resume() {
    std::lock_guard<std::mutex> lock(m_gateLock);
    DWORD previous = m_suspendCount;
    if (m_suspendCount > 0 && --m_suspendCount == 0) m_gateChanged.notify_all();
    return previous;
  }

  void SetPriority(int priority) {
    std::lock_guard<std::mutex> lock(m_gateLock);
    m_priority = priority;
    // While the handle is not signalled the thread has not ended, so its id is still its own.
    std::lock_guard<std::mutex> syncLock(detail::SyncLock());
    if (!CanAcquireLocked(0)) ApplyNice(m_tid, m_baseNice, priority);
  }

  int Priority() {
    std::lock_guard<std::mutex> lock(m_gateLock);
    return m_priority;
  }

  // The thread has ended: records the exit code and signals the handle.
  void Finish(DWORD exitCode) {
    {
      std::lock_guard<std::mutex> lock(detail::SyncLock());
      m_exitCode = exitCode;
    }
    SetSignalled();
  }

  DWORD ExitCode() {
    std::lock_guard<std::mutex> lock(detail::SyncLock());
    return CanAcquireLocked(0) ? m_exitCode : STILL_ACTIVE;
  }

 private:
  // Set in the constructor, then constant.
  const LPTHREAD_START_ROUTINE m_routine;
  const LPVOID m_parameter;

  // Guarded by m_gateLock.
  std::mutex m_gateLock;
  std::condition_variable m_gateChanged;
  DWORD m_tid = 0;
  DWORD m_suspendCount;
  int m_baseNice = 0;
  int m_priority = THREAD_PRIORITY_NORMAL;

  // Guarded by SyncLock.
  DWORD m_exitCode = STILL_ACTIVE;
};

// The layer's own thread object, for GetCurrentThread on a thread CreateThread started.
thread_local ThreadObject* t_pCurrentThread = nullptr;
// For threads the layer did not start.
thread_local int t_priority = THREAD_PRIORITY_NORMAL;
thread_local int t_baseNice = 0;
thread_local bool t_baseNiceKnown = false;

// Signals the thread's handle at thread exit. It is the first thread-local object the thread
// constructs, so its destructor runs last: mutexes the thread still owns are already abandoned
// and the layer's per-thread state is gone when a waiter sees the thread as ended. A routine
// that leaves through pthread_exit is covered as well.
class ThreadExitSignal {
 public:
  ThreadExitSignal() = default;
  ThreadExitSignal(const ThreadExitSignal&) = delete;
  ThreadExitSignal& operator=(const ThreadExitSignal&) = delete;
  ~ThreadExitSignal() {
    t_pCurrentThread = nullptr;
    if (m_pThread) m_pThread->Finish(m_exitCode);
  }

  std::shared_ptr<ThreadObject> m_pThread;
  DWORD m_exitCode = 0;
};

void* ThreadMain(void* arg) {
  std::unique_ptr<std::shared_ptr<ThreadObject>> start(
      static_cast<std::shared_ptr<ThreadObject>*>(arg));
  thread_local ThreadExitSignal exitSignal;
  exitSignal.m_pThread = std::move(*start);
  start.reset();
  ThreadObject* pThread = exitSignal.m_pThread.get();
  t_pCurrentThread = pThread;
  pThread->StartAndWaitForResume(static_cast<DWORD>(gettid()), CurrentNice());
  exitSignal.m_exitCode = pThread->Run();
  return nullptr;
}

}  // namespace

// Created suspended by the engine's thread class so handle and id are stored before the thread
// runs; the I/O, connect and upload threads all come from here.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stackSize, LPTHREAD_START_ROUTINE startAddress,
                    LPVOID parameter, DWORD creationFlags, LPDWORD threadId) {
  if (!startAddress) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto pThread = std::make_shared<ThreadObject>(startAddress, parameter,
                                                (creationFlags & CREATE_SUSPENDED) ? 1 : 0);
  HANDLE handle = detail::InsertHandle(pThread);
  if (!handle) return nullptr;

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  size_t defaultStack = 0;
  pthread_attr_getstacksize(&attr, &defaultStack);
  if (stackSize > defaultStack) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    pthread_attr_setstacksize(&attr, (stackSize + page - 1) / page * page);
  }
  auto* pStart = new std::shared_ptr<ThreadObject>(pThread);  // ThreadMain takes it over
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, ThreadMain, pStart);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete pStart;
    detail::RemoveHandle(handle);
    SetLastError(rc == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : detail::Win32ErrorFromErrno(rc));
    return nullptr;
  }
  DWORD tid = pThread->WaitForStart();
  if (threadId) *threadId = tid;
  return handle;
}

DWORD ResumeThread(HANDLE thread) {
  if (thread == kCurrentThreadHandle) return 0;
  std::shared_ptr<ThreadObject> pThread = detail::Lookup<ThreadObject>(thread);
  if (!pThread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return static_cast<DWORD>(-1);
  }
  return pThread->Resume();
}

namespace {
// Asked on every lock and wait of a layer mutex and every overlapped request: a system call each
// time would cost more than the rest of the request.
thread_local DWORD t_threadId = 0;
// A child made by fork would otherwise answer with the parent's thread.
[[maybe_unused]] const int g_forkResetsThreadId =
    pthread_atfork(nullptr, nullptr, [] { t_threadId = 0; });
}  // namespace

// Log lines and the I/O thread's "am I the I/O thread" test use it; also the mutex owner.
DWORD GetCurrentThreadId() {
  if (t_threadId == 0) t_threadId = static_cast<DWORD>(gettid());
  return t_threadId;
}

HANDLE GetCurrentThread() { return kCurrentThreadHandle; }

// The I/O thread asks for above-normal priority.
BOOL SetThreadPriority(HANDLE thread, int priority) {
  if (!IsValidPriority(priority)) return detail::Fail(ERROR_INVALID_PARAMETER);
  if (thread == kCurrentThreadHandle) {
    if (t_pCurrentThread) {
      t_pCurrentThread->SetPriority(priority);
      return TRUE;
    }
    if (!t_baseNiceKnown) {
      t_baseNice = CurrentNice();
      t_baseNiceKnown = true;
    }
    t_priority = priority;
    ApplyNice(GetCurrentThreadId(), t_baseNice, priority);
    return TRUE;
  }
  std::shared_ptr<ThreadObject> pThread = detail::Lookup<ThreadObject>(thread);
  if (!pThread) return detail::Fail(ERROR_INVALID_HANDLE);
  pThread->SetPriority(priority);
  return TRUE;
}

int GetThreadPriority(HANDLE thread) {
  if (thread == kCurrentThreadHandle) {
    return t_pCurrentThread ? t_pCurrentThread->Priority() : t_priority;
  }
  std::shared_ptr<ThreadObject> pThread = detail::Lookup<ThreadObject>(thread);
  if (!pThread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return THREAD_PRIORITY_ERROR_RETURN;
  }
  return pThread->Priority();
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
  if (!exitCode) return detail::Fail(ERROR_INVALID_PARAMETER);
  if (thread == kCurrentThreadHandle) {
    *exitCode = STILL_ACTIVE;
    return TRUE;
  }
  std::shared_ptr<ThreadObject> pThread = detail::Lookup<ThreadObject>(thread);
  if (!pThread) return detail::Fail(ERROR_INVALID_HANDLE);
  *exitCode = pThread->ExitCode();
  return TRUE;
}

}  // namespace win32
