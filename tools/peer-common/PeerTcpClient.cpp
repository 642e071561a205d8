#include "PeerTcpClient.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

namespace peer {

namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// 1 ready, 0 time out, -1 error (errno set).
int WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd pfd{fd, events, 0};
    const int n = poll(&pfd, 1, RemainingMs(deadline));
    if (n >= 0) return n > 0 ? 1 : 0;
    if (errno != EINTR) return -1;
  }
}

}  // namespace

CPeerTcpClient::~CPeerTcpClient() { Close(); }

bool CPeerTcpClient::Connect(const std::string& host, uint16_t port, int timeoutMs) {
  Close();
  SetError("");
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (rc != 0 || found == nullptr) {
    SetError("cannot resolve " + host + ": " + gai_strerror(rc));
    return false;
  }
  sockaddr_in address{};
  std::memcpy(&address, found->ai_addr, sizeof(address));
  freeaddrinfo(found);

  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    Fail("socket", errno);
    return false;
  }
  m_hSocket = fd;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    if (errno != EINPROGRESS) {
      Fail("connect", errno);
      Close();
      return false;
    }
    const int ready = WaitFor(fd, POLLOUT, deadline);
    int error = 0;
    socklen_t length = sizeof(error);
    if (ready <= 0) {
      Fail("connect", ready == 0 ? ETIMEDOUT : errno);
      Close();
      return false;
    }
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
      Fail("connect", error != 0 ? error : errno);
      Close();
      return false;
    }
  }
  // Requests and replies are small and strictly alternating; Nagle would hold them back.
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return true;
}

void CPeerTcpClient::Adopt(int fd) {
  Close();
  SetError("");
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  m_hSocket = fd;
}

CPeerTcpClient::IoResult CPeerTcpClient::SendAll(const void* data, size_t size, int timeoutMs) {
  if (m_hSocket < 0) return Fail("send", EBADF);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = send(m_hSocket, next, size, MSG_NOSIGNAL);
    if (n > 0) {
      next += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) {
      Fail("send", errno);
      return IoResult::kClosed;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return Fail("send", errno);
    const int ready = WaitFor(m_hSocket, POLLOUT, deadline);
    if (ready == 0) {
      SetError("send: timed out");
      return IoResult::kTimeout;
    }
    if (ready < 0) return Fail("send poll", errno);
  }
  return IoResult::kOk;
}

CPeerTcpClient::IoResult CPeerTcpClient::Receive(void* buffer, size_t capacity, int timeoutMs,
                                                 size_t* received) {
  *received = 0;
  if (m_hSocket < 0) return Fail("recv", EBADF);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const ssize_t n = recv(m_hSocket, buffer, capacity, 0);
    if (n > 0) {
      *received = static_cast<size_t>(n);
      return IoResult::kOk;
    }
    if (n == 0) {
      SetError("connection closed by peer");
      return IoResult::kClosed;
    }
    if (errno == EINTR) continue;
    if (errno == ECONNRESET) {
      Fail("recv", errno);
      return IoResult::kClosed;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) return Fail("recv", errno);
    const int ready = WaitFor(m_hSocket, POLLIN, deadline);
    if (ready == 0) {
      SetError("recv: timed out");
      return IoResult::kTimeout;
    }
    if (ready < 0) return Fail("recv poll", errno);
  }
}

void CPeerTcpClient::Close() {
  if (m_hSocket >= 0) {
    close(m_hSocket);
    m_hSocket = -1;
  }
}

std::string CPeerTcpClient::LastError() const {
  std::lock_guard<std::mutex> hold(m_errorLock);
  return m_lastError;
}

CPeerTcpClient::IoResult CPeerTcpClient::Fail(const char* what, int error) {
  SetError(std::string(what) + ": " + std::strerror(error));
  return IoResult::kError;
}

void CPeerTcpClient::SetError(std::string text) {
  std::lock_guard<std::mutex> hold(m_errorLock);
  m_lastError = std::move(text);
}

}  // namespace peer
