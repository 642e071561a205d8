#pragma once
// Loopback peers for the device, channel and resolver tests. Every address is in 127.0.0.0/8.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "win32/winsock.h"

namespace netengine_test {

inline sockaddr_in LoopbackAddress(uint16_t port, uint32_t hostOrderAddress = INADDR_LOOPBACK) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(hostOrderAddress);
  return address;
}

inline uint16_t PortOf(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof(address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// A plain listening socket on 127.0.0.1.
class Listener {
 public:
  explicit Listener(int backlog = 16) : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address = LoopbackAddress(0);
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(m_fd, backlog) != 0) {
      ::close(m_fd);
      m_fd = -1;
    }
  }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  ~Listener() {
    if (m_fd >= 0) ::close(m_fd);
  }

  int Fd() const { return m_fd; }
  uint16_t Port() const { return PortOf(m_fd); }
  sockaddr_in Address() const { return LoopbackAddress(Port()); }
  // Waits up to timeoutMs for a connection; -1 when none came.
  int Accept(int timeoutMs = 5000) {
    pollfd entry{m_fd, POLLIN, 0};
    if (::poll(&entry, 1, timeoutMs) != 1) return -1;
    return ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
  }

 private:
  int m_fd;
};

// A listener whose accept queue is full and never drained: with backlog 0 and one connection
// already waiting in the queue, this kernel drops every further SYN, so connects to it stay in
// progress (the client retries its SYN) until Release lets them in.
class StuckListener {
 public:
  StuckListener() : m_listener(0), m_filler(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address = m_listener.Address();
    m_ready = m_listener.Fd() >= 0 &&
              ::connect(m_filler, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  }
  ~StuckListener() { ::close(m_filler); }

  bool Ready() const { return m_ready; }
  sockaddr_in Address() const { return m_listener.Address(); }
  // A larger backlog: the retried SYNs are answered.
  void Release() { ::listen(m_listener.Fd(), 128); }

 private:
  Listener m_listener;
  int m_filler;
  bool m_ready = false;
};

// A loopback port with nothing listening on it: connects to it are refused.
inline sockaddr_in RefusingAddress() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = LoopbackAddress(0);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  address = LoopbackAddress(PortOf(fd));
  ::close(fd);
  return address;
}

// A connected pair: the engine's side as a layer socket (ready for a device to attach), the
// test's side as a plain blocking descriptor.
struct SocketPair {
  win32::SOCKET engineSide = win32::INVALID_SOCKET;
  int peerFd = -1;
};

inline SocketPair MakeSocketPair() {
  SocketPair pair;
  win32::SOCKET listener = win32::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = LoopbackAddress(0);
  int length = sizeof(address);
  if (win32::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      win32::listen(listener, 1) != 0 ||
      win32::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    win32::closesocket(listener);
    return pair;
  }
  pair.peerFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int noDelay = 1;
  ::setsockopt(pair.peerFd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof(noDelay));
  if (::connect(pair.peerFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
    pair.engineSide = win32::accept(listener, nullptr, nullptr);
  }
  win32::closesocket(listener);
  return pair;
}

inline bool SendAll(int fd, const void* pData, size_t length) {
  const char* p = static_cast<const char*>(pData);
  while (length > 0) {
    ssize_t sent = ::send(fd, p, length, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    p += sent;
    length -= static_cast<size_t>(sent);
  }
  return true;
}

// Reads exactly `length` bytes within timeoutMs; false on time-out or end of stream.
inline bool RecvAll(int fd, void* pData, size_t length, int timeoutMs = 5000) {
  char* p = static_cast<char*>(pData);
  while (length > 0) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, timeoutMs) != 1) return false;
    ssize_t got = ::recv(fd, p, length, 0);
    if (got <= 0) return false;
    p += got;
    length -= static_cast<size_t>(got);
  }
  return true;
}

// Polls a condition that no event reports, with a bound.
inline bool PollUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace netengine_test
