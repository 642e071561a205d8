#pragma once
// Synchronisation: critical sections, events, mutexes, multi-object waits, interlocked operations
// and Sleep. Waitable objects are handles in the layer's table; a stale handle fails with
// ERROR_INVALID_HANDLE and never touches freed memory.

#include <pthread.h>

#include "win32/base.h"

namespace win32 {

using PVOID = void*;

// --- Critical sections ---
// Recursive: the owner may enter again and must leave as often as it entered. Embeddable by
// value; the spin count is kept but only as a hint: entering blocks in the kernel mutex.
struct CRITICAL_SECTION {
  pthread_mutex_t Mutex;
  DWORD SpinCount;
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

WIN32_API void InitializeCriticalSection(LPCRITICAL_SECTION cs);
// Never fails (returns TRUE), as on the Windows versions the system supports.
WIN32_API BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION cs, DWORD spinCount);
WIN32_API void EnterCriticalSection(LPCRITICAL_SECTION cs);
WIN32_API BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs);
WIN32_API void LeaveCriticalSection(LPCRITICAL_SECTION cs);
WIN32_API void DeleteCriticalSection(LPCRITICAL_SECTION cs);

// --- Events ---
// Unnamed only: a name fails with ERROR_NOT_SUPPORTED (a process-local name would silently lose
// the cross-process meaning). An auto-reset event releases exactly one wait per SetEvent.
WIN32_API HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                              LPCWSTR name);
WIN32_API HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                              LPCSTR name);
WIN32_API BOOL SetEvent(HANDLE event);
WIN32_API BOOL ResetEvent(HANDLE event);

// --- Mutexes ---
// Owned by a thread, recursive for it. A thread that ends while owning one abandons it: the next
// wait that obtains it returns WAIT_ABANDONED_0 + i and owns it.
//
// A named mutex marks that a program instance runs, per user and per display (the X session),
// as a per-session mutex does on Windows; "Global\" and "Local\" name the same one. Creating it
// is one atomic step: the first creator while no holder lives gets last error 0; every later
// one, while that holder (any handle of its process) lives, gets ERROR_ALREADY_EXISTS. The
// kernel lets go when the holder ends, however it ends. Named mutexes cannot be waited on or
// released (ERROR_INVALID_HANDLE); `initialOwner` is ignored for them.
constexpr DWORD SYNCHRONIZE = 0x00100000;
constexpr DWORD MUTEX_ALL_ACCESS = 0x001F0001;
WIN32_API HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name);
// Finds a named mutex whose creator still runs; anything else, a missing or unreadable folder
// included, is ERROR_FILE_NOT_FOUND.
WIN32_API HANDLE OpenMutexW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name);
// Fails with ERROR_NOT_OWNER (288) when the caller does not own the mutex.
WIN32_API BOOL ReleaseMutex(HANDLE mutex);

// --- Waits ---
// Events, mutexes, threads and processes are waitable. Wait-any returns WAIT_OBJECT_0 + i for
// the lowest signalled index and consumes only that object; wait-all takes all at once or none.
// 1..MAXIMUM_WAIT_OBJECTS handles (else WAIT_FAILED, 87); any stale handle: WAIT_FAILED, 6;
// time-out: WAIT_TIMEOUT (258).
WIN32_API DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
WIN32_API DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                       DWORD milliseconds);

// --- Winsock event flavour: the same objects and results under Winsock names ---
using WSAEVENT = HANDLE;
inline const WSAEVENT WSA_INVALID_EVENT = nullptr;
constexpr DWORD WSA_MAXIMUM_WAIT_EVENTS = MAXIMUM_WAIT_OBJECTS;
constexpr DWORD WSA_WAIT_EVENT_0 = WAIT_OBJECT_0;
constexpr DWORD WSA_WAIT_TIMEOUT = WAIT_TIMEOUT;
constexpr DWORD WSA_WAIT_FAILED = WAIT_FAILED;
constexpr DWORD WSA_WAIT_IO_COMPLETION = 0xC0;
constexpr DWORD WSA_INFINITE = INFINITE;

// Manual-reset, not signalled.
WIN32_API WSAEVENT WSACreateEvent();
WIN32_API BOOL WSASetEvent(WSAEVENT event);
WIN32_API BOOL WSAResetEvent(WSAEVENT event);
WIN32_API BOOL WSACloseEvent(WSAEVENT event);
// As WaitForMultipleObjects; `alertable` is ignored (the layer queues no APCs).
WIN32_API DWORD WSAWaitForMultipleEvents(DWORD count, const WSAEVENT* events, BOOL waitAll,
                                         DWORD milliseconds, BOOL alertable);

// --- Interlocked operations: full barriers, as on Windows ---
inline LONG InterlockedIncrement(volatile LONG* target) {
  return __atomic_add_fetch(target, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(volatile LONG* target) {
  return __atomic_sub_fetch(target, 1, __ATOMIC_SEQ_CST);
}
// Returns the previous value.
inline LONG InterlockedExchange(volatile LONG* target, LONG value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
// Returns the previous value.
inline LONG InterlockedExchangeAdd(volatile LONG* target, LONG value) {
  return __atomic_fetch_add(target, value, __ATOMIC_SEQ_CST);
}
// Stores `exchange` when *target equals `comparand`; returns the previous value either way.
inline LONG InterlockedCompareExchange(volatile LONG* target, LONG exchange, LONG comparand) {
  __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return comparand;
}
// Pointer-sized: a state word that may hold an address must use these, never the LONG forms.
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* target, PVOID exchange,
                                               PVOID comparand) {
  __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

// --- Yielding ---
// Sleep(0) yields the processor; Sleep(INFINITE) never returns.
WIN32_API void Sleep(DWORD milliseconds);
WIN32_API BOOL SwitchToThread();

}  // namespace win32
