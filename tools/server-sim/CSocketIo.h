#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Blocking socket calls for the simulator's threads, each of which also wakes when the stop
// descriptor becomes readable, so that Stop never waits on a peer. Every socket is on 127.0.0.1.
// Threading: stateless; any thread.
class CSocketIo {
 public:
  CSocketIo() = delete;

  // A listening socket on 127.0.0.1:port (0 picks a free port); -1 on failure.
  static int Listen(uint16_t port, uint16_t* pBoundPort);
  // The next connection (TCP_NODELAY set, so pieces leave as they are written); -1 when
  // stopping or on a hard error.
  static int Accept(int listenFd, int stopFd);
  // Bytes read (>0), 0 at end of stream, -1 on error or stop, -2 when timeoutMs (>= 0) passed.
  static ssize_t Read(int fd, int stopFd, void* pBuffer, size_t capacity, int timeoutMs);
  // Everything, unless stopping, the peer is gone or timeoutMs passes without progress.
  static bool WriteAll(int fd, int stopFd, const void* pData, size_t length, int timeoutMs);
  // Waits timeoutMs; false when the stop descriptor fired first.
  static bool Pause(int stopFd, int timeoutMs);
};
