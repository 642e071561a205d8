#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "../common/ChildCase.h"
#include "../common/TickWrap.h"
#include "LoopbackTestUtil.h"
#include "NetEngine/ADNSResolver.h"
#include "NetEngine/IOOperation.h"
#include "NetEngine/IOThread.h"
#include "NetEngineTestUtil.h"

using netengine_test::DrainIoThread;
using netengine_test::PollUntil;
using netengine_test::RecordingHandler;

namespace {

using Clock = std::chrono::steady_clock;

CADNSResolver* Resolver() { return CADNSResolver::Instance(); }

// What a completed resolve left in its operation.
struct Result {
  uint32_t code = 0;
  uint32_t error = 0;
  uint32_t length = 0;
  std::vector<DnsResult::Entry> entries;
  win32::DWORD threadId = 0;
};

// A DNS server on a loopback address of its own (port 53 needs privileges: tests that use it are
// skipped without them). The address comes from the process id, so parallel test processes do
// not meet.
class FakeDnsServer {
 public:
  FakeDnsServer()
      : m_fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)),
        m_address(netengine_test::LoopbackAddress(53, AddressOfProcess())) {
    m_ready = ::bind(m_fd, reinterpret_cast<sockaddr*>(&m_address), sizeof(m_address)) == 0;
  }
  ~FakeDnsServer() { ::close(m_fd); }

  bool Ready() const { return m_ready; }
  std::string AddressText() const {
    char text[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &m_address.sin_addr, text, sizeof(text));
  }
  // The next query and where it came from; false after timeoutMs.
  bool Receive(std::string* pQuery, sockaddr_in* pFrom = nullptr, int timeoutMs = 3000) {
    pollfd entry{m_fd, POLLIN, 0};
    if (::poll(&entry, 1, timeoutMs) != 1) return false;
    char buffer[512];
    sockaddr_in from{};
    socklen_t length = sizeof(from);
    ssize_t got =
        ::recvfrom(m_fd, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (got < 0) return false;
    pQuery->assign(buffer, static_cast<size_t>(got));
    m_client = from;
    if (pFrom) *pFrom = from;
    return true;
  }
  // To the resolver's socket, learnt from the last query.
  void Reply(const std::string& datagram) {
    ::sendto(m_fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&m_client),
             sizeof(m_client));
  }
  const sockaddr_in& Client() const { return m_client; }

 private:
  // 127.53.0.0 onwards, one address per process id (ids fit in 22 bits).
  static uint32_t AddressOfProcess() {
    const uint32_t pid = static_cast<uint32_t>(getpid()) & 0x3FFFFF;
    return (127u << 24) + (53u << 16) + pid;
  }

  int m_fd;
  sockaddr_in m_address;
  sockaddr_in m_client{};
  bool m_ready = false;
};

std::string U16(uint16_t value) {
  return {static_cast<char>(value >> 8), static_cast<char>(value & 0xFF)};
}
std::string U32(uint32_t value) { return U16(value >> 16) + U16(value & 0xFFFF); }

std::string EncodedName(const std::string& name) {
  std::string encoded;
  size_t start = 0;
  while (start < name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    encoded += static_cast<char>(dot - start) + name.substr(start, dot - start);
    start = dot + 1;
  }
  return encoded + '\0';
}

struct Answer {
  uint16_t type;
  uint32_t ttl;
  std::string data;
};

std::string Reply(const std::string& name, uint16_t flags, const std::vector<Answer>& answers) {
  std::string reply = U16(0x1234) + U16(flags) + U16(1) +
                      U16(static_cast<uint16_t>(answers.size())) + U16(0) + U16(0) +
                      EncodedName(name) + U16(1) + U16(1);
  for (const Answer& answer : answers) {
    reply += U16(0xC00C) + U16(answer.type) + U16(1) + U32(answer.ttl) +
             U16(static_cast<uint16_t>(answer.data.size())) + answer.data;
  }
  return reply;
}

std::string Ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return {static_cast<char>(a), static_cast<char>(b), static_cast<char>(c), static_cast<char>(d)};
}
uint32_t NetOrder(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  uint32_t value;
  memcpy(&value, Ipv4(a, b, c, d).data(), 4);
  return value;
}

class CADNSResolverTest : public ::testing::Test {
 protected:
  static constexpr uint32_t kResolvedCode = CIOOperation::kResolved;

  void SetUp() override {
    m_inUseAtStart = CIOOperation::Allocator::Instance()->InUseCountForTesting();
    const std::string root = netengine_test::g_pSandbox->Root();
    m_resolvConf = root + "/resolv.conf";
    m_hosts = root + "/hosts";
    setenv("LUMIDOCK_RESOLV_CONF", m_resolvConf.c_str(), 1);
    setenv("LUMIDOCK_HOSTS_FILE", m_hosts.c_str(), 1);
    WriteFile(m_resolvConf, "");
    WriteFile(m_hosts, "");
    ASSERT_EQ(CIOThread::Instance()->Start(), 0);
    m_handler.onIoComplete = [this](CIOOperation* pOp) {
      Result result{pOp->Code(), pOp->Error(), pOp->Length(), {}, win32::GetCurrentThreadId()};
      uint32_t count = 0;
      if (pOp->Length() >= 4) memcpy(&count, pOp->Data(), 4);
      for (uint32_t i = 0; i < count && 4 + 8 * (i + 1) <= pOp->Length(); ++i) {
        DnsResult::Entry entry;
        memcpy(&entry, pOp->Data() + 4 + 8 * i, sizeof(entry));
        result.entries.push_back(entry);
      }
      m_results.push_back(result);  // read by the test only after WaitCompletions
    };
  }
  void TearDown() override {
    EXPECT_TRUE(Resolver()->Stop());
    EXPECT_TRUE(DrainIoThread());
    EXPECT_EQ(CIOThread::Instance()->Stop(5000), 0);
    EXPECT_EQ(CIOOperation::Allocator::Instance()->InUseCountForTesting(), m_inUseAtStart);
    unsetenv("LUMIDOCK_RESOLV_CONF");
    unsetenv("LUMIDOCK_HOSTS_FILE");
  }

  static void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  }
  // Restarts the resolver so that it reads the files again.
  bool Restart() {
    Resolver()->Stop();
    return Resolver()->Start();
  }
  // A resolve operation the handler will receive; the test's reference is dropped here.
  CIOOperation* NewOp() {
    CIOOperation* pOp = CIOOperation::Create(&m_handler, kResolvedCode, 128);
    m_ops.push_back(pOp);
    return pOp;
  }
  void AddPending(const std::string& name) {
    CIOOperation* pOp = NewOp();
    Resolver()->AddPendingQueryForTesting(name, pOp);
    CIOOperation::Release(pOp);
  }
  // Starts the client against `server` and waits for its first query of `name`.
  bool StartWithPendingQuery(FakeDnsServer* pServer, const std::string& name) {
    WriteFile(m_resolvConf, "nameserver " + pServer->AddressText() + "\n");
    if (!Restart()) return false;
    AddPending(name);
    std::string query;
    return pServer->Receive(&query);
  }

  size_t m_inUseAtStart = 0;
  std::string m_resolvConf;
  std::string m_hosts;
  RecordingHandler m_handler;
  std::vector<Result> m_results;
  std::vector<CIOOperation*> m_ops;
};

// The synchronous path: any thread, delivered on the I/O thread under the owner's code.
TEST_F(CADNSResolverTest, ResolveDeliversCountOneTtl135AndTheFirstAddress) {
  for (const char* name : {"localhost", "127.0.0.1"}) {
    CIOOperation* pOp = NewOp();
    Resolver()->Resolve(name, pOp);
    CIOOperation::Release(pOp);
  }
  ASSERT_TRUE(m_handler.WaitCompletions(2));
  for (const Result& result : m_results) {
    EXPECT_EQ(result.code, kResolvedCode);
    EXPECT_EQ(result.error, 0u);
    EXPECT_EQ(result.length, 12u);
    ASSERT_EQ(result.entries.size(), 1u);
    EXPECT_EQ(result.entries[0].ttlSeconds, 135u);
    EXPECT_EQ(result.entries[0].addressNetOrder, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(result.threadId, CIOThread::Instance()->ThreadId());
  }
}

TEST_F(CADNSResolverTest, ResolveOfAnUnresolvableNameCompletesWithLength0And10060) {
  // A label longer than 63 bytes cannot be asked for: the system fails without sending.
  const std::string name = std::string(70, 'a') + ".invalid";
  CIOOperation* pOp = NewOp();
  Resolver()->Resolve(name.c_str(), pOp);
  CIOOperation::Release(pOp);
  ASSERT_TRUE(m_handler.WaitCompletions(1));
  EXPECT_EQ(m_results[0].error, 10060u);
  EXPECT_EQ(m_results[0].length, 0u);
  EXPECT_EQ(m_results[0].code, kResolvedCode);
}

// Loading: servers in the system's order on port 53; the first name of each usable hosts line.
TEST_F(CADNSResolverTest, StartLoadsTheServersAndTheFirstNameOfEachHostsLine) {
  WriteFile(m_resolvConf, "nameserver 127.0.0.9\nnameserver ::1\nnameserver 127.0.0.8\n");
  WriteFile(m_hosts,
            "# 10.0.0.9 commented\n"
            "  10.0.0.1\talpha beta\r\n"
            "10.0.0.2 alpha\n"
            "10.0.0.3 Gamma # trailing words\n"
            "\n"
            "0.0.0.0 zero\n"
            "255.255.255.255 broadcast\n"
            "::1 v6\n"
            "not-an-address name\n"
            "10.0.0.4\n"
            "10.0.0.5 " +
                std::string(1100, 'x') +
                "\n"
                "10.0.0.6 last");
  ASSERT_TRUE(Restart());
  auto servers = Resolver()->ServersForTesting();
  ASSERT_EQ(servers.size(), 2u);
  EXPECT_EQ(servers[0].sin_addr.s_addr, NetOrder(127, 0, 0, 9));
  EXPECT_EQ(servers[1].sin_addr.s_addr, NetOrder(127, 0, 0, 8));
  EXPECT_EQ(ntohs(servers[0].sin_port), 53);
  const std::map<std::string, uint32_t> expected = {
      {"alpha", NetOrder(10, 0, 0, 1)},
      {"Gamma", NetOrder(10, 0, 0, 3)},
      {std::string(1014, 'x'), NetOrder(10, 0, 0, 5)},  // the line is cut at 1023 characters
      {"last", NetOrder(10, 0, 0, 6)},
  };
  EXPECT_EQ(Resolver()->HostsForTesting(), expected);
}

TEST_F(CADNSResolverTest, WithoutServersOrHostsFileStartStillSucceeds) {
  WriteFile(m_resolvConf, "# nothing\n");
  unlink(m_hosts.c_str());
  ASSERT_TRUE(Restart());
  EXPECT_TRUE(Resolver()->Start());  // already running
  EXPECT_TRUE(Resolver()->ServersForTesting().empty());
  EXPECT_TRUE(Resolver()->HostsForTesting().empty());
}

// The UDP client, against a fake server.
TEST_F(CADNSResolverTest, PendingQueryIsSentAndAnsweredWithEveryAddress) {
  FakeDnsServer server;
  if (!server.Ready()) GTEST_SKIP() << "cannot bind a loopback port 53";
  WriteFile(m_resolvConf, "nameserver " + server.AddressText() + "\n");
  ASSERT_TRUE(Restart());
  AddPending("example.test");
  std::string query;
  ASSERT_TRUE(server.Receive(&query));
  // Everything after the id: recursion desired, one question, type A, class IN.
  const std::string expected = U16(0x0100) + U16(1) + U16(0) + U16(0) + U16(0) +
                               EncodedName("example.test") + U16(1) + U16(1);
  ASSERT_GE(query.size(), 2u);
  EXPECT_EQ(query.substr(2), expected);

  server.Reply(Reply("example.test", 0x8180,
                     {{1, 300, Ipv4(10, 1, 2, 3)},
                      {5, 60,
                       "\x03"
                       "cdn\xC0\x0C"},
                      {1, 60, Ipv4(10, 1, 2, 4)}}));
  ASSERT_TRUE(m_handler.WaitCompletions(1));
  const Result& result = m_results[0];
  EXPECT_EQ(result.code, kResolvedCode);
  EXPECT_EQ(result.error, 0u);
  EXPECT_EQ(result.length, 20u);
  ASSERT_EQ(result.entries.size(), 2u);
  EXPECT_EQ(result.entries[0].ttlSeconds, 300u);
  EXPECT_EQ(result.entries[0].addressNetOrder, NetOrder(10, 1, 2, 3));
  EXPECT_EQ(result.entries[1].ttlSeconds, 60u);
  EXPECT_EQ(result.entries[1].addressNetOrder, NetOrder(10, 1, 2, 4));
  EXPECT_EQ(Resolver()->PendingCountForTesting(), 0u);
}

TEST_F(CADNSResolverTest, ForeignAuthoritativeOrFailedRepliesAreIgnoredAndReadingGoesOn) {
  FakeDnsServer server;
  if (!server.Ready()) GTEST_SKIP() << "cannot bind a loopback port 53";
  ASSERT_TRUE(StartWithPendingQuery(&server, "wanted.test"));
  const std::vector<Answer> decoy = {{1, 30, Ipv4(10, 9, 9, 9)}};
  // From another address: same datagram, not a server.
  int stranger = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const std::string foreign = Reply("wanted.test", 0x8180, decoy);
  sockaddr_in client = server.Client();
  ::sendto(stranger, foreign.data(), foreign.size(), 0, reinterpret_cast<sockaddr*>(&client),
           sizeof(client));
  ::close(stranger);
  server.Reply(Reply("wanted.test", 0x8580, decoy));  // authoritative answer
  server.Reply(Reply("wanted.test", 0x8183, decoy));  // name error
  server.Reply(Reply("wanted.test", 0x0100, decoy));  // not a response
  // Datagrams on one socket are read in order: by the time this one completes the query, the
  // ones above have been read and ignored.
  server.Reply(Reply("wanted.test", 0x8180, {{1, 30, Ipv4(10, 1, 1, 1)}}));
  ASSERT_TRUE(m_handler.WaitCompletions(1));
  ASSERT_TRUE(DrainIoThread());
  ASSERT_EQ(m_results.size(), 1u);
  ASSERT_EQ(m_results[0].entries.size(), 1u);
  EXPECT_EQ(m_results[0].entries[0].addressNetOrder, NetOrder(10, 1, 1, 1));
}

TEST_F(CADNSResolverTest, AnswerlessReplyIsLookedUpOnlyForANameBeingAskedFor) {
  FakeDnsServer server;
  if (!server.Ready()) GTEST_SKIP() << "cannot bind a loopback port 53";
  ASSERT_TRUE(StartWithPendingQuery(&server, "marker.test"));
  const uint32_t lookupsBefore = Resolver()->FallbackLookupsForTesting();
  // Anyone who can send from the server's address could name anything here.
  server.Reply(Reply("localhost", 0x8180, {}));
  server.Reply(Reply("marker.test", 0x8180, {{1, 30, Ipv4(10, 2, 2, 2)}}));
  ASSERT_TRUE(m_handler.WaitCompletions(1));
  EXPECT_EQ(Resolver()->FallbackLookupsForTesting(), lookupsBefore);

  AddPending("localhost");
  server.Reply(Reply("localhost", 0x8180, {}));
  ASSERT_TRUE(m_handler.WaitCompletions(2));
  EXPECT_EQ(Resolver()->FallbackLookupsForTesting(), lookupsBefore + 1);
  ASSERT_EQ(m_results[1].entries.size(), 1u);
  EXPECT_EQ(m_results[1].entries[0].ttlSeconds, 125u);
  EXPECT_EQ(m_results[1].entries[0].addressNetOrder, htonl(INADDR_LOOPBACK));
}

// Retries: resend gaps double; each server gets 5000 ms; times are unsigned tick differences.
TEST(CADNSResolverWrapTest, UnansweredQueryResendsAndFailsAfterFiveSecondsAcrossTheTickWrap) {
  const test_common::ProgramResult child = test_common::RunChildCase(
      "CADNSResolverWrapChildProcess.DISABLED_UnansweredQueryResendsAndFailsAfterFiveSeconds",
      {test_common::TickAtLoadShortOfWrap(4000)});
  if (child.output.find("cannot bind a loopback port 53") != std::string::npos) {
    GTEST_SKIP() << "cannot bind a loopback port 53";
  }
  EXPECT_TRUE(child.Passed()) << child.output;
}

class CADNSResolverWrapChildProcess : public CADNSResolverTest {};

TEST_F(CADNSResolverWrapChildProcess, DISABLED_UnansweredQueryResendsAndFailsAfterFiveSeconds) {
  FakeDnsServer server;
  if (!server.Ready()) GTEST_SKIP() << "cannot bind a loopback port 53";
  WriteFile(m_resolvConf, "nameserver " + server.AddressText() + "\n");
  ASSERT_TRUE(Restart());
  ASSERT_TRUE(test_common::WaitUntilWrapIn(1500));

  const auto added = Clock::now();
  AddPending("silent.test");
  std::vector<Clock::time_point> sends;
  std::string query;
  while (Clock::now() - added < std::chrono::milliseconds(1800) &&
         server.Receive(&query, nullptr, 500)) {
    sends.push_back(Clock::now());
  }
  bool failed =
      PollUntil([&] { return m_handler.Completions().size() == 1; }, std::chrono::seconds(8));
  const auto elapsed = Clock::now() - added;

  EXPECT_LT(win32::GetTickCount(), 0x80000000u);  // the run crossed the wrap
  ASSERT_GE(sends.size(), 3u);
  EXPECT_GT(sends[2] - sends[1], sends[1] - sends[0]);
  ASSERT_TRUE(failed);
  EXPECT_GE(elapsed, std::chrono::milliseconds(4900));
  EXPECT_EQ(m_results[0].error, 10060u);
  EXPECT_EQ(m_results[0].length, 0u);
}

}  // namespace
