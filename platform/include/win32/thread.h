#pragma once
// Threads: creation (optionally suspended), thread ids, priority, exit codes. A thread handle is
// waitable and becomes signalled when the thread has ended.

#include "win32/base.h"
#include "win32/sync.h"

namespace win32 {

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID parameter);

constexpr DWORD CREATE_SUSPENDED = 0x00000004;
constexpr DWORD STILL_ACTIVE = 259;

constexpr int THREAD_PRIORITY_IDLE = -15;
constexpr int THREAD_PRIORITY_LOWEST = -2;
constexpr int THREAD_PRIORITY_BELOW_NORMAL = -1;
constexpr int THREAD_PRIORITY_NORMAL = 0;
constexpr int THREAD_PRIORITY_ABOVE_NORMAL = 1;
constexpr int THREAD_PRIORITY_HIGHEST = 2;
constexpr int THREAD_PRIORITY_TIME_CRITICAL = 15;
constexpr int THREAD_PRIORITY_ERROR_RETURN = 0x7FFFFFFF;

// The thread exists and its id is known when this returns, even with CREATE_SUSPENDED (the
// routine then starts at ResumeThread). `stackSize` 0 takes the default; a larger request than
// the default is honoured. Closing the handle of a running thread only drops the handle.
WIN32_API HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                              LPTHREAD_START_ROUTINE startAddress, LPVOID parameter,
                              DWORD creationFlags, LPDWORD threadId);
// Returns the previous suspend count (0: it was running), or (DWORD)-1 on failure.
WIN32_API DWORD ResumeThread(HANDLE thread);

// The kernel thread id: the same number for threads the layer did not create.
WIN32_API DWORD GetCurrentThreadId();
// A pseudo-handle meaning "the calling thread", accepted by the priority and exit-code calls.
WIN32_API HANDLE GetCurrentThread();

// Best effort: the nice value is adjusted where the system allows it (raising priority needs a
// privilege unprivileged processes lack). The requested value is remembered and returned by
// GetThreadPriority either way.
WIN32_API BOOL SetThreadPriority(HANDLE thread, int priority);
WIN32_API int GetThreadPriority(HANDLE thread);

// STILL_ACTIVE while the thread runs, then the value its routine returned.
WIN32_API BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);

}  // namespace win32
