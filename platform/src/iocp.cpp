#include "win32/iocp.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <thread>

#include "iocp_engine.h"

namespace win32 {
namespace detail {
namespace {

// Never a socket tag: those carry a generation of at least 1 in the high half.
constexpr uint64_t kWakeTag = 0;
constexpr int kMaxEventsPerPoll = 64;

using Clock = std::chrono::steady_clock;

}  // namespace

CompletionPort::CompletionPort()
    : KernelObject(ObjectKind::kCompletionPort),
      m_epollFd(epoll_create1(EPOLL_CLOEXEC)),
      m_wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (IsValid()) {
    epoll_event event = {};
    event.events = EPOLLIN;
    event.data.u64 = kWakeTag;
    epoll_ctl(m_epollFd, EPOLL_CTL_ADD, m_wakeFd, &event);
  }
}

CompletionPort::~CompletionPort() {
  if (m_epollFd >= 0) close(m_epollFd);
  if (m_wakeFd >= 0) close(m_wakeFd);
}

int CompletionPort::Watch(int fd, uint64_t tag) {
  epoll_event event = {};
  event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
  event.data.u64 = tag;
  if (epoll_ctl(m_epollFd, EPOLL_CTL_ADD, fd, &event) == 0) return 0;
  if (errno == EEXIST && epoll_ctl(m_epollFd, EPOLL_CTL_MOD, fd, &event) == 0) return 0;
  return errno;
}

void CompletionPort::Unwatch(int fd) { epoll_ctl(m_epollFd, EPOLL_CTL_DEL, fd, nullptr); }

void CompletionPort::RingLocked() {
  if (m_wakeRinging) return;
  m_wakeRinging = true;
  uint64_t one = 1;
  while (write(m_wakeFd, &one, sizeof(one)) < 0 && errno == EINTR) {
  }
}

void CompletionPort::Push(const CompletionPacket& packet) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_closed) return;
  m_packets.push_back(packet);
  if (m_polling) {
    // The poller finds packets it queued itself when it returns from dispatching.
    if (m_poller != std::this_thread::get_id()) RingLocked();
  } else {
    m_ready.notify_one();
  }
}

DWORD CompletionPort::Dequeue(DWORD milliseconds, CompletionPacket* pPacket) {
  const bool infinite = milliseconds == INFINITE;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  bool timedOut = false;
  std::unique_lock<std::mutex> lock(m_lock);
  for (;;) {
    if (m_closed) return ERROR_ABANDONED_WAIT_0;
    if (!m_packets.empty()) {
      *pPacket = m_packets.front();
      m_packets.pop_front();
      if (!m_packets.empty()) m_ready.notify_one();
      return 0;
    }
    if (timedOut) return WAIT_TIMEOUT;
    int timeoutMs = -1;
    if (!infinite) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      timeoutMs = left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, INT_MAX));
    }
    if (!m_polling) {
      m_polling = true;
      m_poller = std::this_thread::get_id();
      lock.unlock();
      PollOnce(timeoutMs);
      lock.lock();
      m_polling = false;
      m_wakeRinging = false;
      // A parked waiter takes the poller's place if this thread leaves with a packet.
      m_ready.notify_one();
    } else if (infinite) {
      m_ready.wait(lock);
    } else {
      m_ready.wait_until(lock, deadline);
    }
    if (!infinite && Clock::now() >= deadline) timedOut = true;
  }
}

void CompletionPort::PollOnce(int timeoutMs) {
  epoll_event events[kMaxEventsPerPoll];
  int count = epoll_wait(m_epollFd, events, kMaxEventsPerPoll, timeoutMs);
  for (int i = 0; i < count; ++i) {
    if (events[i].data.u64 == kWakeTag) {
      uint64_t value;
      while (read(m_wakeFd, &value, sizeof(value)) < 0 && errno == EINTR) {
      }
    } else {
      DispatchSocketEvents(events[i].data.u64);
    }
  }
}

void CompletionPort::OnHandleClosed() {
  std::lock_guard<std::mutex> lock(m_lock);
  m_closed = true;
  m_packets.clear();
  m_ready.notify_all();
  if (m_polling) RingLocked();
}

}  // namespace detail

// Used by the I/O thread (one port for the library, sockets keyed by their own handle).
HANDLE CreateIoCompletionPort(HANDLE fileHandle, HANDLE existingPort, ULONG_PTR key, DWORD) {
  const bool noFile = fileHandle == nullptr || fileHandle == INVALID_HANDLE_VALUE;
  std::shared_ptr<detail::CompletionPort> port;
  HANDLE result = existingPort;
  if (existingPort) {
    if (noFile) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    port = detail::Lookup<detail::CompletionPort>(existingPort);
    if (!port) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
  } else {
    port = std::make_shared<detail::CompletionPort>();
    if (!port->IsValid()) {
      SetLastError(detail::Win32ErrorFromErrno(errno));
      return nullptr;
    }
    result = detail::InsertHandle(port);
    if (!result) return nullptr;
  }
  if (noFile) return result;

  DWORD error = 0;
  int associated = detail::AssociateSocket(reinterpret_cast<uintptr_t>(fileHandle), port, key);
  if (associated > 0) {
    error = static_cast<DWORD>(associated);
  } else if (associated < 0 && !detail::LookupHandle(fileHandle)) {
    error = ERROR_INVALID_HANDLE;
  }
  if (error != 0) {
    if (!existingPort) CloseHandle(result);
    SetLastError(error);
    return nullptr;
  }
  return result;
}

// The I/O loop reads a FALSE result with an overlapped pointer as a failed request.
BOOL GetQueuedCompletionStatus(HANDLE port, LPDWORD bytesTransferred, PULONG_PTR key,
                               LPOVERLAPPED* overlapped, DWORD milliseconds) {
  if (overlapped) *overlapped = nullptr;
  std::shared_ptr<detail::CompletionPort> pPort = detail::Lookup<detail::CompletionPort>(port);
  if (!pPort) return detail::Fail(ERROR_INVALID_HANDLE);
  if (!bytesTransferred || !key || !overlapped) return detail::Fail(ERROR_INVALID_PARAMETER);
  detail::CompletionPacket packet;
  DWORD result = pPort->Dequeue(milliseconds, &packet);
  if (result != 0) return detail::Fail(result);
  *bytesTransferred = packet.bytes;
  *key = packet.key;
  *overlapped = packet.pOverlapped;
  if (packet.error != 0) return detail::Fail(packet.error);
  return TRUE;
}

// Work items (key 0), quit (key 1) and timer wake-ups (key 10) come this way.
BOOL PostQueuedCompletionStatus(HANDLE port, DWORD bytesTransferred, ULONG_PTR key,
                                LPOVERLAPPED overlapped) {
  std::shared_ptr<detail::CompletionPort> pPort = detail::Lookup<detail::CompletionPort>(port);
  if (!pPort) return detail::Fail(ERROR_INVALID_HANDLE);
  detail::CompletionPacket packet;
  packet.bytes = bytesTransferred;
  packet.key = key;
  packet.pOverlapped = overlapped;
  pPort->Push(packet);
  return TRUE;
}

// A device's Close cancels its own thread's requests before closing the socket.
BOOL CancelIo(HANDLE handle) {
  if (detail::CancelSocketIoOfThread(reinterpret_cast<uintptr_t>(handle))) return TRUE;
  if (!detail::LookupHandle(handle)) return detail::Fail(ERROR_INVALID_HANDLE);
  return TRUE;
}

}  // namespace win32
