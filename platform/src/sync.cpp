#include "win32/sync.h"

#include <poll.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <memory>
#include <mutex>
#include <typeinfo>
#include <vector>

#include "handles.h"
#include "win32/thread.h"

namespace win32 {
namespace {

using detail::SyncLock;

HANDLE FailHandle(DWORD error) {
  SetLastError(error);
  return nullptr;
}

DWORD FailWait(DWORD error) {
  SetLastError(error);
  return WAIT_FAILED;
}

// An event: manual-reset stays signalled until reset; auto-reset is consumed by the one wait
// that obtains it.
// Threading: m_signalled is guarded by SyncLock.
class EventObject final : public detail::Waitable {
 public:
  EventObject(bool manualReset, bool signalled)
      : Waitable(detail::ObjectKind::kEvent), m_manualReset(manualReset), m_signalled(signalled) {}

  // Waitable:
  bool TryAcquireLocked(DWORD, bool*) override {
    if (!m_signalled) return false;
    if (!m_manualReset) m_signalled = false;
    return true;
  }
  bool CanAcquireLocked(DWORD) override { return m_signalled; }

  void SetLocked() {
    m_signalled = true;
    // Every parked thread looks; an auto-reset signal still goes to exactly one of them because
    // each takes it under SyncLock.
    WakeWaitersLocked();
  }
  void ResetLocked() { m_signalled = false; }

 private:
  const bool m_manualReset;
  bool m_signalled;
};

class MutexObject;

// The mutexes the calling thread owns. Its destructor runs at the exit of every thread, also of
// threads the layer did not start, and abandons what is still owned so waiters are not stuck.
// Threading: one per thread, touched only by that thread, under SyncLock.
class OwnedMutexes {
 public:
  OwnedMutexes() = default;
  OwnedMutexes(const OwnedMutexes&) = delete;
  OwnedMutexes& operator=(const OwnedMutexes&) = delete;
  ~OwnedMutexes();

  void AddLocked(std::shared_ptr<MutexObject> pMutex) { m_mutexes.push_back(std::move(pMutex)); }
  // Returns the list's reference so the caller drops it after leaving SyncLock.
  std::shared_ptr<MutexObject> RemoveLocked(MutexObject* pMutex) {
    auto it = std::find_if(m_mutexes.begin(), m_mutexes.end(),
                           [pMutex](const auto& p) { return p.get() == pMutex; });
    if (it == m_mutexes.end()) return nullptr;
    std::shared_ptr<MutexObject> removed = std::move(*it);
    m_mutexes.erase(it);
    return removed;
  }

 private:
  std::vector<std::shared_ptr<MutexObject>> m_mutexes;
};

// Trivially destructible, so it stays readable after the list itself is gone: a thread-exit
// destructor that runs later may still take a mutex, it is just not tracked any more.
thread_local bool t_ownedMutexesGone = false;

OwnedMutexes* CurrentOwnedMutexes() {
  if (t_ownedMutexesGone) return nullptr;
  thread_local OwnedMutexes owned;
  return &owned;
}

// A mutex: an owner thread and a recursion count.
// Lifetime: while owned, the owner's OwnedMutexes list holds a reference, so closing the last
//   handle does not free a mutex that its owner will still release or abandon.
// Threading: all state is guarded by SyncLock.
class MutexObject final : public detail::Waitable,
                          public std::enable_shared_from_this<MutexObject> {
 public:
  MutexObject() : Waitable(detail::ObjectKind::kMutex) {}

  // Waitable:
  bool TryAcquireLocked(DWORD tid, bool* pAbandoned) override {
    if (m_count > 0) {
      if (m_ownerTid != tid) return false;
      ++m_count;
      return true;
    }
    m_ownerTid = tid;
    m_count = 1;
    if (m_abandoned) {
      m_abandoned = false;
      *pAbandoned = true;
    }
    if (OwnedMutexes* pOwned = CurrentOwnedMutexes()) pOwned->AddLocked(shared_from_this());
    return true;
  }
  bool CanAcquireLocked(DWORD tid) override { return m_count == 0 || m_ownerTid == tid; }

  // Returns ERROR_NOT_OWNER when `tid` does not own the mutex; on the last release the list's
  // reference is moved to *pDropLater.
  DWORD ReleaseLocked(DWORD tid, std::shared_ptr<MutexObject>* pDropLater) {
    if (m_count == 0 || m_ownerTid != tid) return ERROR_NOT_OWNER;
    if (--m_count > 0) return ERROR_SUCCESS;
    m_ownerTid = 0;
    if (OwnedMutexes* pOwned = CurrentOwnedMutexes()) *pDropLater = pOwned->RemoveLocked(this);
    WakeWaitersLocked();
    return ERROR_SUCCESS;
  }

  // The owner thread is ending while it holds the mutex.
  void AbandonLocked(DWORD tid) {
    if (m_count == 0 || m_ownerTid != tid) return;
    m_count = 0;
    m_ownerTid = 0;
    m_abandoned = true;
    WakeWaitersLocked();
  }

 private:
  DWORD m_ownerTid = 0;
  DWORD m_count = 0;
  // Set when the owner ended holding it; the next wait that obtains it reports that once.
  bool m_abandoned = false;
};

OwnedMutexes::~OwnedMutexes() {
  t_ownedMutexesGone = true;
  const DWORD tid = GetCurrentThreadId();
  {
    std::lock_guard<std::mutex> lock(SyncLock());
    for (const auto& pMutex : m_mutexes) pMutex->AbandonLocked(tid);
  }
  m_mutexes.clear();
}

// Sentinel of the acquisition step: nothing could be taken yet.
constexpr DWORD kNotReady = 0xFFFFFFFE;

DWORD TryAcquireAnyLocked(const std::shared_ptr<detail::Waitable>* objects, DWORD count,
                          DWORD tid) {
  for (DWORD i = 0; i < count; ++i) {
    bool abandoned = false;
    if (objects[i]->TryAcquireLocked(tid, &abandoned)) {
      return (abandoned ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + i;
    }
  }
  return kNotReady;
}

// All at once or nothing: an auto-reset event must not be consumed by a wait that then goes on
// waiting for the others.
DWORD TryAcquireAllLocked(const std::shared_ptr<detail::Waitable>* objects, DWORD count,
                          DWORD tid) {
  for (DWORD i = 0; i < count; ++i) {
    if (!objects[i]->CanAcquireLocked(tid)) return kNotReady;
  }
  DWORD result = WAIT_OBJECT_0;
  for (DWORD i = 0; i < count; ++i) {
    bool abandoned = false;
    objects[i]->TryAcquireLocked(tid, &abandoned);
    if (abandoned && result == WAIT_OBJECT_0) result = WAIT_ABANDONED_0 + i;
  }
  return result;
}

using Clock = std::chrono::steady_clock;

// Milliseconds left until the deadline, rounded up so a wait never ends early; -1 for INFINITE.
int RemainingMs(DWORD milliseconds, Clock::time_point deadline) {
  if (milliseconds == INFINITE) return -1;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return static_cast<int>(std::min<decltype(left)>(left, INT_MAX));
}

// Without a doorbell (no descriptor was left for it) the wait degrades to short sleeps.
constexpr int kNoDoorbellSliceMs = 2;

// Parks until the doorbell rings or the time-out passes. Returns 0, or the errno of a failed
// poll.
int ParkOnDoorbell(detail::Doorbell* pBell, int timeoutMs,
                   void (*park)(int fd, DWORD milliseconds)) {
  if (park && detail::DoorbellFd(pBell) >= 0) {
    park(detail::DoorbellFd(pBell), timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    detail::DrainDoorbell(pBell);
    return 0;
  }
  pollfd pfd = {detail::DoorbellFd(pBell), POLLIN, 0};
  if (pfd.fd < 0 && (timeoutMs < 0 || timeoutMs > kNoDoorbellSliceMs)) {
    timeoutMs = kNoDoorbellSliceMs;
  }
  int r = poll(&pfd, 1, timeoutMs);
  if (r < 0) return errno == EINTR ? 0 : errno;
  if (r > 0) detail::DrainDoorbell(pBell);
  return 0;
}

// A mutex is waited for and released around every completion the engine delivers (its object
// lifecycle guard): it is recognised by its exact type, cheaper than the dynamic_cast that finds
// any other object.
template <class T>
std::shared_ptr<T> LookupWaitable(HANDLE handle) {
  std::shared_ptr<detail::KernelObject> object = detail::LookupHandle(handle);
  if (object && typeid(*object) == typeid(MutexObject)) {
    return std::static_pointer_cast<MutexObject>(std::move(object));
  }
  return std::dynamic_pointer_cast<T>(std::move(object));
}

std::shared_ptr<EventObject> LookupEvent(HANDLE handle) {
  return detail::Lookup<EventObject>(handle);
}

}  // namespace

namespace detail {

// A wait tries to acquire under SyncLock; when nothing can be taken it registers the thread's
// doorbell on every object once and parks on it, retrying after each ring. Signals ring every
// registered doorbell, so no wake-up is lost between the try and the park.
namespace {

// The wait itself, over the objects already looked up into objects[0..count).
DWORD WaitLookedUp(std::shared_ptr<Waitable>* objects, DWORD count, BOOL waitAll,
                   DWORD milliseconds, bool (*extraReady)(void*), void* extraContext,
                   void (*park)(int fd, DWORD milliseconds)) {
  if (waitAll) {
    for (DWORD i = 0; i < count; ++i) {
      for (DWORD j = i + 1; j < count; ++j) {
        if (objects[i] == objects[j]) return FailWait(ERROR_INVALID_PARAMETER);
      }
    }
  }

  const DWORD tid = GetCurrentThreadId();
  const Clock::time_point deadline = milliseconds == INFINITE
                                         ? Clock::time_point::max()
                                         : Clock::now() + std::chrono::milliseconds(milliseconds);
  Doorbell* pBell = milliseconds != 0 ? CurrentDoorbell() : nullptr;
  bool registered = false;

  auto finish = [&](DWORD result) {
    if (registered) {
      std::lock_guard<std::mutex> lock(SyncLock());
      for (DWORD i = 0; i < count; ++i) objects[i]->RemoveWaiterLocked(pBell);
    }
    return result;
  };

  for (;;) {
    {
      std::lock_guard<std::mutex> lock(SyncLock());
      DWORD result = waitAll ? TryAcquireAllLocked(objects, count, tid)
                             : TryAcquireAnyLocked(objects, count, tid);
      if (result != kNotReady) {
        if (registered) {
          for (DWORD i = 0; i < count; ++i) objects[i]->RemoveWaiterLocked(pBell);
        }
        return result;
      }
      if (pBell && !registered) {
        for (DWORD i = 0; i < count; ++i) objects[i]->AddWaiterLocked(pBell);
        registered = true;
      }
    }
    // After the objects, so a lower-indexed object wins over input, and after each ring, since
    // posting to the queue rings this thread's doorbell.
    if (extraReady && extraReady(extraContext)) return finish(WAIT_OBJECT_0 + count);
    int timeoutMs = RemainingMs(milliseconds, deadline);
    if (timeoutMs == 0) return finish(WAIT_TIMEOUT);
    if (int err = ParkOnDoorbell(pBell, timeoutMs, park)) {
      finish(0);
      return FailWait(Win32ErrorFromErrno(err));
    }
  }
}

template <size_t kSlots>
DWORD LookUpAndWait(DWORD count, const HANDLE* pHandles, BOOL waitAll, DWORD milliseconds,
                    bool (*extraReady)(void*), void* extraContext,
                    void (*park)(int fd, DWORD milliseconds)) {
  std::shared_ptr<Waitable> objects[kSlots];
  for (DWORD i = 0; i < count; ++i) {
    objects[i] = LookupWaitable<Waitable>(pHandles[i]);
    if (!objects[i]) return FailWait(ERROR_INVALID_HANDLE);
  }
  return WaitLookedUp(objects, count, waitAll, milliseconds, extraReady, extraContext, park);
}

}  // namespace

DWORD WaitObjects(DWORD count, const HANDLE* pHandles, BOOL waitAll, DWORD milliseconds,
                  bool (*extraReady)(void*), void* extraContext,
                  void (*park)(int fd, DWORD milliseconds)) {
  if (count > MAXIMUM_WAIT_OBJECTS || (count == 0 && !extraReady) || (count > 0 && !pHandles)) {
    return FailWait(ERROR_INVALID_PARAMETER);
  }
  // "All objects and input" is not a wait anything here needs.
  if (waitAll && count > 0 && extraReady) return FailWait(ERROR_NOT_SUPPORTED);
  // Most waits name one object (every lifecycle guard waits on one mutex): only as many slots
  // as that are built and torn down.
  if (count <= 1) {
    return LookUpAndWait<1>(count, pHandles, waitAll, milliseconds, extraReady, extraContext,
                            park);
  }
  return LookUpAndWait<MAXIMUM_WAIT_OBJECTS>(count, pHandles, waitAll, milliseconds, extraReady,
                                             extraContext, park);
}

}  // namespace detail

// --- Critical sections ---
// Recursive ownership is relied on ("the engine relies on that"). As on Windows, a thread that
// finds the section taken spins up to the spin count before it sleeps: the sections the engine
// contends for are held for microseconds, less than a futex sleep and wake-up cost both threads.

void InitializeCriticalSection(LPCRITICAL_SECTION cs) {
  InitializeCriticalSectionAndSpinCount(cs, 0);
}

BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION cs, DWORD spinCount) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(&cs->Mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  cs->SpinCount = spinCount;
  return TRUE;
}

void EnterCriticalSection(LPCRITICAL_SECTION cs) {
  for (DWORD spins = 0; spins < cs->SpinCount; ++spins) {
    if (pthread_mutex_trylock(&cs->Mutex) == 0) return;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
  pthread_mutex_lock(&cs->Mutex);
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs) {
  return pthread_mutex_trylock(&cs->Mutex) == 0 ? TRUE : FALSE;
}

void LeaveCriticalSection(LPCRITICAL_SECTION cs) { pthread_mutex_unlock(&cs->Mutex); }

void DeleteCriticalSection(LPCRITICAL_SECTION cs) { pthread_mutex_destroy(&cs->Mutex); }

// --- Events ---
// The stop events (manual-reset, created non-signalled), the connect slots (reset and reused)
// and the upload queue event (auto-reset, set on every enqueue) rely on these.

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
  if (name && name[0]) return FailHandle(ERROR_NOT_SUPPORTED);
  return detail::InsertHandle(std::make_shared<EventObject>(manualReset, initialState));
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCSTR name) {
  if (name && name[0]) return FailHandle(ERROR_NOT_SUPPORTED);
  return CreateEventW(attributes, manualReset, initialState, nullptr);
}

BOOL SetEvent(HANDLE event) {
  std::shared_ptr<EventObject> pEvent = LookupEvent(event);
  if (!pEvent) return detail::Fail(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> lock(SyncLock());
  pEvent->SetLocked();
  return TRUE;
}

BOOL ResetEvent(HANDLE event) {
  std::shared_ptr<EventObject> pEvent = LookupEvent(event);
  if (!pEvent) return detail::Fail(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> lock(SyncLock());
  pEvent->ResetLocked();
  return TRUE;
}

// --- Mutexes ---
namespace detail {
HANDLE CreateNamedMutex(LPCWSTR name);  // named_objects.cpp
}
// The lifecycle manager creates them unowned, waits on one (or any of up to 64) and releases
// it; an abandoned mutex is handed over with WAIT_ABANDONED_0 + i and owned by the waiter.

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCWSTR name) {
  if (name && name[0]) return detail::CreateNamedMutex(name);
  auto pMutex = std::make_shared<MutexObject>();
  if (initialOwner) {
    std::lock_guard<std::mutex> lock(SyncLock());
    bool abandoned = false;
    pMutex->TryAcquireLocked(GetCurrentThreadId(), &abandoned);
  }
  HANDLE handle = detail::InsertHandle(pMutex);
  if (!handle && initialOwner) {
    std::shared_ptr<MutexObject> dropLater;
    std::lock_guard<std::mutex> lock(SyncLock());
    pMutex->ReleaseLocked(GetCurrentThreadId(), &dropLater);
  }
  return handle;
}

BOOL ReleaseMutex(HANDLE mutex) {
  std::shared_ptr<MutexObject> pMutex = LookupWaitable<MutexObject>(mutex);
  if (!pMutex) return detail::Fail(ERROR_INVALID_HANDLE);
  std::shared_ptr<MutexObject> dropLater;  // released after SyncLock
  DWORD error;
  {
    std::lock_guard<std::mutex> lock(SyncLock());
    error = pMutex->ReleaseLocked(GetCurrentThreadId(), &dropLater);
  }
  if (error != ERROR_SUCCESS) return detail::Fail(error);
  return TRUE;
}

// --- Waits ---

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return detail::WaitObjects(1, &handle, FALSE, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
  return detail::WaitObjects(count, handles, waitAll, milliseconds);
}

// --- Winsock events: the same objects; WSA errors share the thread's last-error value ---

WSAEVENT WSACreateEvent() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }

BOOL WSASetEvent(WSAEVENT event) { return SetEvent(event); }

BOOL WSAResetEvent(WSAEVENT event) { return ResetEvent(event); }

BOOL WSACloseEvent(WSAEVENT event) {
  if (!LookupEvent(event)) return detail::Fail(ERROR_INVALID_HANDLE);
  return CloseHandle(event);
}

DWORD WSAWaitForMultipleEvents(DWORD count, const WSAEVENT* events, BOOL waitAll,
                               DWORD milliseconds, BOOL) {
  return detail::WaitObjects(count, events, waitAll, milliseconds);
}

// --- Yielding ---
// The singleton start-up spins with Sleep(0); the report client pauses with Sleep(100).

void Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    sched_yield();
    return;
  }
  if (milliseconds == INFINITE) {
    for (;;) pause();
  }
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += milliseconds / 1000;
  deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

BOOL SwitchToThread() {
  sched_yield();
  return TRUE;
}

}  // namespace win32
