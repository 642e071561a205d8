#include "win32/winsock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "CompletionTestSupport.h"
#include "handles.h"
#include "win32/iocp.h"
#include "win32/iphlpapi.h"
#include "win32/sync.h"

using namespace win32;

namespace {

using completion_test::AsHandle;
using completion_test::Dequeue;
using completion_test::kBoundedMs;
using completion_test::kQuietMs;
using completion_test::Packet;

sockaddr_in Loopback(uint16_t port = 0) {
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

sockaddr* AsSockaddr(sockaddr_in* pAddress) { return reinterpret_cast<sockaddr*>(pAddress); }

// A plain listening descriptor on 127.0.0.1; *pAddress receives its address.
int PlainListener(sockaddr_in* pAddress, int backlog = 8) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  *pAddress = Loopback();
  socklen_t length = sizeof(*pAddress);
  EXPECT_EQ(0, ::bind(fd, AsSockaddr(pAddress), length));
  EXPECT_EQ(0, ::listen(fd, backlog));
  EXPECT_EQ(0, ::getsockname(fd, AsSockaddr(pAddress), &length));
  return fd;
}

// Reads exactly `size` bytes (bounded); fewer when the peer closes or the time runs out.
std::string ReadAll(int fd, size_t size, bool slowly = false) {
  std::string data;
  char chunk[4096];
  int reads = 0;
  while (data.size() < size) {
    pollfd readable = {fd, POLLIN, 0};
    if (poll(&readable, 1, 10000) != 1) break;
    ssize_t count = read(fd, chunk, std::min(sizeof(chunk), size - data.size()));
    if (count <= 0) break;
    data.append(chunk, static_cast<size_t>(count));
    // A slow reader keeps the sender's buffer full, so sends go out in many pieces.
    if (slowly && ++reads % 32 == 0) usleep(1000);
  }
  return data;
}

std::string Pattern(size_t size, unsigned seed) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + seed + i / 4099) & 0xFF);
  return data;
}

class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_openHandles = detail::OpenHandleCountForTesting();
    m_port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    ASSERT_NE(nullptr, m_port);
  }
  void TearDown() override {
    for (SOCKET s : m_sockets) closesocket(s);
    for (int fd : m_plain) close(fd);
    CloseHandle(m_port);
    EXPECT_EQ(m_openHandles, detail::OpenHandleCountForTesting());
  }

  SOCKET NewSocket(int type = SOCK_STREAM) {
    SOCKET s = WSASocketW(AF_INET, type, type == SOCK_STREAM ? IPPROTO_TCP : 0, nullptr, 0,
                          WSA_FLAG_OVERLAPPED);
    EXPECT_NE(INVALID_SOCKET, s);
    m_sockets.push_back(s);
    return s;
  }
  int Track(int fd) {
    m_plain.push_back(fd);
    return fd;
  }
  void Associate(SOCKET s, ULONG_PTR key) {
    ASSERT_EQ(m_port, CreateIoCompletionPort(AsHandle(s), m_port, key, 0));
  }
  void ClosePlain(int fd) {
    std::erase(m_plain, fd);
    close(fd);
  }
  // Closes a socket the fixture tracks, once.
  int Close(SOCKET s) {
    std::erase(m_sockets, s);
    return closesocket(s);
  }

  // Our socket connected to a plain peer descriptor, associated with `key`.
  SOCKET ConnectedSocket(ULONG_PTR key, int* pPeer, int bufferSize = 0) {
    sockaddr_in address;
    int listener = PlainListener(&address);
    SOCKET s = NewSocket();
    if (bufferSize) {
      setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bufferSize),
                 sizeof(bufferSize));
    }
    EXPECT_EQ(0, connect(s, AsSockaddr(&address), sizeof(address)));
    *pPeer = Track(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    if (bufferSize) {
      ::setsockopt(*pPeer, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof(bufferSize));
    }
    close(listener);
    Associate(s, key);
    return s;
  }

  DWORD PostRecv(SOCKET s, char* pData, ULONG size, OVERLAPPED* pOverlapped) {
    WSABUF buffer = {size, pData};
    DWORD flags = 0;
    if (WSARecv(s, &buffer, 1, nullptr, &flags, pOverlapped, nullptr) == 0) return 0;
    return static_cast<DWORD>(WSAGetLastError());
  }

  HANDLE m_port = nullptr;

 private:
  std::vector<SOCKET> m_sockets;
  std::vector<int> m_plain;
  size_t m_openHandles = 0;
};

// TCP over the port: how a receive ends tells the channel what happened to the peer.
TEST_F(SocketTest, PeerCloseCompletesPendingReceiveWithZeroBytes) {
  int peer;
  SOCKET s = ConnectedSocket(3, &peer);
  char data[64];
  OVERLAPPED overlapped = {};
  ASSERT_EQ(static_cast<DWORD>(WSA_IO_PENDING), PostRecv(s, data, sizeof(data), &overlapped));
  ::shutdown(peer, SHUT_WR);
  Packet packet = Dequeue(m_port);
  EXPECT_TRUE(packet.ok);
  EXPECT_EQ(&overlapped, packet.pOverlapped);
  EXPECT_EQ(3u, packet.key);
  EXPECT_EQ(0u, packet.bytes);
}

TEST_F(SocketTest, PeerResetFailsPendingReceive) {
  int peer;
  SOCKET s = ConnectedSocket(3, &peer);
  char data[64];
  OVERLAPPED overlapped = {};
  ASSERT_EQ(static_cast<DWORD>(WSA_IO_PENDING), PostRecv(s, data, sizeof(data), &overlapped));
  linger abortive = {1, 0};
  ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &abortive, sizeof(abortive));
  ClosePlain(peer);  // sends a reset
  Packet packet = Dequeue(m_port);
  EXPECT_FALSE(packet.ok);
  EXPECT_EQ(&overlapped, packet.pOverlapped);
  EXPECT_EQ(ERROR_NETNAME_DELETED, packet.error);
}

// Closing and cancelling: each pending request completes with 995 exactly once.
TEST_F(SocketTest, CloseWithPendingReceiveCompletesOnceWith995) {
  int peer;
  SOCKET s = ConnectedSocket(3, &peer);
  char first[16];
  char second[16];
  OVERLAPPED overlapped[2] = {};
  ASSERT_EQ(static_cast<DWORD>(WSA_IO_PENDING), PostRecv(s, first, sizeof(first), &overlapped[0]));
  ASSERT_EQ(static_cast<DWORD>(WSA_IO_PENDING),
            PostRecv(s, second, sizeof(second), &overlapped[1]));
  ASSERT_EQ(0, Close(s));
  for (OVERLAPPED& expected : overlapped) {
    Packet packet = Dequeue(m_port);
    EXPECT_FALSE(packet.ok);
    EXPECT_EQ(&expected, packet.pOverlapped);
    EXPECT_EQ(ERROR_OPERATION_ABORTED, packet.error);
  }
  EXPECT_EQ(WAIT_TIMEOUT, Dequeue(m_port, kQuietMs).error);
  // Data arriving later has nowhere to go, and the old value is no socket any more.
  ASSERT_EQ(1, write(peer, "x", 1));
  EXPECT_EQ(WAIT_TIMEOUT, Dequeue(m_port, kQuietMs).error);
  OVERLAPPED late = {};
  EXPECT_EQ(static_cast<DWORD>(WSAENOTSOCK), PostRecv(s, first, sizeof(first), &late));
}

TEST_F(SocketTest, CancelIoEndsOnlyTheCallingThreadsRequests) {
  int peer;
  SOCKET s = ConnectedSocket(3, &peer);
  char otherData[16];
  char ownData[16];
  OVERLAPPED otherOverlapped = {};
  OVERLAPPED ownOverlapped = {};
  std::thread([&] {
    EXPECT_EQ(static_cast<DWORD>(WSA_IO_PENDING),
              PostRecv(s, otherData, sizeof(otherData), &otherOverlapped));
  }).join();
  ASSERT_EQ(static_cast<DWORD>(WSA_IO_PENDING),
            PostRecv(s, ownData, sizeof(ownData), &ownOverlapped));
  ASSERT_TRUE(CancelIo(AsHandle(s)));
  Packet packet = Dequeue(m_port);
  EXPECT_FALSE(packet.ok);
  EXPECT_EQ(&ownOverlapped, packet.pOverlapped);
  EXPECT_EQ(ERROR_OPERATION_ABORTED, packet.error);
  EXPECT_EQ(WAIT_TIMEOUT, Dequeue(m_port, kQuietMs).error);
  ASSERT_EQ(2, write(peer, "hi", 2));
  packet = Dequeue(m_port);
  EXPECT_TRUE(packet.ok);
  EXPECT_EQ(&otherOverlapped, packet.pOverlapped);
  EXPECT_EQ(2u, packet.bytes);
}

// Stream receives are served from bytes the socket read ahead: each request still completes
// once, in order, with no more than it asked for, and what was read before the peer's close
// comes before the zero-byte read.
TEST_F(SocketTest, ReadAheadServesSmallerAndEqualRequestsInOrderThenThePeersClose) {
  int peer;
  SOCKET s = ConnectedSocket(5, &peer);
  const std::string sent = Pattern(10000, 3);
  ASSERT_EQ(static_cast<ssize_t>(sent.size()), write(peer, sent.data(), sent.size()));
  pollfd readable = {static_cast<int>(s), POLLIN, 0};
  ASSERT_EQ(1, poll(&readable, 1, kBoundedMs));

  // 100 bytes asked with 10000 waiting: the rest stays readable, as the kernel's would.
  std::string received(sent.size() + 64, '\0');
  OVERLAPPED overlapped[6] = {};
  ASSERT_EQ(0u, PostRecv(s, received.data(), 100, &overlapped[0]));
  ULONG available = 0;
  ASSERT_EQ(0, ioctlsocket(s, static_cast<long>(FIONREAD), &available));
  EXPECT_EQ(9900u, available);
  // Two buffers in one request are filled in turn.
  WSABUF split[2] = {{30, received.data() + 100}, {4870, received.data() + 130}};
  DWORD flags = 0;
  DWORD bytes = 0;
  ASSERT_EQ(0, WSARecv(s, split, 2, &bytes, &flags, &overlapped[1], nullptr));
  EXPECT_EQ(4900u, bytes);
  // Exactly what is left.
  ASSERT_EQ(0u, PostRecv(s, received.data() + 5000, 5000, &overlapped[2]));
  // Nothing left: the next one waits for the peer.
  ASSERT_EQ(static_cast<DWORD>(WSA_IO_PENDING),
            PostRecv(s, received.data() + 10000, 64, &overlapped[3]));
  // More data and the close arrive together; the data is taken before the close is seen.
  ASSERT_EQ(3, write(peer, "end", 3));
  ::shutdown(peer, SHUT_WR);
  const DWORD expected[5] = {100, 4900, 5000, 3, 0};
  for (int i = 0; i < 5; ++i) {
    if (i == 4) {
      ASSERT_EQ(0u, PostRecv(s, received.data(), 64, &overlapped[4]));
    }
    Packet packet = Dequeue(m_port);
    ASSERT_TRUE(packet.ok) << i;
    EXPECT_EQ(&overlapped[i], packet.pOverlapped);
    EXPECT_EQ(5u, packet.key);
    EXPECT_EQ(expected[i], packet.bytes) << i;
  }
  EXPECT_EQ(sent, received.substr(0, sent.size()));
  EXPECT_EQ("end", received.substr(sent.size(), 3));
  // A closed stream keeps answering 0.
  ASSERT_EQ(0u, PostRecv(s, received.data(), 64, &overlapped[5]));
  EXPECT_EQ(0u, Dequeue(m_port).bytes);
  EXPECT_EQ(WAIT_TIMEOUT, Dequeue(m_port, kQuietMs).error);
}

// Bytes read ahead belong to the socket: cancelling a thread's requests keeps them, closing the
// socket drops them, and nothing completes twice.
TEST_F(SocketTest, CancelKeepsReadAheadBytesAndCloseDropsThem) {
  int peer;
  SOCKET s = ConnectedSocket(7, &peer);
  const std::string sent = Pattern(5000, 5);
  ASSERT_EQ(static_cast<ssize_t>(sent.size()), write(peer, sent.data(), sent.size()));
  pollfd readable = {static_cast<int>(s), POLLIN, 0};
  ASSERT_EQ(1, poll(&readable, 1, kBoundedMs));
  std::string received(sent.size(), '\0');
  OVERLAPPED overlapped[3] = {};
  ASSERT_EQ(0u, PostRecv(s, received.data(), 100, &overlapped[0]));
  ASSERT_TRUE(CancelIo(AsHandle(s)));
  ASSERT_EQ(0u, PostRecv(s, received.data() + 100, 200, &overlapped[1]));
  for (int i = 0; i < 2; ++i) {
    Packet packet = Dequeue(m_port);
    ASSERT_TRUE(packet.ok);
    EXPECT_EQ(&overlapped[i], packet.pOverlapped);
  }
  EXPECT_EQ(sent.substr(0, 300), received.substr(0, 300));

  ASSERT_EQ(0, Close(s));
  EXPECT_EQ(WAIT_TIMEOUT, Dequeue(m_port, kQuietMs).error);
  EXPECT_EQ(static_cast<DWORD>(WSAENOTSOCK), PostRecv(s, received.data(), 100, &overlapped[2]));
  // The number may come back for a new socket, which must not see the old socket's bytes.
  int newPeer;
  SOCKET again = ConnectedSocket(8, &newPeer);
  OVERLAPPED fresh = {};
  ASSERT_EQ(static_cast<DWORD>(WSA_IO_PENDING), PostRecv(again, received.data(), 100, &fresh));
  ASSERT_EQ(1, write(newPeer, "n", 1));
  EXPECT_EQ(1u, Dequeue(m_port).bytes);
  EXPECT_EQ('n', received[0]);
}

// A long stream cut by the sender and by the reader at random sizes, with receives that find
// data at once and receives that wait, arrives whole and in order, one packet per receive.
TEST_F(SocketTest, RandomlyCutStreamArrivesWholeThroughReadAhead) {
  constexpr size_t kTotal = 3 << 20;
  int peer;
  SOCKET s = ConnectedSocket(9, &peer, 64 * 1024);
  const std::string sent = Pattern(kTotal, 6);
  std::thread writer([&] {
    unsigned seed = 11;
    size_t done = 0;
    while (done < kTotal) {
      const size_t size = std::min<size_t>(1 + rand_r(&seed) % 70000, kTotal - done);
      ASSERT_EQ(static_cast<ssize_t>(size), write(peer, sent.data() + done, size));
      done += size;
      if (rand_r(&seed) % 8 == 0) usleep(200);
    }
  });
  std::string received(kTotal, '\0');
  unsigned seed = 12;
  size_t done = 0;
  int immediate = 0;
  int pending = 0;
  while (done < kTotal) {
    OVERLAPPED overlapped = {};
    const ULONG size =
        static_cast<ULONG>(std::min<size_t>(1 + rand_r(&seed) % 3000, kTotal - done));
    const DWORD status = PostRecv(s, received.data() + done, size, &overlapped);
    ASSERT_TRUE(status == 0 || status == static_cast<DWORD>(WSA_IO_PENDING)) << status;
    ++(status == 0 ? immediate : pending);
    Packet packet = Dequeue(m_port);
    ASSERT_TRUE(packet.ok);
    ASSERT_EQ(&overlapped, packet.pOverlapped);
    ASSERT_GT(packet.bytes, 0u);
    ASSERT_LE(packet.bytes, size);
    done += packet.bytes;
  }
  writer.join();
  EXPECT_TRUE(received == sent);
  EXPECT_GT(immediate, pending);
  EXPECT_EQ(WAIT_TIMEOUT, Dequeue(m_port, kQuietMs).error);
}

// Sends: whole buffers, call order, no interleaving between threads, one packet each.
TEST_F(SocketTest, LargeSendToSlowReaderCompletesOnceInOrderBesideConcurrentSends) {
  constexpr size_t kLarge = 1 << 20;
  constexpr int kSmallCount = 8;
  constexpr size_t kSmall = 100;
  constexpr int kOtherCount = 64;
  constexpr size_t kOther = 16 * 1024;
  int slowPeer;
  int otherPeer;
  SOCKET slow = ConnectedSocket(1, &slowPeer, 16 * 1024);
  SOCKET other = ConnectedSocket(2, &otherPeer, 16 * 1024);

  std::string slowReceived;
  std::string otherReceived;
  std::thread slowReader(
      [&] { slowReceived = ReadAll(slowPeer, kLarge + kSmallCount * kSmall, true); });
  std::thread otherReader([&] { otherReceived = ReadAll(otherPeer, kOtherCount * kOther); });

  std::map<OVERLAPPED*, size_t> expected;  // request -> size
  std::string large = Pattern(kLarge, 1);
  OVERLAPPED largeOverlapped = {};
  WSABUF largeBuffer = {static_cast<ULONG>(kLarge), large.data()};
  int result = WSASend(slow, &largeBuffer, 1, nullptr, 0, &largeOverlapped, nullptr);
  ASSERT_TRUE(result == 0 || WSAGetLastError() == WSA_IO_PENDING);
  expected[&largeOverlapped] = kLarge;

  // Another thread sends on the same socket behind the large send, and a third on another.
  std::vector<std::string> smalls;
  for (int i = 0; i < kSmallCount; ++i) smalls.push_back(std::string(kSmall, char('A' + i)));
  std::vector<OVERLAPPED> smallOverlapped(kSmallCount);
  std::string otherData = Pattern(kOtherCount * kOther, 2);
  std::vector<OVERLAPPED> otherOverlapped(kOtherCount);
  for (int i = 0; i < kSmallCount; ++i) expected[&smallOverlapped[i]] = kSmall;
  for (int i = 0; i < kOtherCount; ++i) expected[&otherOverlapped[i]] = kOther;
  std::thread smallSender([&] {
    for (int i = 0; i < kSmallCount; ++i) {
      WSABUF buffer = {static_cast<ULONG>(kSmall), smalls[i].data()};
      int r = WSASend(slow, &buffer, 1, nullptr, 0, &smallOverlapped[i], nullptr);
      EXPECT_TRUE(r == 0 || WSAGetLastError() == WSA_IO_PENDING);
    }
  });
  std::thread otherSender([&] {
    for (int i = 0; i < kOtherCount; ++i) {
      WSABUF buffer = {static_cast<ULONG>(kOther), otherData.data() + i * kOther};
      int r = WSASend(other, &buffer, 1, nullptr, 0, &otherOverlapped[i], nullptr);
      EXPECT_TRUE(r == 0 || WSAGetLastError() == WSA_IO_PENDING);
    }
  });
  smallSender.join();
  otherSender.join();

  std::map<OVERLAPPED*, int> seen;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (seen.size() < expected.size() && std::chrono::steady_clock::now() < deadline) {
    Packet packet = Dequeue(m_port);
    if (!packet.pOverlapped) continue;
    EXPECT_TRUE(packet.ok) << packet.error;
    ASSERT_TRUE(expected.count(packet.pOverlapped));
    EXPECT_EQ(expected[packet.pOverlapped], packet.bytes);
    ++seen[packet.pOverlapped];
  }
  EXPECT_EQ(expected.size(), seen.size());
  for (const auto& entry : seen) EXPECT_EQ(1, entry.second);
  EXPECT_EQ(WAIT_TIMEOUT, Dequeue(m_port, kQuietMs).error);

  slowReader.join();
  otherReader.join();
  ASSERT_EQ(kLarge + kSmallCount * kSmall, slowReceived.size());
  EXPECT_TRUE(slowReceived.compare(0, kLarge, large) == 0);
  std::string tail;
  for (const std::string& small : smalls) tail += small;
  EXPECT_EQ(tail, slowReceived.substr(kLarge));
  EXPECT_TRUE(otherReceived == otherData);
}

TEST_F(SocketTest, SendAfterPeerIsGoneFailsWithoutSigpipe) {
  struct sigaction current = {};
  sigaction(SIGPIPE, nullptr, &current);
  ASSERT_EQ(SIG_DFL, current.sa_handler);  // a SIGPIPE would end this process
  int peer;
  SOCKET s = ConnectedSocket(4, &peer);
  ClosePlain(peer);
  std::string data(64 * 1024, 'z');
  std::vector<OVERLAPPED> overlapped(50);
  bool failed = false;
  int pending = 0;
  for (OVERLAPPED& request : overlapped) {
    WSABUF buffer = {static_cast<ULONG>(data.size()), data.data()};
    if (WSASend(s, &buffer, 1, nullptr, 0, &request, nullptr) == 0) {
      ++pending;
    } else if (WSAGetLastError() == WSA_IO_PENDING) {
      ++pending;
    } else {
      int error = WSAGetLastError();
      EXPECT_TRUE(error == WSAECONNRESET || error == WSAESHUTDOWN) << error;
      failed = true;
      break;
    }
  }
  for (int i = 0; i < pending; ++i) {
    Packet packet = Dequeue(m_port);
    ASSERT_NE(nullptr, packet.pOverlapped);
    if (!packet.ok) {
      EXPECT_EQ(ERROR_NETNAME_DELETED, packet.error);
      failed = true;
    }
  }
  EXPECT_TRUE(failed);
}

// Datagrams: the sender's address reaches the caller's memory with the completion.
TEST_F(SocketTest, ReceiveFromWritesSenderAddressAndFailsTruncatedDatagram) {
  SOCKET u = NewSocket(SOCK_DGRAM);
  sockaddr_in local = Loopback();
  ASSERT_EQ(0, bind(u, AsSockaddr(&local), sizeof(local)));
  int length = sizeof(local);
  ASSERT_EQ(0, getsockname(u, AsSockaddr(&local), &length));
  Associate(u, 9);
  int sender = Track(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in senderAddress = Loopback();
  socklen_t senderLength = sizeof(senderAddress);
  ASSERT_EQ(0, ::bind(sender, AsSockaddr(&senderAddress), senderLength));
  ASSERT_EQ(0, ::getsockname(sender, AsSockaddr(&senderAddress), &senderLength));

  char data[452];
  WSABUF buffer = {sizeof(data), data};
  sockaddr_in from = {};
  int fromLength = sizeof(from);
  DWORD flags = 0;
  OVERLAPPED overlapped = {};
  ASSERT_EQ(SOCKET_ERROR, WSARecvFrom(u, &buffer, 1, nullptr, &flags, AsSockaddr(&from),
                                      &fromLength, &overlapped, nullptr));
  ASSERT_EQ(WSA_IO_PENDING, WSAGetLastError());
  ASSERT_EQ(5, ::sendto(sender, "hello", 5, 0, AsSockaddr(&local), sizeof(local)));
  Packet packet = Dequeue(m_port);
  EXPECT_TRUE(packet.ok);
  EXPECT_EQ(5u, packet.bytes);
  EXPECT_EQ(static_cast<int>(sizeof(sockaddr_in)), fromLength);
  EXPECT_EQ(0, memcmp(&from, &senderAddress, sizeof(from)));

  char small[4];
  WSABUF smallBuffer = {sizeof(small), small};
  ASSERT_EQ(SOCKET_ERROR, WSARecvFrom(u, &smallBuffer, 1, nullptr, &flags, AsSockaddr(&from),
                                      &fromLength, &overlapped, nullptr));
  ASSERT_EQ(WSA_IO_PENDING, WSAGetLastError());
  ASSERT_EQ(10, ::sendto(sender, "0123456789", 10, 0, AsSockaddr(&local), sizeof(local)));
  packet = Dequeue(m_port);
  EXPECT_FALSE(packet.ok);
  EXPECT_EQ(ERROR_MORE_DATA, packet.error);
  EXPECT_EQ(4u, packet.bytes);
}

// AcceptEx: completes on the listening socket's key; the accept socket keeps its value.
class AcceptExTest : public SocketTest {
 protected:
  void SetUp() override {
    SocketTest::SetUp();
    m_listener = NewSocket();
    m_address = Loopback();
    ASSERT_EQ(0, bind(m_listener, AsSockaddr(&m_address), sizeof(m_address)));
    int length = sizeof(m_address);
    ASSERT_EQ(0, getsockname(m_listener, AsSockaddr(&m_address), &length));
    Associate(m_listener, kListenKey);
    ASSERT_EQ(0, listen(m_listener, 5));
    GUID id = WSAID_ACCEPTEX;
    DWORD bytes = 0;
    ASSERT_EQ(0, WSAIoctl(m_listener, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof(id),
                          &m_acceptEx, sizeof(m_acceptEx), &bytes, nullptr, nullptr));
    ASSERT_NE(nullptr, m_acceptEx);
  }

  int ConnectClient() {
    int client = Track(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(0, ::connect(client, AsSockaddr(&m_address), sizeof(m_address)));
    return client;
  }

  static constexpr ULONG_PTR kListenKey = 77;
  SOCKET m_listener = INVALID_SOCKET;
  sockaddr_in m_address = {};
  LPFN_ACCEPTEX m_acceptEx = nullptr;
  char m_buffer[512] = {};
};

TEST_F(AcceptExTest, PendingAcceptCompletesOnListeningKeyAndSocketCarriesConnection) {
  SOCKET accepted = NewSocket();
  OVERLAPPED overlapped = {};
  DWORD bytes = 0;
  ASSERT_FALSE(m_acceptEx(m_listener, accepted, m_buffer, 0, 32, 32, &bytes, &overlapped));
  ASSERT_EQ(WSA_IO_PENDING, WSAGetLastError());
  int client = ConnectClient();
  Packet packet = Dequeue(m_port);
  ASSERT_TRUE(packet.ok) << packet.error;
  EXPECT_EQ(&overlapped, packet.pOverlapped);
  EXPECT_EQ(kListenKey, packet.key);
  EXPECT_EQ(0u, packet.bytes);
  EXPECT_EQ(0, setsockopt(accepted, SOL_SOCKET, SO_UPDATE_ACCEPT_CONTEXT,
                          reinterpret_cast<const char*>(&m_listener), sizeof(m_listener)));

  sockaddr* pLocal = nullptr;
  sockaddr* pRemote = nullptr;
  int localLength = 0;
  int remoteLength = 0;
  GetAcceptExSockaddrs(m_buffer, 0, 32, 32, &pLocal, &localLength, &pRemote, &remoteLength);
  sockaddr_in clientAddress;
  socklen_t clientLength = sizeof(clientAddress);
  ASSERT_EQ(0, ::getsockname(client, AsSockaddr(&clientAddress), &clientLength));
  ASSERT_EQ(static_cast<int>(sizeof(sockaddr_in)), remoteLength);
  ASSERT_EQ(static_cast<int>(sizeof(sockaddr_in)), localLength);
  EXPECT_EQ(clientAddress.sin_port, reinterpret_cast<sockaddr_in*>(pRemote)->sin_port);
  EXPECT_EQ(m_address.sin_port, reinterpret_cast<sockaddr_in*>(pLocal)->sin_port);

  // The same SOCKET value now reads the client's bytes.
  Associate(accepted, 78);
  char data[16];
  OVERLAPPED recvOverlapped = {};
  WSABUF buffer = {sizeof(data), data};
  DWORD flags = 0;
  int result = WSARecv(accepted, &buffer, 1, nullptr, &flags, &recvOverlapped, nullptr);
  ASSERT_TRUE(result == 0 || WSAGetLastError() == WSA_IO_PENDING);
  ASSERT_EQ(5, write(client, "hello", 5));
  packet = Dequeue(m_port);
  ASSERT_TRUE(packet.ok);
  EXPECT_EQ(78u, packet.key);
  EXPECT_EQ(5u, packet.bytes);
  EXPECT_EQ(0, memcmp(data, "hello", 5));
}

TEST_F(AcceptExTest, ClosingTheAcceptSocketEndsThePendingAcceptWith995) {
  SOCKET accepted = NewSocket();
  OVERLAPPED overlapped = {};
  DWORD bytes = 0;
  ASSERT_FALSE(m_acceptEx(m_listener, accepted, m_buffer, 0, 32, 32, &bytes, &overlapped));
  ASSERT_EQ(0, Close(accepted));
  Packet packet = Dequeue(m_port);
  EXPECT_FALSE(packet.ok);
  EXPECT_EQ(&overlapped, packet.pOverlapped);
  EXPECT_EQ(kListenKey, packet.key);
  EXPECT_EQ(ERROR_OPERATION_ABORTED, packet.error);
  EXPECT_EQ(WAIT_TIMEOUT, Dequeue(m_port, kQuietMs).error);
}

// Runs in a child whose descriptor limit leaves no room for the accepted connection.
int AcceptUnderEmfileChild() {
  HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
  SOCKET listener = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, 0);
  SOCKET accepted = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, 0);
  sockaddr_in address = Loopback();
  int length = sizeof(address);
  if (!port || bind(listener, AsSockaddr(&address), length) != 0 ||
      getsockname(listener, AsSockaddr(&address), &length) != 0 || listen(listener, 5) != 0 ||
      CreateIoCompletionPort(AsHandle(listener), port, 5, 0) != port) {
    return 10;
  }
  int client = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  char buffer[64];
  OVERLAPPED overlapped = {};
  DWORD bytes = 0;
  if (AcceptEx(listener, accepted, buffer, 0, 32, 32, &bytes, &overlapped) ||
      WSAGetLastError() != WSA_IO_PENDING) {
    return 11;
  }
  int lowestFree = fcntl(client, F_DUPFD, 0);
  close(lowestFree);
  rlimit limit;
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = static_cast<rlim_t>(lowestFree);
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return 12;
  ::connect(client, AsSockaddr(&address), sizeof(address));
  Packet packet = Dequeue(port);
  if (packet.ok || packet.pOverlapped != &overlapped) return 13;
  if (packet.error != static_cast<DWORD>(WSAEMFILE)) return 14;
  // Nothing more comes, and the wait is a real wait rather than a loop over the backlog.
  rusage before;
  rusage after;
  getrusage(RUSAGE_SELF, &before);
  if (Dequeue(port, 300).error != WAIT_TIMEOUT) return 15;
  getrusage(RUSAGE_SELF, &after);
  long usedUs = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) * 1000000L +
                (after.ru_utime.tv_usec - before.ru_utime.tv_usec) +
                (after.ru_stime.tv_sec - before.ru_stime.tv_sec) * 1000000L +
                (after.ru_stime.tv_usec - before.ru_stime.tv_usec);
  if (usedUs > 150000) return 16;
  return 0;
}

TEST(AcceptExLimitTest, AcceptUnderEmfileCompletesWithErrorInsteadOfSpinning) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(AcceptUnderEmfileChild());
  int pidFd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
  if (pidFd >= 0) {
    pollfd ended = {pidFd, POLLIN, 0};
    if (poll(&ended, 1, 20000) != 1) kill(child, SIGKILL);
    close(pidFd);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
}

// Event-selected connects: the event is set once when the connect ends, however it ends.
class EventSelectTest : public SocketTest {
 protected:
  void SetUp() override {
    SocketTest::SetUp();
    m_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, m_event);
  }
  void TearDown() override {
    CloseHandle(m_event);
    SocketTest::TearDown();
  }

  // 0 when connected at once, else the WSA error of connect().
  int StartConnect(SOCKET s, sockaddr_in address) {
    EXPECT_EQ(0, WSAEventSelect(s, m_event, FD_CONNECT));
    if (connect(s, AsSockaddr(&address), sizeof(address)) == 0) return 0;
    return WSAGetLastError();
  }

  // The connect's error as the connect thread reads it.
  int ConnectResult(SOCKET s) {
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_event, kBoundedMs));
    WSANETWORKEVENTS events;
    EXPECT_EQ(0, WSAEnumNetworkEvents(s, m_event, &events));
    EXPECT_EQ(FD_CONNECT, events.lNetworkEvents);
    return events.iErrorCode[FD_CONNECT_BIT];
  }

  HANDLE m_event = nullptr;
};

TEST_F(EventSelectTest, ConnectToListeningPortReportsZeroOnce) {
  sockaddr_in address;
  Track(PlainListener(&address));
  SOCKET s = NewSocket();
  int started = StartConnect(s, address);
  ASSERT_TRUE(started == 0 || started == WSAEWOULDBLOCK) << started;
  EXPECT_EQ(0, ConnectResult(s));
  // Reported once: the event was reset and nothing is recorded any more.
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(m_event, 0));
  WSANETWORKEVENTS events;
  ASSERT_EQ(0, WSAEnumNetworkEvents(s, m_event, &events));
  EXPECT_EQ(0, events.lNetworkEvents);
}

TEST_F(EventSelectTest, ConnectToRefusedPortReports10061) {
  int probe = Track(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = Loopback();
  socklen_t length = sizeof(address);
  ASSERT_EQ(0, ::bind(probe, AsSockaddr(&address), length));
  ASSERT_EQ(0, ::getsockname(probe, AsSockaddr(&address), &length));  // bound, never listening
  SOCKET s = NewSocket();
  int started = StartConnect(s, address);
  if (started == WSAEWOULDBLOCK) {
    EXPECT_EQ(WSAECONNREFUSED, ConnectResult(s));
  } else {
    EXPECT_EQ(WSAECONNREFUSED, started);
  }
}

TEST_F(EventSelectTest, ClosingSocketMidConnectSignalsItsEvent) {
  // A listener that never accepts, with a backlog of 0: once its queue is full, further SYNs
  // are dropped and a connect stays in progress.
  sockaddr_in address;
  Track(PlainListener(&address, 0));
  bool queueFull = false;
  for (int i = 0; i < 16 && !queueFull; ++i) {
    int filler = Track(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    ::connect(filler, AsSockaddr(&address), sizeof(address));
    pollfd writable = {filler, POLLOUT, 0};
    queueFull = poll(&writable, 1, 200) == 0;
  }
  ASSERT_TRUE(queueFull) << "the kernel accepted every connect; cannot hold one in progress";
  SOCKET s = NewSocket();
  ASSERT_EQ(WSAEWOULDBLOCK, StartConnect(s, address));
  EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), WaitForSingleObject(m_event, kQuietMs));
  ASSERT_EQ(0, Close(s));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(m_event, kBoundedMs));
  WSANETWORKEVENTS events;
  EXPECT_EQ(SOCKET_ERROR, WSAEnumNetworkEvents(s, m_event, &events));
  EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
}

// Names: the own host name answers with reachable interface addresses.
std::vector<in_addr_t> UpNonLoopbackAddresses() {
  std::vector<in_addr_t> result;
  ifaddrs* pList = nullptr;
  if (getifaddrs(&pList) != 0) return result;
  for (ifaddrs* p = pList; p; p = p->ifa_next) {
    if (!p->ifa_addr || p->ifa_addr->sa_family != AF_INET) continue;
    if (!(p->ifa_flags & IFF_UP) || (p->ifa_flags & IFF_LOOPBACK)) continue;
    in_addr_t address = reinterpret_cast<sockaddr_in*>(p->ifa_addr)->sin_addr.s_addr;
    if ((ntohl(address) >> 24) != 127) result.push_back(address);
  }
  freeifaddrs(pList);
  return result;
}

TEST(ResolverTest, OwnHostNameGivesInterfaceAddressesNonLoopbackFirst) {
  char name[256];
  ASSERT_EQ(0, win32::gethostname(name, static_cast<int>(sizeof(name))));
  std::string upper = name;
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  const std::vector<in_addr_t> interfaces = UpNonLoopbackAddresses();
  for (const char* pQuery : std::vector<const char*>{name, upper.c_str(), ""}) {
    hostent* pEntry = win32::gethostbyname(pQuery);
    ASSERT_NE(nullptr, pEntry) << pQuery;
    EXPECT_EQ(AF_INET, pEntry->h_addrtype);
    EXPECT_EQ(4, pEntry->h_length);
    ASSERT_NE(nullptr, pEntry->h_addr_list[0]);
    in_addr_t first;
    memcpy(&first, pEntry->h_addr_list[0], sizeof(first));
    if (interfaces.empty()) {
      EXPECT_EQ(htonl(INADDR_LOOPBACK), first);
    } else {
      EXPECT_NE(127u, ntohl(first) >> 24) << "own name answered with a loopback address";
      EXPECT_NE(interfaces.end(), std::find(interfaces.begin(), interfaces.end(), first));
    }
  }
}

TEST(ResolverTest, OtherNamesUseTheSystemResolverWithPerThreadResults) {
  hostent* pEntry = win32::gethostbyname("127.0.0.1");
  ASSERT_NE(nullptr, pEntry);
  in_addr_t first;
  memcpy(&first, pEntry->h_addr_list[0], sizeof(first));
  EXPECT_EQ(htonl(INADDR_LOOPBACK), first);
  // Another thread's lookup leaves this thread's answer alone.
  std::thread([] { EXPECT_NE(nullptr, win32::gethostbyname("127.0.0.2")); }).join();
  memcpy(&first, pEntry->h_addr_list[0], sizeof(first));
  EXPECT_EQ(htonl(INADDR_LOOPBACK), first);

  char tiny[1];
  EXPECT_EQ(SOCKET_ERROR, gethostname(tiny, static_cast<int>(sizeof(tiny))));
  EXPECT_EQ(WSAEFAULT, WSAGetLastError());
}

TEST(ResolverTest, NetworkParamsListTheResolvConfServers) {
  char root[] = "/tmp/lumidock-resolv-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(root));
  setenv("LUMIDOCK_ROOT", root, 1);
  const std::string path = std::string(root) + "/resolv.conf";
  {
    std::ofstream file(path);
    file << "# written by a test\n"
            "; old comment style\n"
            "nameserver 10.1.2.3\n"
            "nameserver fd00::1\n"
            "nameserver not-an-address\n"
            "domain old.example\n"
            "search corp.example lab.example\n"
            "nameserver 192.168.7.1\n";
  }
  setenv("LUMIDOCK_RESOLV_CONF", path.c_str(), 1);

  ULONG size = 16;
  std::vector<char> small(size);
  ASSERT_EQ(ERROR_BUFFER_OVERFLOW,
            GetNetworkParams(reinterpret_cast<FIXED_INFO*>(small.data()), &size));
  ASSERT_GE(size, sizeof(FIXED_INFO));
  std::vector<uint64_t> storage(size / sizeof(uint64_t) + 1);
  auto* pInfo = reinterpret_cast<FIXED_INFO*>(storage.data());
  ASSERT_EQ(ERROR_SUCCESS, GetNetworkParams(pInfo, &size));
  std::vector<std::string> servers;
  for (IP_ADDR_STRING* p = &pInfo->DnsServerList; p; p = p->Next) {
    servers.push_back(p->IpAddress.String);
  }
  EXPECT_EQ((std::vector<std::string>{"10.1.2.3", "192.168.7.1"}), servers);
  EXPECT_STREQ("corp.example", pInfo->DomainName);
  EXPECT_NE('\0', pInfo->HostName[0]);
  EXPECT_EQ(nullptr, strchr(pInfo->HostName, '.'));

  unlink(path.c_str());
  size = sizeof(storage[0]) * storage.size();
  ASSERT_EQ(ERROR_SUCCESS, GetNetworkParams(pInfo, &size));
  EXPECT_STREQ("", pInfo->DnsServerList.IpAddress.String);
  EXPECT_EQ(nullptr, pInfo->DnsServerList.Next);
  unsetenv("LUMIDOCK_RESOLV_CONF");
  unsetenv("LUMIDOCK_ROOT");
  rmdir(root);
}

}  // namespace
