#include "win32/winsock.h"

#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "handles.h"
#include "iocp_engine.h"
#include "win32/iocp.h"
#include "win32/thread.h"

namespace win32 {
namespace detail {
namespace {

// What Windows asks of each AcceptEx address slot.
constexpr DWORD kMinAcceptAddressSlot = sizeof(sockaddr_in) + 16;
// An unanswered connect gives up after about 30 s, close to Windows' 21 s.
constexpr int kConnectSynRetries = 4;
// What one read of a stream socket takes from the kernel beyond the request that reads it.
constexpr size_t kReceiveBufferSize = 64 * 1024;
// Idle receive buffers kept for reuse, for the whole process.
constexpr size_t kMaxSpareReceiveBuffers = 8;
// A stream read fills at most this many of the request's buffers, then the socket's own.
constexpr size_t kMaxReadVectors = 16;

enum class RequestKind { kRecv, kRecvFrom, kSend, kSendTo, kAccept };

bool IsReadKind(RequestKind kind) {
  return kind == RequestKind::kRecv || kind == RequestKind::kRecvFrom ||
         kind == RequestKind::kAccept;
}

struct SocketRecord;

// The caller's buffers of one request. One or two buffers (every request the system makes) live
// inline, so issuing a request allocates nothing.
class IovecList {
 public:
  IovecList() = default;
  IovecList(const WSABUF* pBuffers, DWORD count) {
    size_t used = 0;
    for (DWORD i = 0; i < count; ++i) used += pBuffers[i].len != 0;
    if (used > kInline) m_heap.reserve(used);
    for (DWORD i = 0; i < count; ++i) {
      if (pBuffers[i].len == 0) continue;
      iovec buffer{pBuffers[i].buf, pBuffers[i].len};
      if (used > kInline) {
        m_heap.push_back(buffer);
      } else {
        m_inline[m_count] = buffer;
      }
      ++m_count;
    }
  }

  bool empty() const { return m_first == m_count; }
  size_t size() const { return m_count - m_first; }
  iovec* data() { return (m_heap.empty() ? m_inline : m_heap.data()) + m_first; }

  // Drops `count` bytes from the front.
  void Consume(size_t count) {
    while (m_first < m_count && count >= data()->iov_len) {
      count -= data()->iov_len;
      ++m_first;
    }
    if (count > 0 && m_first < m_count) {
      data()->iov_base = static_cast<char*>(data()->iov_base) + count;
      data()->iov_len -= count;
    }
  }

  // Copies up to the total length from pSource; returns the bytes copied.
  size_t Fill(const char* pSource, size_t length) {
    size_t copied = 0;
    for (size_t i = 0; i < size() && copied < length; ++i) {
      const size_t part = std::min(data()[i].iov_len, length - copied);
      memcpy(data()[i].iov_base, pSource + copied, part);
      copied += part;
    }
    return copied;
  }

 private:
  static constexpr size_t kInline = 2;
  iovec m_inline[kInline] = {};
  std::vector<iovec> m_heap;
  size_t m_first = 0;
  size_t m_count = 0;
};

// One overlapped request queued on a socket.
struct Request {
  RequestKind kind = RequestKind::kRecv;
  LPOVERLAPPED pOverlapped = nullptr;
  pid_t issuer = 0;            // CancelIo ends only the calling thread's requests
  IovecList buffers;           // for sends, what is still to go
  size_t done = 0;             // for sends, bytes already out
  sockaddr* pFrom = nullptr;   // receive-from: written when the datagram arrives
  int* pFromLength = nullptr;
  sockaddr_storage to = {};  // send-to
  socklen_t toLength = 0;
  std::shared_ptr<SocketRecord> acceptSocket;  // AcceptEx
  char* pAcceptBuffer = nullptr;
  DWORD localSlot = 0;
  DWORD remoteSlot = 0;
};

// The result of one non-blocking attempt.
struct Outcome {
  enum State { kDone, kFailed, kWouldBlock };
  State state = kDone;
  size_t bytes = 0;
  DWORD immediateError = 0;   // WSA number, when the issuing call reports the failure
  DWORD completionError = 0;  // Win32 number, when the port reports it
};

Outcome Done(size_t bytes) { return Outcome{Outcome::kDone, bytes, 0, 0}; }
Outcome WouldBlock() { return Outcome{Outcome::kWouldBlock, 0, 0, 0}; }
Outcome Failed(DWORD immediateError, DWORD completionError, size_t bytes) {
  return Outcome{Outcome::kFailed, bytes, immediateError, completionError};
}
Outcome FailedErrno(int err, size_t bytes) {
  return Failed(WsaErrorFromErrno(err), CompletionErrorFromErrno(err), bytes);
}

// The pending requests of one kind on a socket, oldest first. Its storage is kept when it
// empties, so a request that has to wait allocates nothing in steady state.
class RequestQueue {
 public:
  using iterator = std::vector<Request>::iterator;

  bool empty() const { return m_requests.empty(); }
  Request& front() { return m_requests.front(); }
  void push_back(Request&& request) { m_requests.push_back(std::move(request)); }
  void pop_front() { m_requests.erase(m_requests.begin()); }
  iterator begin() { return m_requests.begin(); }
  iterator end() { return m_requests.end(); }
  iterator erase(iterator it) { return m_requests.erase(it); }
  void clear() { m_requests.clear(); }

 private:
  std::vector<Request> m_requests;
};

// Spare receive buffers of stream sockets. A socket holds a buffer only while it has bytes in
// it, so a thousand idle connections hold none.
// Lifetime: one per process, leaky (sockets may be closed from exit handlers).
// Threading: any thread; its own lock, taken under a socket's lock.
class ReceiveBufferPool {
 public:
  static ReceiveBufferPool& Instance() {
    static ReceiveBufferPool* pool = new ReceiveBufferPool;
    return *pool;
  }

  // Null when memory is exhausted.
  char* Take() {
    {
      std::lock_guard<std::mutex> lock(m_lock);
      if (!m_spares.empty()) {
        char* pBuffer = m_spares.back();
        m_spares.pop_back();
        return pBuffer;
      }
    }
    return new (std::nothrow) char[kReceiveBufferSize];
  }

  void Give(char* pBuffer) {
    if (!pBuffer) return;
    {
      std::lock_guard<std::mutex> lock(m_lock);
      if (m_spares.size() < kMaxSpareReceiveBuffers) {
        m_spares.push_back(pBuffer);
        return;
      }
    }
    delete[] pBuffer;
  }

 private:
  ReceiveBufferPool() { m_spares.reserve(kMaxSpareReceiveBuffers); }

  std::mutex m_lock;
  std::vector<char*> m_spares;
};

// The layer's side of one socket, found by descriptor number.
// Lifetime: made with the socket, taken out of the table by closesocket. Queued requests, epoll
//   dispatch and callers hold references, so a late event meets a closed record, never freed
//   memory; the generation in epoll tags tells a reused descriptor number from the old socket.
// Threading: the fields below m_lock are guarded by it. Lock order: a listening socket's lock,
//   then its accept socket's; a socket's lock, then its port's lock.
struct SocketRecord {
  SocketRecord(int fd, uint32_t generation, bool stream)
      : m_fd(fd), m_generation(generation), m_stream(stream) {}
  ~SocketRecord() { ReceiveBufferPool::Instance().Give(m_pReceived); }
  uint64_t Tag() const { return uint64_t{m_generation} << 32 | static_cast<uint32_t>(m_fd); }
  size_t BufferedLocked() const { return m_receivedEnd - m_receivedBegin; }
  void DropReceivedLocked() {
    ReceiveBufferPool::Instance().Give(m_pReceived);
    m_pReceived = nullptr;
    m_receivedBegin = m_receivedEnd = 0;
  }

  const int m_fd;
  const uint32_t m_generation;
  // Stream sockets read ahead into a buffer of their own; datagrams keep one per request.
  const bool m_stream;

  std::mutex m_lock;
  bool m_closed = false;
  bool m_nonBlocking = false;  // the mode Windows code sees; the descriptor is always O_NONBLOCK
  std::shared_ptr<CompletionPort> m_port;
  ULONG_PTR m_key = 0;
  RequestQueue m_reads;  // receives, or accepts on a listening socket
  RequestQueue m_writes;
  // Bytes read from the stream and not yet handed to a receive: [begin, end) of the buffer,
  // which is held only while it is not empty. Receives are pending only while it is empty.
  char* m_pReceived = nullptr;
  size_t m_receivedBegin = 0;
  size_t m_receivedEnd = 0;
  // Event selection (connect notification only).
  WSAEVENT m_hSelectEvent = nullptr;
  LONG m_selectMask = 0;
  LONG m_recordedEvents = 0;
  int m_connectError = 0;
  bool m_connectWatched = false;
  bool m_connectSignalled = false;
  // The listening socket whose AcceptEx targets this socket (closing it ends that accept).
  std::weak_ptr<SocketRecord> m_acceptOn;
};

class SocketTable {
 public:
  void Insert(const std::shared_ptr<SocketRecord>& record) {
    std::lock_guard<std::mutex> lock(m_lock);
    size_t index = static_cast<size_t>(record->m_fd);
    if (index >= m_records.size()) m_records.resize(index + 1);
    m_records[index] = record;
  }
  std::shared_ptr<SocketRecord> Find(int fd) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (fd < 0 || static_cast<size_t>(fd) >= m_records.size()) return nullptr;
    return m_records[fd];
  }
  void Remove(const SocketRecord* pRecord) {
    std::lock_guard<std::mutex> lock(m_lock);
    size_t index = static_cast<size_t>(pRecord->m_fd);
    if (index < m_records.size() && m_records[index].get() == pRecord) m_records[index].reset();
  }

 private:
  std::mutex m_lock;
  std::vector<std::shared_ptr<SocketRecord>> m_records;
};

// Leaky: sockets may be closed from exit handlers.
SocketTable& Sockets() {
  static SocketTable* table = new SocketTable;
  return *table;
}

uint32_t NextGeneration() {
  static std::atomic<uint32_t> counter{0};
  uint32_t generation;
  do {
    generation = ++counter;
  } while (generation == 0);
  return generation;
}

int FdOf(SOCKET s) {
  uintptr_t value = static_cast<uintptr_t>(s);
  return value <= static_cast<uintptr_t>(INT_MAX) ? static_cast<int>(value) : -1;
}

std::shared_ptr<SocketRecord> FindSocket(SOCKET s) { return Sockets().Find(FdOf(s)); }

int FailSocket(int wsaError) {
  SetLastError(static_cast<DWORD>(wsaError));
  return SOCKET_ERROR;
}

void WaitFd(int fd, short events) {
  pollfd p = {fd, events, 0};
  while (poll(&p, 1, -1) < 0 && errno == EINTR) {
  }
}

void CopyAddressOut(const sockaddr_storage& address, socklen_t length, sockaddr* pOut,
                    int* pOutLength) {
  if (!pOut || !pOutLength || *pOutLength < 0) return;
  size_t copy = std::min<size_t>(static_cast<size_t>(*pOutLength), length);
  memcpy(pOut, &address, copy);
  *pOutLength = static_cast<int>(length);
}

int AddressLength(const void* pAddress) {
  sa_family_t family;
  memcpy(&family, pAddress, sizeof(family));
  if (family == AF_INET) return sizeof(sockaddr_in);
  if (family == AF_INET6) return sizeof(sockaddr_in6);
  return 0;
}

// --- Connect watching ---

HANDLE RecordConnectLocked(SocketRecord& record, int wsaError) {
  record.m_recordedEvents |= FD_CONNECT;
  record.m_connectError = wsaError;
  record.m_connectWatched = false;
  if (record.m_connectSignalled || !record.m_hSelectEvent) return nullptr;
  record.m_connectSignalled = true;
  return record.m_hSelectEvent;
}

// Signals the events of event-selected sockets whose connect was in progress when connect()
// returned, as soon as the connect ends.
// Lifetime: one per process, leaky; its thread starts with the first watched connect and runs
//   until the process ends.
// Threading: Watch and Unwatch may be called from any thread (epoll allows that during a wait).
class ConnectWatcher {
 public:
  static ConnectWatcher& Instance() {
    static ConnectWatcher* watcher = new ConnectWatcher;
    return *watcher;
  }

  // Level-triggered, one shot: a connect that already ended reports at once.
  int Watch(int fd, uint64_t tag) {
    if (m_epollFd < 0) return EMFILE;
    std::call_once(m_started, [this] { std::thread([this] { Run(); }).detach(); });
    epoll_event event = {};
    event.events = EPOLLOUT | EPOLLONESHOT;
    event.data.u64 = tag;
    if (epoll_ctl(m_epollFd, EPOLL_CTL_ADD, fd, &event) == 0) return 0;
    if (errno == EEXIST && epoll_ctl(m_epollFd, EPOLL_CTL_MOD, fd, &event) == 0) return 0;
    return errno;
  }

  void Unwatch(int fd) { epoll_ctl(m_epollFd, EPOLL_CTL_DEL, fd, nullptr); }

 private:
  ConnectWatcher() : m_epollFd(epoll_create1(EPOLL_CLOEXEC)) {}

  void Run() {
    epoll_event events[16];
    for (;;) {
      int count = epoll_wait(m_epollFd, events, 16, -1);
      for (int i = 0; i < count; ++i) OnConnectEnded(events[i].data.u64);
    }
  }

  void OnConnectEnded(uint64_t tag) {
    std::shared_ptr<SocketRecord> record = Sockets().Find(static_cast<int>(tag & 0xFFFFFFFF));
    if (!record || record->m_generation != static_cast<uint32_t>(tag >> 32)) return;
    HANDLE hEvent = nullptr;
    {
      std::lock_guard<std::mutex> lock(record->m_lock);
      if (record->m_closed || !record->m_connectWatched) return;
      int soError = 0;
      socklen_t length = sizeof(soError);
      if (::getsockopt(record->m_fd, SOL_SOCKET, SO_ERROR, &soError, &length) != 0) {
        soError = errno;
      }
      Unwatch(record->m_fd);
      hEvent = RecordConnectLocked(*record, static_cast<int>(WsaErrorFromErrno(soError)));
    }
    if (hEvent) SetEvent(hEvent);
  }

  const int m_epollFd;
  std::once_flag m_started;
};

// --- Attempts (socket lock held) ---

// A stream receive takes what the socket's buffer holds; when it is empty, one readv fills the
// request and then the buffer with whatever the kernel has, so a stream read in small requests
// costs one system call per buffer, not one per request.
Outcome TryStreamReceive(SocketRecord& record, Request& request) {
  if (request.buffers.empty()) return Done(0);
  if (size_t held = record.BufferedLocked()) {
    size_t copied = request.buffers.Fill(record.m_pReceived + record.m_receivedBegin, held);
    record.m_receivedBegin += copied;
    if (record.BufferedLocked() == 0) record.DropReceivedLocked();
    return Done(copied);
  }
  iovec vectors[kMaxReadVectors];
  const size_t own = std::min(request.buffers.size(), kMaxReadVectors - 1);
  std::copy_n(request.buffers.data(), own, vectors);
  size_t wanted = 0;
  for (size_t i = 0; i < own; ++i) wanted += vectors[i].iov_len;
  char* pBuffer = ReceiveBufferPool::Instance().Take();
  size_t count = own;
  if (pBuffer) vectors[count++] = iovec{pBuffer, kReceiveBufferSize};
  ssize_t read;
  do {
    read = readv(record.m_fd, vectors, static_cast<int>(count));
  } while (read < 0 && errno == EINTR);
  const int err = errno;
  const size_t got = read > 0 ? static_cast<size_t>(read) : 0;
  if (got > wanted) {
    record.m_pReceived = pBuffer;
    record.m_receivedBegin = 0;
    record.m_receivedEnd = got - wanted;
  } else {
    ReceiveBufferPool::Instance().Give(pBuffer);
  }
  if (read < 0) {
    if (err == EAGAIN || err == EWOULDBLOCK) return WouldBlock();
    return FailedErrno(err, 0);
  }
  return Done(std::min(got, wanted));
}

Outcome TryReceive(SocketRecord& record, Request& request) {
  if (record.m_stream && request.kind == RequestKind::kRecv) {
    return TryStreamReceive(record, request);
  }
  sockaddr_storage from;
  msghdr message = {};
  message.msg_iov = request.buffers.data();
  message.msg_iovlen = std::min<size_t>(request.buffers.size(), IOV_MAX);
  if (request.kind == RequestKind::kRecvFrom) {
    message.msg_name = &from;
    message.msg_namelen = sizeof(from);
  }
  ssize_t count;
  do {
    count = recvmsg(record.m_fd, &message, 0);
  } while (count < 0 && errno == EINTR);
  if (count < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return WouldBlock();
    return FailedErrno(errno, 0);
  }
  if (request.kind == RequestKind::kRecvFrom) {
    CopyAddressOut(from, message.msg_namelen, request.pFrom, request.pFromLength);
    // Windows fails a datagram that did not fit, keeping the part that did.
    if (message.msg_flags & MSG_TRUNC) {
      return Failed(WSAEMSGSIZE, ERROR_MORE_DATA, static_cast<size_t>(count));
    }
  }
  return Done(static_cast<size_t>(count));
}

Outcome TrySend(SocketRecord& record, Request& request) {
  while (!request.buffers.empty()) {
    msghdr message = {};
    message.msg_iov = request.buffers.data();
    message.msg_iovlen = std::min<size_t>(request.buffers.size(), IOV_MAX);
    if (request.kind == RequestKind::kSendTo) {
      message.msg_name = &request.to;
      message.msg_namelen = request.toLength;
    }
    ssize_t count = sendmsg(record.m_fd, &message, MSG_NOSIGNAL);
    if (count < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return WouldBlock();
      return FailedErrno(errno, request.done);
    }
    request.done += static_cast<size_t>(count);
    request.buffers.Consume(static_cast<size_t>(count));
  }
  return Done(request.done);
}

// Errors that concern one dead connection in the backlog, not the listening socket.
bool IsTransientAcceptError(int err) {
  switch (err) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EPERM:
      return true;
    default:
      return false;
  }
}

void WriteAcceptSlot(char* pSlot, DWORD slotSize, const sockaddr_storage& address,
                     socklen_t length) {
  memset(pSlot, 0, slotSize);
  memcpy(pSlot, &address, std::min<size_t>(slotSize, length));
}

// The accepted descriptor takes over the accept socket's number, so its SOCKET value, record
// and generation stay valid.
Outcome AdoptAccepted(Request& request, int acceptedFd, const sockaddr_storage& remote,
                      socklen_t remoteLength) {
  SocketRecord& target = *request.acceptSocket;
  std::lock_guard<std::mutex> lock(target.m_lock);
  if (target.m_closed) {
    close(acceptedFd);
    return Failed(WSAENOTSOCK, ERROR_OPERATION_ABORTED, 0);
  }
  int result;
  do {
    result = dup3(acceptedFd, target.m_fd, O_CLOEXEC);
  } while (result < 0 && errno == EINTR);
  int err = errno;
  close(acceptedFd);
  if (result < 0) return FailedErrno(err, 0);
  // The old description left the epoll set when dup3 closed it.
  if (target.m_port) target.m_port->Watch(target.m_fd, target.Tag());
  target.m_acceptOn.reset();
  sockaddr_storage local = {};
  socklen_t localLength = sizeof(local);
  if (::getsockname(target.m_fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0) {
    localLength = 0;
  }
  WriteAcceptSlot(request.pAcceptBuffer, request.localSlot, local, localLength);
  WriteAcceptSlot(request.pAcceptBuffer + request.localSlot, request.remoteSlot, remote,
                  remoteLength);
  return Done(0);
}

Outcome TryAccept(SocketRecord& record, Request& request) {
  for (;;) {
    sockaddr_storage remote;
    socklen_t remoteLength = sizeof(remote);
    int fd = accept4(record.m_fd, reinterpret_cast<sockaddr*>(&remote), &remoteLength,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) return AdoptAccepted(request, fd, remote, remoteLength);
    if (errno == EAGAIN || errno == EWOULDBLOCK) return WouldBlock();
    // Out of descriptors or memory: the connection stays in the backlog, and waiting for
    // readiness again would spin, so the accept fails now.
    if (!IsTransientAcceptError(errno)) return FailedErrno(errno, 0);
  }
}

Outcome TryLocked(SocketRecord& record, Request& request) {
  switch (request.kind) {
    case RequestKind::kRecv:
    case RequestKind::kRecvFrom:
      return TryReceive(record, request);
    case RequestKind::kSend:
    case RequestKind::kSendTo:
      return TrySend(record, request);
    case RequestKind::kAccept:
      return TryAccept(record, request);
  }
  return WouldBlock();
}

void CompleteLocked(SocketRecord& record, Request& request, DWORD error, size_t bytes) {
  request.pOverlapped->Internal = error;
  request.pOverlapped->InternalHigh = bytes;
  CompletionPacket packet;
  packet.bytes = static_cast<DWORD>(bytes);
  packet.key = record.m_key;
  packet.pOverlapped = request.pOverlapped;
  packet.error = error;
  record.m_port->Push(packet);
}

void ProgressQueueLocked(SocketRecord& record, RequestQueue& queue) {
  while (!queue.empty()) {
    Outcome outcome = TryLocked(record, queue.front());
    if (outcome.state == Outcome::kWouldBlock) return;
    Request request = std::move(queue.front());
    queue.pop_front();
    CompleteLocked(record, request, outcome.state == Outcome::kDone ? 0 : outcome.completionError,
                   outcome.bytes);
  }
}

// Returns 0 when the request finished at once (its packet is queued, *pBytes set), 997 when it
// waits in the socket's queue, or the WSA error of an immediate failure (no packet).
DWORD Issue(const std::shared_ptr<SocketRecord>& record, Request&& request, size_t* pBytes) {
  std::lock_guard<std::mutex> lock(record->m_lock);
  if (record->m_closed) return WSAENOTSOCK;
  if (!record->m_port) return WSAEINVAL;
  if (request.kind == RequestKind::kAccept) {
    SocketRecord& target = *request.acceptSocket;
    std::lock_guard<std::mutex> targetLock(target.m_lock);
    if (target.m_closed) return WSAENOTSOCK;
    target.m_acceptOn = record;
  }
  request.pOverlapped->Internal = ERROR_IO_PENDING;
  request.pOverlapped->InternalHigh = 0;
  request.issuer = static_cast<pid_t>(GetCurrentThreadId());
  RequestQueue& queue = IsReadKind(request.kind) ? record->m_reads : record->m_writes;
  // Never overtake queued requests: two threads' sends must not interleave on the wire.
  if (queue.empty()) {
    Outcome outcome = TryLocked(*record, request);
    if (outcome.state == Outcome::kDone) {
      *pBytes = outcome.bytes;
      CompleteLocked(*record, request, 0, outcome.bytes);
      return 0;
    }
    if (outcome.state == Outcome::kFailed) return outcome.immediateError;
  }
  queue.push_back(std::move(request));
  return WSA_IO_PENDING;
}

int FinishRequest(DWORD status, size_t bytes, LPDWORD pBytes) {
  if (status != 0) return FailSocket(static_cast<int>(status));
  if (pBytes) *pBytes = static_cast<DWORD>(bytes);
  return 0;
}

// Ends `requests` with 995 (socket lock held).
void AbortLocked(SocketRecord& record, RequestQueue& requests) {
  for (Request& request : requests) {
    CompleteLocked(record, request, ERROR_OPERATION_ABORTED, request.done);
  }
  requests.clear();
}

SOCKET AdoptNewSocket(int fd, int type) {
  if (fd < 3) {
    // Keep clear of the standard descriptors: SOCKET 0 would read as a null HANDLE.
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int err = errno;
    close(fd);
    if (moved < 0) {
      SetLastError(WsaErrorFromErrno(err));
      return INVALID_SOCKET;
    }
    fd = moved;
  }
  if (type == SOCK_STREAM) {
    int retries = kConnectSynRetries;
    ::setsockopt(fd, IPPROTO_TCP, TCP_SYNCNT, &retries, sizeof(retries));
  }
  Sockets().Insert(std::make_shared<SocketRecord>(fd, NextGeneration(), type == SOCK_STREAM));
  return static_cast<SOCKET>(fd);
}

}  // namespace

void DispatchSocketEvents(uint64_t tag) {
  std::shared_ptr<SocketRecord> record = Sockets().Find(static_cast<int>(tag & 0xFFFFFFFF));
  if (!record || record->m_generation != static_cast<uint32_t>(tag >> 32)) return;
  std::lock_guard<std::mutex> lock(record->m_lock);
  if (record->m_closed) return;
  ProgressQueueLocked(*record, record->m_reads);
  ProgressQueueLocked(*record, record->m_writes);
}

int AssociateSocket(uintptr_t value, const std::shared_ptr<CompletionPort>& port, ULONG_PTR key) {
  if (value > static_cast<uintptr_t>(INT_MAX)) return -1;
  std::shared_ptr<SocketRecord> record = Sockets().Find(static_cast<int>(value));
  if (!record) return -1;
  std::lock_guard<std::mutex> lock(record->m_lock);
  if (record->m_closed) return static_cast<int>(ERROR_INVALID_HANDLE);
  if (record->m_port) return static_cast<int>(ERROR_INVALID_PARAMETER);
  int err = port->Watch(record->m_fd, record->Tag());
  if (err != 0) return static_cast<int>(Win32ErrorFromErrno(err));
  record->m_port = port;
  record->m_key = key;
  return 0;
}

bool CancelSocketIoOfThread(uintptr_t value) {
  if (value > static_cast<uintptr_t>(INT_MAX)) return false;
  std::shared_ptr<SocketRecord> record = Sockets().Find(static_cast<int>(value));
  if (!record) return false;
  const pid_t self = static_cast<pid_t>(GetCurrentThreadId());
  std::lock_guard<std::mutex> lock(record->m_lock);
  for (RequestQueue* pQueue : {&record->m_reads, &record->m_writes}) {
    RequestQueue mine;
    for (auto it = pQueue->begin(); it != pQueue->end();) {
      if (it->issuer == self) {
        mine.push_back(std::move(*it));
        it = pQueue->erase(it);
      } else {
        ++it;
      }
    }
    AbortLocked(*record, mine);
  }
  return true;
}

}  // namespace detail

using detail::FailSocket;
using detail::FdOf;
using detail::FindSocket;
using detail::Request;
using detail::RequestKind;
using detail::SocketRecord;

int WSAGetLastError() { return static_cast<int>(GetLastError()); }

void WSASetLastError(int error) { SetLastError(static_cast<DWORD>(error)); }

namespace {
std::mutex g_startupLock;
int g_startupCount = 0;
}  // namespace

// The library refuses to load when this fails.
int WSAStartup(WORD versionRequested, LPWSADATA data) {
  if (!data) return WSAEFAULT;
  if ((versionRequested & 0xFF) < 1) return WSAVERNOTSUPPORTED;
  memset(data, 0, sizeof(*data));
  const WORD highest = 0x0202;
  bool aboveHighest = (versionRequested & 0xFF) > 2 ||
                      ((versionRequested & 0xFF) == 2 && (versionRequested >> 8) >= 2);
  data->wVersion = aboveHighest ? highest : versionRequested;
  data->wHighVersion = highest;
  strcpy(data->szDescription, "WinSock 2.0");
  strcpy(data->szSystemStatus, "Running");
  std::lock_guard<std::mutex> lock(g_startupLock);
  ++g_startupCount;
  return 0;
}

int WSACleanup() {
  std::lock_guard<std::mutex> lock(g_startupLock);
  if (g_startupCount == 0) return FailSocket(WSANOTINITIALISED);
  --g_startupCount;
  return 0;
}

// The devices and the local server create their sockets here.
SOCKET WSASocketW(int af, int type, int protocol, LPWSAPROTOCOL_INFOW protocolInfo, GROUP, DWORD) {
  if (protocolInfo) {
    SetLastError(WSAEINVAL);
    return INVALID_SOCKET;
  }
  int fd = ::socket(af, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    SetLastError(detail::WsaErrorFromErrno(errno));
    return INVALID_SOCKET;
  }
  return detail::AdoptNewSocket(fd, type);
}

SOCKET socket(int af, int type, int protocol) {
  return WSASocketW(af, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
}

// Device Close and the local server's Close end outstanding requests this way.
int closesocket(SOCKET s) {
  int fd = FdOf(s);
  std::shared_ptr<SocketRecord> record = FindSocket(s);
  if (!record) {
    if (fd < 0 || close(fd) != 0) return FailSocket(WSAENOTSOCK);
    return 0;
  }
  HANDLE hEvent = nullptr;
  std::shared_ptr<SocketRecord> listener;
  {
    std::lock_guard<std::mutex> lock(record->m_lock);
    if (record->m_closed) return FailSocket(WSAENOTSOCK);
    record->m_closed = true;
    if (record->m_port) record->m_port->Unwatch(fd);
    if (record->m_connectWatched) detail::ConnectWatcher::Instance().Unwatch(fd);
    // Out of the table before the number is free for reuse.
    detail::Sockets().Remove(record.get());
    close(fd);
    detail::AbortLocked(*record, record->m_reads);
    detail::AbortLocked(*record, record->m_writes);
    record->DropReceivedLocked();
    // A connect thread waiting on this socket's event must hear about it, or its slot would
    // stay taken for good.
    if ((record->m_selectMask & FD_CONNECT) && !record->m_connectSignalled &&
        record->m_hSelectEvent) {
      record->m_connectSignalled = true;
      hEvent = record->m_hSelectEvent;
    }
    listener = record->m_acceptOn.lock();
  }
  if (hEvent) SetEvent(hEvent);
  if (listener) {
    // An AcceptEx aimed at this socket ends now rather than with the next connection.
    std::lock_guard<std::mutex> lock(listener->m_lock);
    detail::RequestQueue ended;
    for (auto it = listener->m_reads.begin(); it != listener->m_reads.end();) {
      if (it->acceptSocket == record) {
        ended.push_back(std::move(*it));
        it = listener->m_reads.erase(it);
      } else {
        ++it;
      }
    }
    detail::AbortLocked(*listener, ended);
  }
  return 0;
}

// Channels read into a pool block's free area; 0 bytes means the peer closed.
int WSARecv(SOCKET s, LPWSABUF buffers, DWORD bufferCount, LPDWORD bytesReceived, LPDWORD flags,
            LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
  if (routine) return FailSocket(WSAEOPNOTSUPP);
  if (!overlapped || (!buffers && bufferCount)) return FailSocket(WSAEINVAL);
  std::shared_ptr<SocketRecord> record = FindSocket(s);
  if (!record) return FailSocket(WSAENOTSOCK);
  if (flags) *flags = 0;
  Request request;
  request.kind = RequestKind::kRecv;
  request.pOverlapped = overlapped;
  request.buffers = detail::IovecList(buffers, bufferCount);
  size_t bytes = 0;
  DWORD status = detail::Issue(record, std::move(request), &bytes);
  return detail::FinishRequest(status, bytes, bytesReceived);
}

// The I/O thread and the upload thread both send on a phone channel: order is call order.
int WSASend(SOCKET s, LPWSABUF buffers, DWORD bufferCount, LPDWORD bytesSent, DWORD,
            LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
  if (routine) return FailSocket(WSAEOPNOTSUPP);
  if (!overlapped || (!buffers && bufferCount)) return FailSocket(WSAEINVAL);
  std::shared_ptr<SocketRecord> record = FindSocket(s);
  if (!record) return FailSocket(WSAENOTSOCK);
  Request request;
  request.kind = RequestKind::kSend;
  request.pOverlapped = overlapped;
  request.buffers = detail::IovecList(buffers, bufferCount);
  size_t bytes = 0;
  DWORD status = detail::Issue(record, std::move(request), &bytes);
  return detail::FinishRequest(status, bytes, bytesSent);
}

// The name resolver keeps the sender's address in its operation and compares it byte for byte.
int WSARecvFrom(SOCKET s, LPWSABUF buffers, DWORD bufferCount, LPDWORD bytesReceived, LPDWORD flags,
                sockaddr* from, LPINT fromLength, LPWSAOVERLAPPED overlapped,
                LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
  if (routine) return FailSocket(WSAEOPNOTSUPP);
  if (!overlapped || (!buffers && bufferCount)) return FailSocket(WSAEINVAL);
  if (from && !fromLength) return FailSocket(WSAEFAULT);
  std::shared_ptr<SocketRecord> record = FindSocket(s);
  if (!record) return FailSocket(WSAENOTSOCK);
  if (flags) *flags = 0;
  Request request;
  request.kind = RequestKind::kRecvFrom;
  request.pOverlapped = overlapped;
  request.buffers = detail::IovecList(buffers, bufferCount);
  request.pFrom = from;
  request.pFromLength = fromLength;
  size_t bytes = 0;
  DWORD status = detail::Issue(record, std::move(request), &bytes);
  return detail::FinishRequest(status, bytes, bytesReceived);
}

int WSASendTo(SOCKET s, LPWSABUF buffers, DWORD bufferCount, LPDWORD bytesSent, DWORD,
              const sockaddr* to, int toLength, LPWSAOVERLAPPED overlapped,
              LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
  if (routine) return FailSocket(WSAEOPNOTSUPP);
  if (!overlapped || (!buffers && bufferCount)) return FailSocket(WSAEINVAL);
  if (to && (toLength <= 0 || static_cast<size_t>(toLength) > sizeof(sockaddr_storage))) {
    return FailSocket(WSAEFAULT);
  }
  std::shared_ptr<SocketRecord> record = FindSocket(s);
  if (!record) return FailSocket(WSAENOTSOCK);
  Request request;
  request.kind = to ? RequestKind::kSendTo : RequestKind::kSend;
  request.pOverlapped = overlapped;
  request.buffers = detail::IovecList(buffers, bufferCount);
  if (to) {
    memcpy(&request.to, to, static_cast<size_t>(toLength));
    request.toLength = static_cast<socklen_t>(toLength);
  }
  size_t bytes = 0;
  DWORD status = detail::Issue(record, std::move(request), &bytes);
  return detail::FinishRequest(status, bytes, bytesSent);
}

int bind(SOCKET s, const sockaddr* name, int nameLength) {
  int fd = FdOf(s);
  if (fd < 0) return FailSocket(WSAENOTSOCK);
  if (!name || nameLength <= 0) return FailSocket(WSAEFAULT);
  if (::bind(fd, name, static_cast<socklen_t>(nameLength)) != 0) {
    return FailSocket(static_cast<int>(detail::WsaErrorFromErrno(errno)));
  }
  return 0;
}

int listen(SOCKET s, int backlog) {
  int fd = FdOf(s);
  if (fd < 0) return FailSocket(WSAENOTSOCK);
  if (::listen(fd, backlog) != 0) {
    return FailSocket(static_cast<int>(detail::WsaErrorFromErrno(errno)));
  }
  return 0;
}

// The connect thread: event-select, then connect; 10035 means "wait for the event".
int connect(SOCKET s, const sockaddr* name, int nameLength) {
  int fd = FdOf(s);
  if (fd < 0) return FailSocket(WSAENOTSOCK);
  if (!name || nameLength <= 0) return FailSocket(WSAEFAULT);
  std::shared_ptr<SocketRecord> record = FindSocket(s);
  bool nonBlocking = true;
  bool selected = false;
  if (record) {
    std::lock_guard<std::mutex> lock(record->m_lock);
    if (record->m_closed) return FailSocket(WSAENOTSOCK);
    nonBlocking = record->m_nonBlocking;
    selected = (record->m_selectMask & FD_CONNECT) && record->m_hSelectEvent;
    if (selected) record->m_connectSignalled = false;
  }
  int result = ::connect(fd, name, static_cast<socklen_t>(nameLength));
  int err = result == 0 ? 0 : errno;
  if (err == EINTR) err = EINPROGRESS;  // the connect goes on in the background
  if (err != 0 && err != EINPROGRESS) {
    return FailSocket(static_cast<int>(detail::WsaErrorFromErrno(err)));
  }
  if (selected) {
    HANDLE hEvent = nullptr;
    {
      std::lock_guard<std::mutex> lock(record->m_lock);
      if (record->m_closed) return FailSocket(WSAENOTSOCK);
      if (err == 0) {
        // Connected at once (loopback): report it through the event all the same.
        hEvent = detail::RecordConnectLocked(*record, 0);
      } else {
        int watchError = detail::ConnectWatcher::Instance().Watch(fd, record->Tag());
        if (watchError != 0) return FailSocket(detail::WsaErrorFromErrno(watchError));
        record->m_connectWatched = true;
      }
    }
    if (hEvent) SetEvent(hEvent);
  }
  if (err == 0) return 0;
  if (nonBlocking || !record) return FailSocket(WSAEWOULDBLOCK);
  // A socket in blocking mode waits for the outcome, as Windows' blocking connect does.
  detail::WaitFd(fd, POLLOUT);
  int soError = 0;
  socklen_t length = sizeof(soError);
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length) != 0) soError = errno;
  if (soError != 0) return FailSocket(static_cast<int>(detail::WsaErrorFromErrno(soError)));
  return 0;
}

SOCKET accept(SOCKET s, sockaddr* address, LPINT addressLength) {
  int fd = FdOf(s);
  if (fd < 0) {
    SetLastError(WSAENOTSOCK);
    return INVALID_SOCKET;
  }
  std::shared_ptr<SocketRecord> record = FindSocket(s);
  bool blocking = false;
  if (record) {
    std::lock_guard<std::mutex> lock(record->m_lock);
    blocking = !record->m_nonBlocking;
  }
  for (;;) {
    sockaddr_storage remote;
    socklen_t length = sizeof(remote);
    int accepted =
        accept4(fd, reinterpret_cast<sockaddr*>(&remote), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (accepted >= 0) {
      detail::CopyAddressOut(remote, length, address, addressLength);
      return detail::AdoptNewSocket(accepted, SOCK_STREAM);
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if ((errno == EAGAIN || errno == EWOULDBLOCK) && blocking) {
      detail::WaitFd(fd, POLLIN);
      continue;
    }
    SetLastError(detail::WsaErrorFromErrno(errno));
    return INVALID_SOCKET;
  }
}

int getsockname(SOCKET s, sockaddr* name, LPINT nameLength) {
  int fd = FdOf(s);
  if (fd < 0) return FailSocket(WSAENOTSOCK);
  if (!name || !nameLength || *nameLength < 0) return FailSocket(WSAEFAULT);
  socklen_t length = static_cast<socklen_t>(*nameLength);
  if (::getsockname(fd, name, &length) != 0) {
    return FailSocket(static_cast<int>(detail::WsaErrorFromErrno(errno)));
  }
  *nameLength = static_cast<int>(length);
  return 0;
}

int getpeername(SOCKET s, sockaddr* name, LPINT nameLength) {
  int fd = FdOf(s);
  if (fd < 0) return FailSocket(WSAENOTSOCK);
  if (!name || !nameLength || *nameLength < 0) return FailSocket(WSAEFAULT);
  socklen_t length = static_cast<socklen_t>(*nameLength);
  if (::getpeername(fd, name, &length) != 0) {
    return FailSocket(static_cast<int>(detail::WsaErrorFromErrno(errno)));
  }
  *nameLength = static_cast<int>(length);
  return 0;
}

int setsockopt(SOCKET s, int level, int optionName, const char* value, int length) {
  int fd = FdOf(s);
  if (fd < 0) return FailSocket(WSAENOTSOCK);
  if (level == SOL_SOCKET &&
      (optionName == SO_UPDATE_ACCEPT_CONTEXT || optionName == SO_UPDATE_CONNECT_CONTEXT)) {
    if (fcntl(fd, F_GETFD) < 0) return FailSocket(WSAENOTSOCK);
    return 0;
  }
  if (length < 0) return FailSocket(WSAEFAULT);
  if (::setsockopt(fd, level, optionName, value, static_cast<socklen_t>(length)) != 0) {
    return FailSocket(static_cast<int>(detail::WsaErrorFromErrno(errno)));
  }
  return 0;
}

int getsockopt(SOCKET s, int level, int optionName, char* value, LPINT length) {
  int fd = FdOf(s);
  if (fd < 0) return FailSocket(WSAENOTSOCK);
  if (!value || !length || *length < 0) return FailSocket(WSAEFAULT);
  socklen_t size = static_cast<socklen_t>(*length);
  if (::getsockopt(fd, level, optionName, value, &size) != 0) {
    return FailSocket(static_cast<int>(detail::WsaErrorFromErrno(errno)));
  }
  *length = static_cast<int>(size);
  return 0;
}

int ioctlsocket(SOCKET s, long command, ULONG* argument) {
  int fd = FdOf(s);
  if (fd < 0) return FailSocket(WSAENOTSOCK);
  if (!argument) return FailSocket(WSAEFAULT);
  if (command == static_cast<long>(FIONBIO)) {
    std::shared_ptr<SocketRecord> record = FindSocket(s);
    if (record) {
      std::lock_guard<std::mutex> lock(record->m_lock);
      record->m_nonBlocking = *argument != 0;
      return 0;
    }
    int on = *argument != 0;
    if (ioctl(fd, FIONBIO, &on) != 0) {
      return FailSocket(static_cast<int>(detail::WsaErrorFromErrno(errno)));
    }
    return 0;
  }
  if (command == static_cast<long>(FIONREAD)) {
    int available = 0;
    if (ioctl(fd, FIONREAD, &available) != 0) {
      return FailSocket(static_cast<int>(detail::WsaErrorFromErrno(errno)));
    }
    size_t buffered = 0;
    if (std::shared_ptr<SocketRecord> record = FindSocket(s)) {
      std::lock_guard<std::mutex> lock(record->m_lock);
      buffered = record->BufferedLocked();
    }
    *argument = static_cast<ULONG>(static_cast<size_t>(available) + buffered);
    return 0;
  }
  return FailSocket(WSAEINVAL);
}

int shutdown(SOCKET s, int how) {
  int fd = FdOf(s);
  if (fd < 0) return FailSocket(WSAENOTSOCK);
  if (::shutdown(fd, how) != 0) {
    return FailSocket(static_cast<int>(detail::WsaErrorFromErrno(errno)));
  }
  return 0;
}

// The local server keeps exactly one of these outstanding on its listening socket.
BOOL AcceptEx(SOCKET listenSocket, SOCKET acceptSocket, PVOID outputBuffer, DWORD receiveDataLength,
              DWORD localAddressLength, DWORD remoteAddressLength, LPDWORD bytesReceived,
              LPOVERLAPPED overlapped) {
  if (!overlapped || !outputBuffer) return detail::Fail(WSAEINVAL);
  if (receiveDataLength != 0 || localAddressLength < detail::kMinAcceptAddressSlot ||
      remoteAddressLength < detail::kMinAcceptAddressSlot) {
    return detail::Fail(WSAEINVAL);
  }
  std::shared_ptr<SocketRecord> listener = FindSocket(listenSocket);
  std::shared_ptr<SocketRecord> target = FindSocket(acceptSocket);
  if (!listener || !target) return detail::Fail(WSAENOTSOCK);
  if (listener == target) return detail::Fail(WSAEINVAL);
  Request request;
  request.kind = RequestKind::kAccept;
  request.pOverlapped = overlapped;
  request.acceptSocket = target;
  request.pAcceptBuffer = static_cast<char*>(outputBuffer);
  request.localSlot = localAddressLength;
  request.remoteSlot = remoteAddressLength;
  size_t bytes = 0;
  DWORD status = detail::Issue(listener, std::move(request), &bytes);
  if (status != 0) return detail::Fail(status);
  if (bytesReceived) *bytesReceived = 0;
  return TRUE;
}

void GetAcceptExSockaddrs(PVOID outputBuffer, DWORD receiveDataLength, DWORD localAddressLength,
                          DWORD, sockaddr** localAddress, LPINT localLength,
                          sockaddr** remoteAddress, LPINT remoteLength) {
  char* pLocal = static_cast<char*>(outputBuffer) + receiveDataLength;
  char* pRemote = pLocal + localAddressLength;
  if (localAddress) *localAddress = reinterpret_cast<sockaddr*>(pLocal);
  if (localLength) *localLength = detail::AddressLength(pLocal);
  if (remoteAddress) *remoteAddress = reinterpret_cast<sockaddr*>(pRemote);
  if (remoteLength) *remoteLength = detail::AddressLength(pRemote);
}

// The local server fetches AcceptEx through this.
int WSAIoctl(SOCKET s, DWORD controlCode, LPVOID inBuffer, DWORD inLength, LPVOID outBuffer,
             DWORD outLength, LPDWORD bytesReturned, LPWSAOVERLAPPED overlapped,
             LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
  int fd = FdOf(s);
  if (fd < 0 || fcntl(fd, F_GETFD) < 0) return FailSocket(WSAENOTSOCK);
  if (overlapped || routine) return FailSocket(WSAEOPNOTSUPP);
  if (controlCode != SIO_GET_EXTENSION_FUNCTION_POINTER) return FailSocket(WSAEINVAL);
  if (!inBuffer || inLength < sizeof(GUID) || !outBuffer || outLength < sizeof(void*)) {
    return FailSocket(WSAEFAULT);
  }
  GUID id;
  memcpy(&id, inBuffer, sizeof(id));
  if (id == WSAID_ACCEPTEX) {
    LPFN_ACCEPTEX pFunction = &AcceptEx;
    memcpy(outBuffer, &pFunction, sizeof(pFunction));
  } else if (id == WSAID_GETACCEPTEXSOCKADDRS) {
    LPFN_GETACCEPTEXSOCKADDRS pFunction = &GetAcceptExSockaddrs;
    memcpy(outBuffer, &pFunction, sizeof(pFunction));
  } else {
    return FailSocket(WSAEINVAL);
  }
  if (bytesReturned) *bytesReturned = sizeof(void*);
  return 0;
}

// The connect thread selects FD_CONNECT on each socket before starting its connect.
int WSAEventSelect(SOCKET s, WSAEVENT event, LONG networkEvents) {
  std::shared_ptr<SocketRecord> record = FindSocket(s);
  if (!record) return FailSocket(WSAENOTSOCK);
  std::lock_guard<std::mutex> lock(record->m_lock);
  if (record->m_closed) return FailSocket(WSAENOTSOCK);
  if (record->m_connectWatched && (networkEvents & FD_CONNECT) == 0) {
    detail::ConnectWatcher::Instance().Unwatch(record->m_fd);
    record->m_connectWatched = false;
  }
  record->m_hSelectEvent = event;
  record->m_selectMask = event ? networkEvents : 0;
  record->m_recordedEvents = 0;
  record->m_connectSignalled = false;
  record->m_nonBlocking = true;
  return 0;
}

int WSAEnumNetworkEvents(SOCKET s, WSAEVENT event, LPWSANETWORKEVENTS networkEvents) {
  if (!networkEvents) return FailSocket(WSAEFAULT);
  std::shared_ptr<SocketRecord> record = FindSocket(s);
  if (!record) return FailSocket(WSAENOTSOCK);
  {
    std::lock_guard<std::mutex> lock(record->m_lock);
    if (record->m_closed) return FailSocket(WSAENOTSOCK);
    // Another event means the socket number now belongs to a different socket.
    if (event && record->m_hSelectEvent != event) return FailSocket(WSAENOTSOCK);
    memset(networkEvents, 0, sizeof(*networkEvents));
    networkEvents->lNetworkEvents = record->m_recordedEvents;
    if (record->m_recordedEvents & FD_CONNECT) {
      networkEvents->iErrorCode[FD_CONNECT_BIT] = record->m_connectError;
    }
    record->m_recordedEvents = 0;
  }
  if (event) ResetEvent(event);
  return 0;
}

}  // namespace win32
