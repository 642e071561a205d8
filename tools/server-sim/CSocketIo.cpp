#include "CSocketIo.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// 1: fd ready, 0: timed out, -1: stop or error.
int WaitFor(int fd, short events, int stopFd, int timeoutMs) {
  pollfd entries[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
  for (;;) {
    int n = poll(entries, 2, timeoutMs);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) return 0;
    if (entries[1].revents) return -1;
    return 1;
  }
}

}  // namespace

int CSocketIo::Listen(uint16_t port, uint16_t* pBoundPort) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(fd, 64) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    return -1;
  }
  *pBoundPort = ntohs(address.sin_port);
  return fd;
}

int CSocketIo::Accept(int listenFd, int stopFd) {
  for (;;) {
    if (WaitFor(listenFd, POLLIN, stopFd, -1) != 1) return -1;
    int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      int on = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
      return fd;
    }
    if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN) continue;
    // Out of descriptors: back off instead of spinning, and keep accepting afterwards.
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
      if (!Pause(stopFd, 50)) return -1;
      continue;
    }
    return -1;
  }
}

ssize_t CSocketIo::Read(int fd, int stopFd, void* pBuffer, size_t capacity, int timeoutMs) {
  int ready = WaitFor(fd, POLLIN, stopFd, timeoutMs);
  if (ready == 0) return -2;
  if (ready < 0) return -1;
  for (;;) {
    ssize_t n = recv(fd, pBuffer, capacity, 0);
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? -1 : n;
  }
}

bool CSocketIo::WriteAll(int fd, int stopFd, const void* pData, size_t length, int timeoutMs) {
  const auto* p = static_cast<const char*>(pData);
  while (length > 0) {
    ssize_t n = send(fd, p, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      p += n;
      length -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (WaitFor(fd, POLLOUT, stopFd, timeoutMs) != 1) return false;
      continue;
    }
    return false;
  }
  return true;
}

bool CSocketIo::Pause(int stopFd, int timeoutMs) {
  pollfd entry = {stopFd, POLLIN, 0};
  for (;;) {
    int n = poll(&entry, 1, timeoutMs);
    if (n < 0 && errno == EINTR) continue;  // a signal cuts the pause short; good enough here
    return n == 0;
  }
}
