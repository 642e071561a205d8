#pragma once
// The seam through which a toolkit's main loop pumps the calling thread's message queue (the
// GUI half does it with a GLib source). Every call acts on the calling thread's own queue,
// which it creates if needed.
//
// The wake descriptor becomes readable when something new arrived since the thread last looked
// at its queue (a post, a sent message, a quit, a timer change; waits on kernel objects use it
// too). A poster writes it only on the first arrival after a look, so a burst costs one write;
// the pump clears it with DrainQueueWake before re-checking, so it never spins on a readable
// descriptor whose news it has already seen.

#include "win32/base.h"

namespace win32 {

// The eventfd to poll for the calling thread's queue; -1 when the thread has no queue (it is
// ending).
WIN32_API int GetQueueWakeFd();
// Reads the wake descriptor empty. The caller re-checks readiness afterwards.
WIN32_API void DrainQueueWake();
// True when a sent message, a posted message or a due timer is waiting (a pending quit alone is
// not: the pump never takes WM_QUIT). *pMsToNextTimer (optional) receives the time until the
// next timer falls due, INFINITE when none.
WIN32_API bool IsQueueReady(DWORD* pMsToNextTimer);
// Runs the messages other threads sent, then dispatches at most one posted message (else one
// due WM_TIMER) to its window procedure. Never takes WM_QUIT: it stays pending for GetMessageW
// and for modal loops to see. Returns whether a posted message or timer was dispatched.
WIN32_API bool DispatchOneMessage();
// Whether PostQuitMessage was called on this thread and GetMessageW has not yet returned it.
WIN32_API bool IsQuitPending();

}  // namespace win32
