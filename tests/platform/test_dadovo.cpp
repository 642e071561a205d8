#include "win32/dadovo.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace win32;

namespace {

constexpr int kBoundedMs = 5000;

using Bytes = std::vector<BYTE>;

struct Header {
  BYTE bytes[kDadovoReportHeaderSize];
};

Header MakeHeader(uint16_t command) {
  Header header = {};
  const uint16_t fields[] = {0xD85C, 0, 1, command};
  memcpy(header.bytes, fields, sizeof(fields));
  return header;
}

void AppendFrame(Bytes* pOut, const Bytes& body) {
  uint32_t length = static_cast<uint32_t>(body.size());
  for (int shift = 0; shift < 32; shift += 8) pOut->push_back(static_cast<BYTE>(length >> shift));
  pOut->insert(pOut->end(), body.begin(), body.end());
}

// Splits spool or wire bytes into frame bodies; false when a frame is cut or trails garbage.
bool SplitFrames(const Bytes& bytes, std::vector<Bytes>* pFrames) {
  size_t pos = 0;
  while (pos < bytes.size()) {
    if (bytes.size() - pos < 4) return false;
    uint32_t length = bytes[pos] | bytes[pos + 1] << 8 | bytes[pos + 2] << 16 |
                      static_cast<uint32_t>(bytes[pos + 3]) << 24;
    pos += 4;
    if (bytes.size() - pos < length) return false;
    pFrames->emplace_back(bytes.begin() + pos, bytes.begin() + pos + length);
    pos += length;
  }
  return true;
}

// A loopback listener the sender can reach.
class Listener {
 public:
  Listener() {
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    listen(m_fd, 16);
    socklen_t size = sizeof(address);
    getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &size);
    m_port = ntohs(address.sin_port);
  }
  ~Listener() { close(m_fd); }
  uint16_t Port() const { return m_port; }

  // One connection's bytes up to its end; false when none comes in time.
  bool Receive(int timeoutMs, Bytes* pBytes) {
    pollfd entry = {m_fd, POLLIN, 0};
    if (poll(&entry, 1, timeoutMs) != 1) return false;
    int connection = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) return false;
    bool ended = false;
    while (true) {
      pollfd data = {connection, POLLIN, 0};
      if (poll(&data, 1, kBoundedMs) != 1) break;
      BYTE buffer[4096];
      ssize_t n = read(connection, buffer, sizeof(buffer));
      if (n <= 0) {
        ended = n == 0;
        break;
      }
      pBytes->insert(pBytes->end(), buffer, buffer + n);
    }
    close(connection);
    return ended;
  }

 private:
  int m_fd = -1;
  uint16_t m_port = 0;
};

class DadovoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/lumidock-dadovo-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_root = pattern;
    setenv("LUMIDOCK_ROOT", m_root.c_str(), 1);
    unsetenv("ORBALYN_REPORT_SERVER");
    m_module = dlopen(DADOVO_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(m_module, nullptr) << dlerror();
    m_init = reinterpret_cast<DadovoInitFn>(dlsym(m_module, "Init"));
    m_create =
        reinterpret_cast<DadovoCreateIReportClientFn>(dlsym(m_module, "CreateIReportClient"));
    m_release =
        reinterpret_cast<DadovoReleaseIReportClientFn>(dlsym(m_module, "ReleaseIReportClient"));
    m_getGuid = reinterpret_cast<DadovoGetGuidFn>(dlsym(m_module, "GetGuid"));
    m_unInit = reinterpret_cast<DadovoUnInitFn>(dlsym(m_module, "UnInit"));
    ASSERT_TRUE(m_init && m_create && m_release && m_getGuid && m_unInit);
  }
  void TearDown() override {
    // Every case gives back each user it counted.
    EXPECT_EQ(m_create("h", "h", 443, 1), nullptr);
    if (m_module) dlclose(m_module);
    unsetenv("ORBALYN_REPORT_SERVER");
    unsetenv("LUMIDOCK_ROOT");
    std::filesystem::remove_all(m_root);
  }

  IReportClient* Create() { return m_create("report.invalid", "report.invalid", 443, 1); }

  // Commits header, record and data blocks through one client; returns the expected frame body.
  Bytes CommitReport(uint16_t command, const Bytes& record, const std::vector<Bytes>& blocks,
                     BOOL* pResult) {
    Header header = MakeHeader(command);
    IReportClient* pClient = Create();
    EXPECT_NE(pClient, nullptr);
    if (!pClient) return {};
    EXPECT_TRUE(pClient->SetHeader(&header));
    EXPECT_TRUE(pClient->SetRecord(record.data(), static_cast<DWORD>(record.size())));
    for (const Bytes& block : blocks) {
      EXPECT_TRUE(pClient->AppendData(block.data(), static_cast<DWORD>(block.size())));
    }
    *pResult = pClient->Commit();
    m_release(pClient);
    Bytes body(header.bytes, header.bytes + sizeof(header.bytes));
    body.insert(body.end(), record.begin(), record.end());
    for (const Bytes& block : blocks) body.insert(body.end(), block.begin(), block.end());
    return body;
  }

  Bytes ReadFile(const std::string& name) {
    std::ifstream in(m_root + "/statistics/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::string m_root;
  void* m_module = nullptr;
  DadovoInitFn m_init = nullptr;
  DadovoCreateIReportClientFn m_create = nullptr;
  DadovoReleaseIReportClientFn m_release = nullptr;
  DadovoGetGuidFn m_getGuid = nullptr;
  DadovoUnInitFn m_unInit = nullptr;
};

// --- Users: each Init needs its UnInit; clients exist only while a user is counted ---

TEST_F(DadovoTest, ClientsExistOnlyWhileUsersAreCounted) {
  EXPECT_EQ(Create(), nullptr);
  ASSERT_TRUE(m_init(TRUE));
  ASSERT_TRUE(m_init(TRUE));
  m_unInit(0);
  IReportClient* pClient = Create();
  EXPECT_NE(pClient, nullptr);
  m_release(pClient);
  m_unInit(0);
  EXPECT_EQ(Create(), nullptr);
  m_unInit(0);  // one too many changes nothing
  EXPECT_EQ(Create(), nullptr);

  // While the last Init said FALSE, reports are refused and nothing is written.
  ASSERT_TRUE(m_init(FALSE));
  BOOL committed = TRUE;
  CommitReport(5005, {1}, {}, &committed);
  EXPECT_FALSE(committed);
  EXPECT_TRUE(ReadFile("spool.bin").empty());
  ASSERT_TRUE(m_init(TRUE));
  CommitReport(5005, {1}, {}, &committed);
  EXPECT_TRUE(committed);
  m_unInit(0);
  m_unInit(0);
}

// --- Spool: each accepted report is one whole frame, in commit order ---

TEST_F(DadovoTest, CommitAppendsByteExactFrames) {
  ASSERT_TRUE(m_init(TRUE));
  BOOL committed = FALSE;
  Bytes first = CommitReport(5892, {0x00, 0x21, 'a', 'b'}, {{9, 8}, {}, {7}}, &committed);
  EXPECT_TRUE(committed);
  Bytes second = CommitReport(5005, {}, {}, &committed);
  EXPECT_TRUE(committed);

  IReportClient* pHeaderless = Create();
  BYTE data[] = {1, 2, 3};
  pHeaderless->SetRecord(data, sizeof(data));
  EXPECT_FALSE(pHeaderless->Commit());
  m_release(pHeaderless);

  Bytes expected;
  AppendFrame(&expected, first);
  AppendFrame(&expected, second);
  EXPECT_EQ(ReadFile("spool.bin"), expected);
  m_unInit(0);
}

TEST_F(DadovoTest, ConcurrentCommitsNeverInterleave) {
  ASSERT_TRUE(m_init(TRUE));
  constexpr int kThreads = 4;
  constexpr int kReports = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kReports; ++i) {
        // Large enough that one write call cannot carry it all at once on every file system.
        Bytes block(1000 + 3000 * i, static_cast<BYTE>(t));
        BOOL committed = FALSE;
        CommitReport(static_cast<uint16_t>(i), {static_cast<BYTE>(t)}, {block}, &committed);
        EXPECT_TRUE(committed);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::vector<Bytes> frames;
  ASSERT_TRUE(SplitFrames(ReadFile("spool.bin"), &frames));
  ASSERT_EQ(frames.size(), static_cast<size_t>(kThreads * kReports));
  std::set<std::pair<int, int>> seen;
  for (const Bytes& frame : frames) {
    ASSERT_GT(frame.size(), kDadovoReportHeaderSize);
    int t = frame[kDadovoReportHeaderSize];
    int i = frame[6] | frame[7] << 8;
    EXPECT_EQ(frame.size(), kDadovoReportHeaderSize + 1 + 1000 + 3000 * i);
    for (size_t k = kDadovoReportHeaderSize + 1; k < frame.size(); ++k) {
      ASSERT_EQ(frame[k], t) << "bytes of another report inside this one";
    }
    seen.insert({t, i});
  }
  EXPECT_EQ(seen.size(), frames.size());
  m_unInit(0);
}

// --- Installation id ---

TEST_F(DadovoTest, GuidIsStableAndReplacedWhenMalformed) {
  BYTE first[16] = {};
  BYTE again[16] = {};
  ASSERT_TRUE(m_getGuid(first));
  ASSERT_TRUE(m_getGuid(again));
  EXPECT_EQ(0, memcmp(first, again, 16));
  EXPECT_EQ(ReadFile("guid.bin"), Bytes(first, first + 16));

  std::ofstream(m_root + "/statistics/guid.bin", std::ios::binary | std::ios::trunc) << "abc";
  BYTE fresh[16] = {};
  ASSERT_TRUE(m_getGuid(fresh));
  EXPECT_NE(0, memcmp(first, fresh, 16));
  EXPECT_EQ(ReadFile("guid.bin"), Bytes(fresh, fresh + 16));

  setenv("LUMIDOCK_ROOT", "/proc/no-such-folder", 1);
  EXPECT_FALSE(m_getGuid(fresh));
  setenv("LUMIDOCK_ROOT", m_root.c_str(), 1);
}

// --- Report server: the spooled frames also go out, one connection each ---

TEST_F(DadovoTest, ReportsReachTheConfiguredServer) {
  Listener listener;
  std::string server = "127.0.0.1:" + std::to_string(listener.Port());
  setenv("ORBALYN_REPORT_SERVER", server.c_str(), 1);
  ASSERT_TRUE(m_init(TRUE));
  BOOL committed = FALSE;
  CommitReport(5946, {1, 2, 3}, {{4, 5}}, &committed);
  ASSERT_TRUE(committed);
  CommitReport(5892, {6}, {}, &committed);
  ASSERT_TRUE(committed);

  Bytes received;
  ASSERT_TRUE(listener.Receive(kBoundedMs, &received));
  ASSERT_TRUE(listener.Receive(kBoundedMs, &received));
  EXPECT_EQ(received, ReadFile("spool.bin"));
  m_unInit(kBoundedMs);
}

// UnInit waits for the reports still being sent, so the connection is there once it returns.
TEST_F(DadovoTest, UnInitFlushesWithinItsTimeout) {
  Listener listener;
  std::string server = "127.0.0.1:" + std::to_string(listener.Port());
  setenv("ORBALYN_REPORT_SERVER", server.c_str(), 1);
  ASSERT_TRUE(m_init(TRUE));
  BOOL committed = FALSE;
  CommitReport(5005, {1}, {}, &committed);
  m_unInit(kBoundedMs);
  Bytes received;
  EXPECT_TRUE(listener.Receive(0, &received));
  EXPECT_EQ(received, ReadFile("spool.bin"));
}

TEST_F(DadovoTest, MalformedServerValuesSendNothing) {
  Listener listener;
  std::string port = std::to_string(listener.Port());
  for (std::string value : {"127.0.0.1:" + port + " ", " 127.0.0.1:" + port, "127.0.0.1:+" + port,
                            "127.0.0.1:" + port + "/x", ":" + port, "127.0.0.1:" + port + ":1"}) {
    setenv("ORBALYN_REPORT_SERVER", value.c_str(), 1);
    ASSERT_TRUE(m_init(TRUE));
    BOOL committed = FALSE;
    CommitReport(5005, {1}, {}, &committed);
    EXPECT_TRUE(committed) << value;
    m_unInit(kBoundedMs);
    Bytes received;
    EXPECT_FALSE(listener.Receive(0, &received)) << "sent for \"" << value << "\"";
  }
}

TEST_F(DadovoTest, UnreachableServerKeepsTheSpoolAndDoesNotStallUnInit) {
  uint16_t closedPort;
  {
    Listener gone;
    closedPort = gone.Port();
  }
  std::string server = "127.0.0.1:" + std::to_string(closedPort);
  setenv("ORBALYN_REPORT_SERVER", server.c_str(), 1);
  ASSERT_TRUE(m_init(TRUE));
  BOOL committed = FALSE;
  Bytes body = CommitReport(5005, {1, 2}, {}, &committed);
  EXPECT_TRUE(committed);
  auto start = std::chrono::steady_clock::now();
  m_unInit(2000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
  Bytes expected;
  AppendFrame(&expected, body);
  EXPECT_EQ(ReadFile("spool.bin"), expected);
}

}  // namespace
