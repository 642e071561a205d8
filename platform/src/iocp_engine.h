#pragma once
// The completion port object and the hooks between it and the socket engine (sockets.cpp).

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "handles.h"
#include "win32/overlapped.h"

namespace win32::detail {

struct CompletionPacket {
  DWORD bytes = 0;
  ULONG_PTR key = 0;
  LPOVERLAPPED pOverlapped = nullptr;
  DWORD error = 0;  // Win32 error of a failed request, 0 for success and posts
};

// First in, first out, in a ring that only grows: queuing a packet allocates nothing once the
// ring has reached the deepest queue seen.
class PacketQueue {
 public:
  bool empty() const { return m_count == 0; }
  void push_back(const CompletionPacket& packet) {
    if (m_count == m_ring.size()) Grow();
    m_ring[(m_head + m_count) & (m_ring.size() - 1)] = packet;
    ++m_count;
  }
  const CompletionPacket& front() const { return m_ring[m_head]; }
  void pop_front() {
    m_head = (m_head + 1) & (m_ring.size() - 1);
    --m_count;
  }
  void clear() {
    m_head = 0;
    m_count = 0;
  }

 private:
  void Grow() {
    std::vector<CompletionPacket> larger(m_ring.empty() ? 64 : m_ring.size() * 2);
    for (size_t i = 0; i < m_count; ++i) larger[i] = m_ring[(m_head + i) & (m_ring.size() - 1)];
    m_ring.swap(larger);
    m_head = 0;
  }

  std::vector<CompletionPacket> m_ring;  // size 0 or a power of two
  size_t m_head = 0;
  size_t m_count = 0;
};

// A completion port: a FIFO of packets plus the epoll set of the sockets associated with it.
// There is no engine thread: a thread waiting in Dequeue with the queue empty becomes the port's
// poller, runs epoll_wait and advances the ready sockets' requests itself, so a completion costs
// no thread switch. Other waiters park on a condition variable until a packet or the poller's
// turn comes to them.
// Lifetime: the handle table holds one reference and every associated socket another. Closing
// the handle wakes every waiter (735) and discards packets queued from then on; the epoll set
// lives until the last socket lets go.
// Threading: all methods may be called from any thread. m_lock guards the queue and the flags;
// it is never held during epoll_wait or socket work. Lock order: a socket's lock, then m_lock.
class CompletionPort final : public KernelObject {
 public:
  CompletionPort();
  ~CompletionPort() override;

  // False when the epoll set or its wake descriptor could not be made (errno says why).
  bool IsValid() const { return m_epollFd >= 0 && m_wakeFd >= 0; }

  // Registers fd, edge-triggered for input and output; its events reach DispatchSocketEvents
  // with `tag`. Returns 0 or errno.
  int Watch(int fd, uint64_t tag);
  void Unwatch(int fd);

  // Queues a packet (dropped once the port is closed).
  void Push(const CompletionPacket& packet);

  // Takes the oldest packet: 0, or WAIT_TIMEOUT, or ERROR_ABANDONED_WAIT_0 when the port was
  // closed. INFINITE waits for ever.
  DWORD Dequeue(DWORD milliseconds, CompletionPacket* pPacket);

  // KernelObject:
  void OnHandleClosed() override;

 private:
  // Runs one epoll_wait (timeoutMs -1: no limit) and dispatches what it returns.
  void PollOnce(int timeoutMs);
  void RingLocked();

  // Set in the constructor, then constant.
  const int m_epollFd;
  const int m_wakeFd;

  // Guarded by m_lock.
  std::mutex m_lock;
  std::condition_variable m_ready;
  PacketQueue m_packets;
  bool m_closed = false;
  bool m_polling = false;      // a waiter is inside PollOnce
  std::thread::id m_poller;    // that waiter
  bool m_wakeRinging = false;  // m_wakeFd written since the poller last looked
};

// Implemented by the socket engine.
// Advances the requests of the socket that `tag` names (stale tags are ignored).
void DispatchSocketEvents(uint64_t tag);
// -1 when `value` is not one of the layer's sockets; otherwise 0, or the Win32 error.
int AssociateSocket(uintptr_t value, const std::shared_ptr<CompletionPort>& port, ULONG_PTR key);
// False when `value` is not one of the layer's sockets; else ends the calling thread's requests.
bool CancelSocketIoOfThread(uintptr_t value);

}  // namespace win32::detail
