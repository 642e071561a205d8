#pragma once
// The layer's internal object model: one process-wide handle table of reference-counted kernel
// objects, and the waitable-object framework that events, mutexes, threads and processes share.
// Not installed for the system's code; only the layer's sources include it.

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "win32/base.h"

namespace win32::detail {

enum class ObjectKind {
  kFile,
  kEvent,
  kMutex,
  kThread,
  kProcess,
  kCompletionPort,
  kFind,
  kPipe,
  kMapping,
  kOther,
};

class KernelObject {
 public:
  explicit KernelObject(ObjectKind kind) : m_kind(kind) {}
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;
  virtual ~KernelObject() = default;
  ObjectKind Kind() const { return m_kind; }
  // Called once when CloseHandle removes the object from the table (other threads may still
  // hold references: a port wakes its waiters here, a socket or file cancels its requests).
  virtual void OnHandleClosed() {}

 private:
  const ObjectKind m_kind;
};

// Adds the object to the table; the table holds one reference until CloseHandle. Returns null
// (last error 8) when the table is full.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
// Stale, closed or foreign handles give null; the caller fails with ERROR_INVALID_HANDLE.
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
// Removes the table's reference; returns it so the caller can act on the last close.
std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle);
size_t OpenHandleCountForTesting();

template <class T>
std::shared_ptr<T> Lookup(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

// SetLastError(error), then FALSE: the last act of a failing shim.
inline BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// One table per family: the same errno means different numbers on the two paths.
DWORD Win32ErrorFromErrno(int err);
DWORD WsaErrorFromErrno(int err);
// How a completion-port request that failed with errno is reported by GetQueuedCompletionStatus.
DWORD CompletionErrorFromErrno(int err);

// --- Waitable objects -------------------------------------------------------------------------
// Every waitable object keeps its state under one process-wide lock, so a wait on several
// objects consumes exactly one of them. A waiting thread parks on its own doorbell (an eventfd),
// which each signal rings.

std::mutex& SyncLock();

class Doorbell;

class Waitable : public KernelObject {
 public:
  explicit Waitable(ObjectKind kind) : KernelObject(kind) {}
  // Called with SyncLock held. True when a wait by thread `tid` is satisfied now; consumes what
  // the wait takes (an auto-reset event's signal, a mutex's ownership). Sets *pAbandoned when a
  // mutex is handed over from a thread that ended holding it.
  virtual bool TryAcquireLocked(DWORD tid, bool* pAbandoned) = 0;
  // Called with SyncLock held. Whether TryAcquireLocked would succeed now, consuming nothing: a
  // wait-all checks every object before it takes any. The default suits objects whose
  // acquisition consumes nothing; objects that consume (events, mutexes) override it.
  virtual bool CanAcquireLocked(DWORD tid) {
    bool abandoned = false;
    return TryAcquireLocked(tid, &abandoned);
  }

  // SyncLock held.
  void AddWaiterLocked(Doorbell* pDoorbell);
  void RemoveWaiterLocked(Doorbell* pDoorbell);
  // SyncLock held: wakes every thread parked on this object.
  void WakeWaitersLocked();

 private:
  std::vector<Doorbell*> m_waiters;
};

// Signalled once, for good: thread and process handles.
class SignalOnceObject : public Waitable {
 public:
  explicit SignalOnceObject(ObjectKind kind) : Waitable(kind) {}
  bool TryAcquireLocked(DWORD tid, bool* pAbandoned) override;
  // Takes SyncLock.
  void SetSignalled();
  bool IsSignalled();

 private:
  bool m_signalled = false;
};

// The calling thread's doorbell (created on first use, closed at thread exit).
Doorbell* CurrentDoorbell();
// Rings (from any thread).
void RingDoorbell(Doorbell* pDoorbell);
// The eventfd behind the doorbell, for poll() beside other descriptors.
int DoorbellFd(Doorbell* pDoorbell);
// Clears a ring that has been seen.
void DrainDoorbell(Doorbell* pDoorbell);

// The wait engine behind WaitForSingleObject, WaitForMultipleObjects and the message-queue waits.
// `extraReady`, when given, is asked (without SyncLock) after each doorbell ring: a message queue
// passes "a message is waiting" and rings the owner thread's doorbell on every post. Returns the
// Windows wait result; WAIT_OBJECT_0 + count when extraReady said yes. `park`, when given, does
// the sleeping (a toolkit loop that runs meanwhile): it returns once the doorbell's descriptor
// is readable or the time is up, or earlier.
DWORD WaitObjects(DWORD count, const HANDLE* pHandles, BOOL waitAll, DWORD milliseconds,
                  bool (*extraReady)(void*) = nullptr, void* extraContext = nullptr,
                  void (*park)(int fd, DWORD milliseconds) = nullptr);

}  // namespace win32::detail
