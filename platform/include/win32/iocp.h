#pragma once
// The I/O completion port: one FIFO queue of completion packets per port, fed by posts and by
// the overlapped socket requests of sockets associated with it.
//
// Packet rules (the engine counts on exactly one packet per request):
// - a request that succeeds at once still queues one packet; one that fails at once queues none;
// - a pending request (997) queues exactly one packet when it ends; closing or cancelling ends
//   it with 995;
// - packets come out in the order they were queued.
// GetQueuedCompletionStatus results:
//   TRUE,  overlapped set   completed request or posted packet;
//   FALSE, overlapped set   the request failed, GetLastError() is its Win32 error;
//   FALSE, overlapped NULL  258 time-out, 735 port closed during the wait, 6 bad port handle;
//   TRUE,  overlapped NULL  a packet posted without an overlapped pointer.

#include "win32/base.h"
#include "win32/overlapped.h"

namespace win32 {

using PULONG_PTR = ULONG_PTR*;

// fileHandle INVALID_HANDLE_VALUE (or null) with no existing port: a new port. Otherwise the
// handle (a SOCKET cast to HANDLE) is associated with existingPort, or with a new port when
// existingPort is null, and its completions carry `key`. A socket can belong to one port only
// (a second association fails with 87). Other kernel handles are accepted and never complete
// anything: the layer's file I/O is synchronous. concurrentThreads is ignored.
WIN32_API HANDLE CreateIoCompletionPort(HANDLE fileHandle, HANDLE existingPort, ULONG_PTR key,
                                        DWORD concurrentThreads);

// The waiting thread also drives the port's socket I/O, so requests progress while some thread
// waits on their port.
WIN32_API BOOL GetQueuedCompletionStatus(HANDLE port, LPDWORD bytesTransferred, PULONG_PTR key,
                                         LPOVERLAPPED* overlapped, DWORD milliseconds);

WIN32_API BOOL PostQueuedCompletionStatus(HANDLE port, DWORD bytesTransferred, ULONG_PTR key,
                                          LPOVERLAPPED overlapped);

// Ends, with 995, the requests on a socket that the calling thread issued; other threads'
// requests stay pending. Other kernel handles have nothing to cancel (TRUE).
WIN32_API BOOL CancelIo(HANDLE handle);

}  // namespace win32
