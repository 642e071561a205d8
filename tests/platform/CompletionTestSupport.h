#pragma once
// Shared by the completion-port and socket tests: bounded waits and one dequeued packet.

#include <cstdint>

#include "win32/iocp.h"
#include "win32/winsock.h"

namespace completion_test {

// Every wait in these tests ends by then, so a fault fails a case instead of hanging.
constexpr win32::DWORD kBoundedMs = 5000;
// Long enough for a stray packet to show up; used where nothing is expected.
constexpr win32::DWORD kQuietMs = 150;

struct Packet {
  win32::BOOL ok = win32::FALSE;
  win32::DWORD bytes = 0;
  win32::ULONG_PTR key = 0;
  win32::OVERLAPPED* pOverlapped = nullptr;
  win32::DWORD error = 0;
};

// The key starts as 0xDEAD so a call that leaves it untouched shows.
inline Packet Dequeue(win32::HANDLE port, win32::DWORD milliseconds = kBoundedMs) {
  Packet packet;
  packet.key = 0xDEAD;
  packet.ok = win32::GetQueuedCompletionStatus(port, &packet.bytes, &packet.key,
                                               &packet.pOverlapped, milliseconds);
  packet.error = packet.ok ? 0 : win32::GetLastError();
  return packet;
}

inline win32::HANDLE AsHandle(win32::SOCKET s) {
  return reinterpret_cast<win32::HANDLE>(static_cast<uintptr_t>(s));
}

}  // namespace completion_test
