#include "win32/iocp.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CompletionTestSupport.h"
#include "handles.h"
#include "win32/winsock.h"

using namespace win32;

namespace {

using completion_test::AsHandle;
using completion_test::Dequeue;
using completion_test::kBoundedMs;
using completion_test::kQuietMs;
using completion_test::Packet;

// True once thread `tid` sleeps in a wait (epoll_wait, or a futex behind a condition variable).
bool WaitUntilBlocked(pid_t tid) {
  const std::string base = "/proc/self/task/" + std::to_string(tid);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundedMs);
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream syscallFile(base + "/syscall");
    long number = -1;
    syscallFile >> number;
    if (number == SYS_epoll_wait || number == SYS_epoll_pwait || number == SYS_futex) {
      std::ifstream statFile(base + "/stat");
      std::string stat((std::istreambuf_iterator<char>(statFile)), {});
      size_t close = stat.rfind(')');
      if (close != std::string::npos && stat.compare(close + 2, 1, "S") == 0) return true;
    }
    std::this_thread::yield();
  }
  return false;
}

class CompletionPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_openHandles = detail::OpenHandleCountForTesting();
    m_port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    ASSERT_NE(nullptr, m_port);
  }
  void TearDown() override {
    for (SOCKET s : m_sockets) closesocket(s);
    for (int fd : m_peers) close(fd);
    if (m_port) CloseHandle(m_port);
    EXPECT_EQ(m_openHandles, detail::OpenHandleCountForTesting());
  }

  // Our socket connected over loopback to a plain peer descriptor, associated with `key`.
  SOCKET ConnectedSocket(ULONG_PTR key, int* pPeer) {
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    EXPECT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr*>(&address), length));
    EXPECT_EQ(0, ::listen(listener, 1));
    EXPECT_EQ(0, ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length));
    SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
    EXPECT_NE(INVALID_SOCKET, s);
    m_sockets.push_back(s);
    EXPECT_EQ(0, connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)));
    *pPeer = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    EXPECT_GE(*pPeer, 0);
    m_peers.push_back(*pPeer);
    close(listener);
    EXPECT_EQ(m_port, CreateIoCompletionPort(AsHandle(s), m_port, key, 0));
    return s;
  }

  HANDLE m_port = nullptr;
  std::vector<SOCKET> m_sockets;
  std::vector<int> m_peers;

 private:
  size_t m_openHandles = 0;
};

// Posted packets and time-outs: the dequeue results the I/O loop tells apart.
TEST_F(CompletionPortTest, PostedNullOverlappedComesOutTrueWithNull) {
  ASSERT_TRUE(PostQueuedCompletionStatus(m_port, 7, 10, nullptr));
  Packet packet = Dequeue(m_port);
  EXPECT_TRUE(packet.ok);
  EXPECT_EQ(nullptr, packet.pOverlapped);
  EXPECT_EQ(10u, packet.key);
  EXPECT_EQ(7u, packet.bytes);
}

TEST_F(CompletionPortTest, TimeOutGivesFalseNullAnd258) {
  for (DWORD milliseconds : {DWORD{0}, DWORD{30}}) {
    auto start = std::chrono::steady_clock::now();
    Packet packet = Dequeue(m_port, milliseconds);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(packet.ok);
    EXPECT_EQ(nullptr, packet.pOverlapped);
    EXPECT_EQ(WAIT_TIMEOUT, packet.error);
    EXPECT_GE(waited, std::chrono::milliseconds(milliseconds));
  }
}

TEST_F(CompletionPortTest, PacketsPostedBeforeAnyWaiterComeOutInOrder) {
  std::vector<OVERLAPPED> overlapped(500);
  for (size_t i = 0; i < overlapped.size(); ++i) {
    ASSERT_TRUE(PostQueuedCompletionStatus(m_port, 0, i, &overlapped[i]));
  }
  for (size_t i = 0; i < overlapped.size(); ++i) {
    Packet packet = Dequeue(m_port);
    ASSERT_TRUE(packet.ok);
    ASSERT_EQ(i, packet.key);
    ASSERT_EQ(&overlapped[i], packet.pOverlapped);
  }
  EXPECT_EQ(WAIT_TIMEOUT, Dequeue(m_port, 0).error);
}

// The queue keeps its order while it wraps and grows under packets taken and added in turn.
TEST_F(CompletionPortTest, OrderHoldsWhilePacketsAreTakenAndAddedInWaves) {
  std::vector<OVERLAPPED> overlapped(1000);
  size_t posted = 0;
  size_t taken = 0;
  for (size_t wave : {40, 100, 7, 300, 553}) {
    for (size_t i = 0; i < wave; ++i, ++posted) {
      ASSERT_TRUE(PostQueuedCompletionStatus(m_port, 0, posted, &overlapped[posted]));
    }
    for (size_t i = 0; i < wave * 3 / 4; ++i, ++taken) {
      Packet packet = Dequeue(m_port);
      ASSERT_EQ(taken, packet.key);
      ASSERT_EQ(&overlapped[taken], packet.pOverlapped);
    }
  }
  for (; taken < posted; ++taken) ASSERT_EQ(taken, Dequeue(m_port).key);
  EXPECT_EQ(WAIT_TIMEOUT, Dequeue(m_port, 0).error);
}

TEST_F(CompletionPortTest, EachOfSeveralWaitersGetsOnePacket) {
  constexpr int kWaiters = 4;
  std::atomic<int> received{0};
  std::vector<ULONG_PTR> keys(kWaiters, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kWaiters; ++i) {
    threads.emplace_back([&, i] {
      Packet packet = Dequeue(m_port);
      if (packet.ok) {
        keys[i] = packet.key;
        ++received;
      }
    });
  }
  for (int i = 0; i < kWaiters; ++i) {
    ASSERT_TRUE(PostQueuedCompletionStatus(m_port, 0, 100 + i, nullptr));
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(kWaiters, received.load());
  EXPECT_EQ(static_cast<size_t>(kWaiters), std::set<ULONG_PTR>(keys.begin(), keys.end()).size());
}

// Closing the port: the poller and a parked waiter both leave with 735, never spin.
TEST_F(CompletionPortTest, ClosingThePortWakesEveryWaiterWith735) {
  constexpr int kWaiters = 2;
  std::atomic<pid_t> tids[kWaiters] = {};
  Packet results[kWaiters];
  std::vector<std::thread> threads;
  for (int i = 0; i < kWaiters; ++i) {
    threads.emplace_back([&, i] {
      tids[i] = static_cast<pid_t>(gettid());
      results[i] = Dequeue(m_port, INFINITE);
    });
  }
  for (int i = 0; i < kWaiters; ++i) {
    while (tids[i].load() == 0) std::this_thread::yield();
    ASSERT_TRUE(WaitUntilBlocked(tids[i].load()));
  }
  ASSERT_TRUE(CloseHandle(m_port));
  m_port = nullptr;
  for (std::thread& thread : threads) thread.join();
  for (const Packet& packet : results) {
    EXPECT_FALSE(packet.ok);
    EXPECT_EQ(nullptr, packet.pOverlapped);
    EXPECT_EQ(ERROR_ABANDONED_WAIT_0, packet.error);
  }
}

// Immediate outcomes: success still queues exactly one packet, failure queues none.
TEST_F(CompletionPortTest, ImmediateSuccessStillQueuesExactlyOnePacket) {
  int peer;
  SOCKET s = ConnectedSocket(42, &peer);
  char text[] = "ping";
  WSABUF buffer = {4, text};
  OVERLAPPED sendOverlapped = {};
  DWORD sent = 0;
  ASSERT_EQ(0, WSASend(s, &buffer, 1, &sent, 0, &sendOverlapped, nullptr));
  EXPECT_EQ(4u, sent);
  Packet packet = Dequeue(m_port);
  EXPECT_TRUE(packet.ok);
  EXPECT_EQ(&sendOverlapped, packet.pOverlapped);
  EXPECT_EQ(42u, packet.key);
  EXPECT_EQ(4u, packet.bytes);
  EXPECT_EQ(WAIT_TIMEOUT, Dequeue(m_port, kQuietMs).error);

  // A receive with data already waiting.
  ASSERT_EQ(3, write(peer, "abc", 3));
  pollfd readable = {static_cast<int>(s), POLLIN, 0};
  ASSERT_EQ(1, poll(&readable, 1, kBoundedMs));
  char data[16];
  WSABUF recvBuffer = {sizeof(data), data};
  OVERLAPPED recvOverlapped = {};
  DWORD received = 0;
  DWORD flags = 0;
  ASSERT_EQ(0, WSARecv(s, &recvBuffer, 1, &received, &flags, &recvOverlapped, nullptr));
  EXPECT_EQ(3u, received);
  packet = Dequeue(m_port);
  EXPECT_TRUE(packet.ok);
  EXPECT_EQ(&recvOverlapped, packet.pOverlapped);
  EXPECT_EQ(3u, packet.bytes);
  EXPECT_EQ(WAIT_TIMEOUT, Dequeue(m_port, kQuietMs).error);
}

TEST_F(CompletionPortTest, ImmediateFailureQueuesNoPacket) {
  int peer;
  SOCKET s = ConnectedSocket(1, &peer);
  ASSERT_EQ(0, shutdown(s, SD_SEND));
  char text[] = "late";
  WSABUF buffer = {4, text};
  OVERLAPPED overlapped = {};
  DWORD sent = 0;
  EXPECT_EQ(SOCKET_ERROR, WSASend(s, &buffer, 1, &sent, 0, &overlapped, nullptr));
  int error = WSAGetLastError();
  EXPECT_NE(WSA_IO_PENDING, error);
  EXPECT_TRUE(error == WSAECONNRESET || error == WSAESHUTDOWN) << error;

  // Not associated with any port: refused, nothing queued anywhere.
  SOCKET loose = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
  m_sockets.push_back(loose);
  DWORD flags = 0;
  EXPECT_EQ(SOCKET_ERROR, WSARecv(loose, &buffer, 1, nullptr, &flags, &overlapped, nullptr));
  EXPECT_EQ(WSAEINVAL, WSAGetLastError());

  EXPECT_EQ(WAIT_TIMEOUT, Dequeue(m_port, kQuietMs).error);
}

}  // namespace
