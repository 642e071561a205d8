// Command channel echo over loopback against a plain blocking socket pair doing the same echo,
// both measured in this run: frames of 1024 bytes and of 64 KiB, a fixed window of frames in
// flight, a few seconds per case (--short: a fraction of a second, for CI).

#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

#include "Common/ObjectLifecycleMgr.h"
#include "NetEngine/ABConnectionThread.h"
#include "NetEngine/Command.h"
#include "NetEngine/CommandChannel.h"
#include "NetEngine/CommandChannelHandler.h"
#include "NetEngine/DllLog.h"
#include "NetEngine/IOOperation.h"
#include "NetEngine/IOThread.h"
#include "NetEngine/NetHelpers.h"
#include "win32/winsock.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kHeaderSize = 4;

// A frame of this benchmark: u32 total length (header included, big-endian), then payload.
class EchoFrame final : public CCommand {
 public:
  EchoFrame() : CCommand(1) {}

  static EchoFrame* Make(uint32_t total) {
    auto* pFrame = new EchoFrame();
    if (!pFrame->Reserve(total)) return pFrame;
    const uint8_t header[kHeaderSize] = {
        static_cast<uint8_t>(total >> 24), static_cast<uint8_t>(total >> 16),
        static_cast<uint8_t>(total >> 8), static_cast<uint8_t>(total)};
    CIOOperation::Append(pFrame->Buffer(), header, kHeaderSize);
    std::vector<uint8_t> payload(total - kHeaderSize, 0x5A);
    CIOOperation::Append(pFrame->Buffer(), payload.data(), total - kHeaderSize);
    return pFrame;
  }

  int ParseFrom(const uint8_t** ppData, uint32_t* pRemaining) override {
    while (*pRemaining > 0) {
      const uint32_t have = Buffer() ? Buffer()->Length() : 0;
      const uint32_t want = have < kHeaderSize ? kHeaderSize : Total();
      if (!Reserve(want)) return -1;
      const uint32_t take = std::min(want - have, *pRemaining);
      CIOOperation::Append(Buffer(), *ppData, take);
      *ppData += take;
      *pRemaining -= take;
      if (have < kHeaderSize && Buffer()->Length() == kHeaderSize &&
          (Total() < kHeaderSize || Total() > (1u << 20))) {
        return -1;
      }
      if (Buffer()->Length() >= kHeaderSize && Buffer()->Length() == Total()) return 0;
    }
    return 1;
  }
  bool SerializeTo(CIOOperation* pOp) override {
    const uint32_t length = Buffer()->Length();
    return CIOOperation::Append(pOp, Buffer()->Data(), length) == length;
  }

 private:
  ~EchoFrame() override = default;
  uint32_t Total() const {
    const uint8_t* p = Buffer()->Data();
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
  }
};

class EchoChannel final : public CCommandChannel {
 public:
  explicit EchoChannel(CCommandChannelHandler* pHandler) : CCommandChannel(pHandler, 1, 1) {}

 protected:
  CCommand* NewCommand() override { return new (std::nothrow) EchoFrame(); }
};

// The echoing end: sends every command back.
class EchoServer final : public CIOHandler, public CCommandChannelHandler {
 public:
  ~EchoServer() override {
    CObjectLifecycleMgr::Instance()->Unregister(static_cast<CIOHandler*>(this));
  }
  void OnConnected(CCommandChannel*) override {}
  int OnCommand(CCommandChannel* pChannel, CCommand* pCommand) override {
    pChannel->Send(pCommand);
    return 0;
  }
  void OnFinish(CCommandChannel*, uint32_t, uint32_t) override {}
};

// The measuring end: keeps `window` frames in flight until told to stop.
class EchoClient final : public CIOHandler, public CCommandChannelHandler {
 public:
  EchoClient(uint32_t frameBytes, uint32_t window)
      : m_pFrame(EchoFrame::Make(frameBytes)), m_window(window) {}
  ~EchoClient() override {
    CObjectLifecycleMgr::Instance()->Unregister(static_cast<CIOHandler*>(this));
    m_pFrame->Release();
  }

  void OnConnected(CCommandChannel* pChannel) override {
    for (uint32_t i = 0; i < m_window; ++i) SendOne(pChannel);
    Notify([&] { m_connected = true; });
  }
  int OnCommand(CCommandChannel* pChannel, CCommand*) override {
    m_received.fetch_add(1, std::memory_order_relaxed);
    m_inFlight.fetch_sub(1, std::memory_order_relaxed);
    if (!m_stop.load(std::memory_order_relaxed)) {
      SendOne(pChannel);
    } else if (m_inFlight.load(std::memory_order_relaxed) == 0) {
      Notify([] {});
    }
    return 0;
  }
  void OnFinish(CCommandChannel*, uint32_t operation, uint32_t error) override {
    Notify([&] {
      m_failed = true;
      m_failure = {operation, error};
    });
  }

  bool WaitConnected() {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::seconds(5), [&] { return m_connected || m_failed; }) &&
           m_connected;
  }
  bool StopAndDrain() {
    m_stop.store(true);
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::seconds(10), [&] {
      return m_inFlight.load() == 0 || m_failed;
    }) && !m_failed;
  }
  uint64_t Received() const { return m_received.load(std::memory_order_relaxed); }
  std::pair<uint32_t, uint32_t> Failure() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failure;
  }

 private:
  void SendOne(CCommandChannel* pChannel) {
    m_inFlight.fetch_add(1, std::memory_order_relaxed);
    if (!pChannel->Send(m_pFrame)) m_inFlight.fetch_sub(1, std::memory_order_relaxed);
  }
  template <class F>
  void Notify(F change) {
    std::lock_guard<std::mutex> lock(m_mutex);
    change();
    m_cv.notify_all();
  }

  EchoFrame* const m_pFrame;  // one reference; sent again and again
  const uint32_t m_window;
  std::atomic<uint64_t> m_received{0};
  std::atomic<int64_t> m_inFlight{0};
  std::atomic<bool> m_stop{false};
  std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_connected = false;
  bool m_failed = false;
  std::pair<uint32_t, uint32_t> m_failure{0, 0};
};

struct Figures {
  bool ok = false;
  double framesPerSecond = 0;
  double megabytesPerSecond = 0;
};

Figures Rate(uint64_t frames, uint32_t frameBytes, Clock::duration elapsed) {
  const double seconds = std::chrono::duration<double>(elapsed).count();
  Figures figures;
  figures.ok = frames > 0 && seconds > 0;
  figures.framesPerSecond = frames / seconds;
  figures.megabytesPerSecond = frames * static_cast<double>(frameBytes) / seconds / 1e6;
  return figures;
}

Figures RunChannelEcho(uint32_t frameBytes, uint32_t window, Clock::duration duration) {
  win32::SOCKET listener = win32::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof(address);
  if (win32::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      win32::listen(listener, 4) != 0 ||
      win32::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    win32::closesocket(listener);
    return {};
  }

  EchoServer server;
  EchoClient client(frameBytes, window);
  auto* pServerChannel = new EchoChannel(&server);
  auto* pClientChannel = new EchoChannel(&client);
  Figures figures;
  pClientChannel->Connect(address.sin_addr.s_addr, ntohs(address.sin_port));
  win32::SOCKET accepted = win32::accept(listener, nullptr, nullptr);
  win32::closesocket(listener);
  if (accepted != win32::INVALID_SOCKET && pServerChannel->Attach(accepted) &&
      client.WaitConnected()) {
    const Clock::time_point start = Clock::now();
    const uint64_t before = client.Received();
    std::this_thread::sleep_until(start + duration);  // the measured span
    const uint64_t frames = client.Received() - before;
    const Clock::duration elapsed = Clock::now() - start;
    if (client.StopAndDrain()) figures = Rate(frames, frameBytes, elapsed);
  }
  if (!figures.ok) {
    auto failure = client.Failure();
    fprintf(stderr, "channel echo of %u-byte frames failed: op %u, error %u\n", frameBytes,
            failure.first, failure.second);
  }
  pClientChannel->Close();
  pServerChannel->Close();
  pClientChannel->Release();
  pServerChannel->Release();
  return figures;
}

bool ReadFully(int fd, void* pData, size_t length) {
  char* p = static_cast<char*>(pData);
  while (length > 0) {
    ssize_t got = ::recv(fd, p, length, 0);
    if (got <= 0) return false;
    p += got;
    length -= static_cast<size_t>(got);
  }
  return true;
}

bool WriteFully(int fd, const void* pData, size_t length) {
  const char* p = static_cast<const char*>(pData);
  while (length > 0) {
    ssize_t sent = ::send(fd, p, length, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    p += sent;
    length -= static_cast<size_t>(sent);
  }
  return true;
}

// The same echo over a connected pair of plain blocking sockets: a writer and a reader thread on
// one end with the same window, an echo thread on the other.
Figures RunBaselineEcho(uint32_t frameBytes, uint32_t window, Clock::duration duration) {
  // A real loopback TCP connection, as the channel uses.
  int listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (::bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(listenFd, 1) != 0 ||
      ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(listenFd);
    return {};
  }
  int clientFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::connect(clientFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    ::close(clientFd);
    ::close(listenFd);
    return {};
  }
  int serverFd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
  ::close(listenFd);

  std::thread echo([&] {
    std::vector<char> frame(frameBytes);
    while (ReadFully(serverFd, frame.data(), frame.size()) &&
           WriteFully(serverFd, frame.data(), frame.size())) {
    }
  });
  std::counting_semaphore<> credits(window);
  std::atomic<bool> stop{false};
  std::atomic<bool> writerDone{false};
  std::atomic<uint64_t> received{0};
  std::atomic<uint64_t> sent{0};
  std::thread writer([&] {
    std::vector<char> frame(frameBytes, 0x5A);
    while (!stop.load(std::memory_order_relaxed)) {
      if (!credits.try_acquire_for(std::chrono::milliseconds(50))) continue;
      if (!WriteFully(clientFd, frame.data(), frame.size())) break;
      sent.fetch_add(1, std::memory_order_relaxed);
    }
  });
  std::thread reader([&] {
    std::vector<char> frame(frameBytes);
    for (;;) {
      if (writerDone.load() && received.load() == sent.load()) break;
      pollfd entry{clientFd, POLLIN, 0};
      if (::poll(&entry, 1, 50) != 1) continue;
      if (!ReadFully(clientFd, frame.data(), frame.size())) break;
      received.fetch_add(1, std::memory_order_relaxed);
      credits.release();
    }
  });

  const Clock::time_point start = Clock::now();
  const uint64_t before = received.load();
  std::this_thread::sleep_until(start + duration);  // the measured span
  const uint64_t frames = received.load() - before;
  const Clock::duration elapsed = Clock::now() - start;
  stop.store(true);
  writer.join();
  writerDone.store(true);
  reader.join();
  ::shutdown(clientFd, SHUT_WR);
  echo.join();
  ::close(clientFd);
  ::close(serverFd);
  return Rate(frames, frameBytes, elapsed);
}

}  // namespace

int main(int argc, char** argv) {
  bool shortRun = false;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--short") == 0) {
      shortRun = true;
    } else {
      fprintf(stderr, "usage: %s [--short]\n", argv[0]);
      return 2;
    }
  }
  const Clock::duration perCase =
      shortRun ? Clock::duration(std::chrono::milliseconds(300)) : std::chrono::seconds(3);

  // The library log and every folder the layer hands out go to a scratch root.
  std::string root =
      (std::filesystem::temp_directory_path() / "bench-channel-echo-XXXXXX").string();
  if (!mkdtemp(root.data())) return 1;
  setenv("LUMIDOCK_ROOT", root.c_str(), 1);
  std::u16string logModule;
  for (char c : root + "/bench-channel-echo") logModule.push_back(c == '/' ? u'\\' : char16_t(c));
  SetDllLogModulePathForTesting(logModule);

  if (CIOThread::Instance()->Start() != 0 || CABConnectionThread::Instance()->Start() != 0) {
    fprintf(stderr, "cannot start the engine threads\n");
    return 1;
  }

  struct Case {
    uint32_t frameBytes;
    uint32_t window;
  };
  const Case cases[] = {{1024, 64}, {64 * 1024, 8}};
  printf("bench-channel-echo: loopback echo, %.1f s per case and side\n",
         std::chrono::duration<double>(perCase).count());
  printf("%-8s %8s %14s %12s %16s %14s %7s\n", "frame", "window", "channel fr/s", "channel MB/s",
         "baseline fr/s", "baseline MB/s", "ratio");
  bool ok = true;
  for (const Case& c : cases) {
    Figures channel = RunChannelEcho(c.frameBytes, c.window, perCase);
    Figures baseline = RunBaselineEcho(c.frameBytes, c.window, perCase);
    ok = ok && channel.ok && baseline.ok;
    const double ratio = baseline.ok ? channel.megabytesPerSecond / baseline.megabytesPerSecond : 0;
    printf("%-8u %8u %14.0f %12.1f %16.0f %14.1f %7.2f\n", c.frameBytes, c.window,
           channel.framesPerSecond, channel.megabytesPerSecond, baseline.framesPerSecond,
           baseline.megabytesPerSecond, ratio);
  }

  CABConnectionThread::Instance()->Stop(5000);
  CIOThread::Instance()->Stop(5000);
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
  return ok ? 0 : 1;
}
