// The local server: its port, what it gives accepted sockets, and how it keeps accepting.

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "Logic/ClientChannel.h"
#include "Logic/LocalServer.h"
#include "PhoneRoadFixture.h"
#include "win32/winsock.h"

extern char** environ;

namespace phone_road_test {
namespace {

using LocalServerTest = PhoneRoadTest;

TEST_F(LocalServerTest, PortLivesFromTheFirstAcceptToClose) {
  CLocalServer* pServer = CLocalServer::Instance();
  const uint16_t port = pServer->GetPort();
  ASSERT_NE(port, 0);
  pServer->Start();  // started already: nothing changes
  ASSERT_TRUE(DrainIoThread());
  EXPECT_EQ(pServer->GetPort(), port);

  pServer->Close();
  EXPECT_EQ(pServer->GetPort(), 0);
  TestPhone refused(kPcId, kPhoneA);
  EXPECT_FALSE(refused.Connect(port));

  pServer->Start();
  ASSERT_TRUE(PollUntil([&] { return pServer->GetPort() != 0; }));
  TestPhone phone(kPcId, kPhoneA);
  ASSERT_TRUE(phone.Connect(pServer->GetPort()));
  EXPECT_TRUE(phone.Ping(2, kKeyA));
}

TEST_F(LocalServerTest, AcceptedSocketsKeepAliveAndEveryConnectionGetsIn) {
  // More connections at once than the backlog holds, one accept outstanding at a time.
  constexpr int kPhones = 24;
  std::vector<std::unique_ptr<TestPhone>> phones;
  for (int i = 0; i < kPhones; ++i) {
    phones.push_back(std::make_unique<TestPhone>(kPcId, i % 2 ? kPhoneA : kPhoneB));
    ASSERT_TRUE(phones.back()->Connect(Port())) << i;
  }
  for (int i = 0; i < kPhones; ++i) {
    EXPECT_TRUE(phones[i]->Ping(2, i % 2 ? kKeyA : kKeyB)) << i;
  }
  EXPECT_EQ(CClientCommMgr::Instance()->ChannelCountForTesting(), static_cast<size_t>(kPhones));

  // Still held by its channel: the last socket handed over.
  const win32::SOCKET accepted = CLocalServer::Instance()->LastAcceptedForTesting();
  int keepAlive = 0;
  int length = sizeof(keepAlive);
  ASSERT_EQ(win32::getsockopt(accepted, SOL_SOCKET, SO_KEEPALIVE,
                              reinterpret_cast<char*>(&keepAlive), &length),
            0);
  EXPECT_EQ(keepAlive, 1);
  for (auto [option, expected] :
       {std::pair{TCP_KEEPIDLE, 60}, std::pair{TCP_KEEPINTVL, 10}, std::pair{TCP_KEEPCNT, 6}}) {
    int value = 0;
    length = sizeof(value);
    ASSERT_EQ(
        win32::getsockopt(accepted, IPPROTO_TCP, option, reinterpret_cast<char*>(&value), &length),
        0);
    EXPECT_EQ(value, expected) << option;
  }
}

// A phone speaks first: connections that deliver no complete frame in time (silent ones, ones
// stuck half-way through a frame) are closed; a phone that spoke keeps its connection however
// quiet it is afterwards, and new phones keep getting in.
TEST_F(LocalServerTest, ConnectionsWithoutACompleteFrameAreClosedInTime) {
  CClientChannel::SetFirstFrameTimeoutForTesting(1000);
  struct Restore {
    ~Restore() { CClientChannel::SetFirstFrameTimeoutForTesting(0); }
  } restore;
  TestPhone silent(kPcId, kPhoneA);
  TestPhone halfFrame(kPcId, kPhoneA);
  TestPhone spoke(kPcId, kPhoneB);
  ASSERT_TRUE(silent.Connect(Port()));
  ASSERT_TRUE(halfFrame.Connect(Port()));
  ASSERT_TRUE(spoke.Connect(Port()));
  ASSERT_TRUE(halfFrame.SendBytes(std::string("\x77\xDE\x00\x11\x22\x33", 6)));
  EXPECT_TRUE(spoke.Ping(2, kKeyB));
  EXPECT_TRUE(silent.WaitClosed(5000));
  EXPECT_TRUE(halfFrame.WaitClosed(5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_TRUE(spoke.Ping(2, kKeyB));
  TestPhone later(kPcId, kPhoneA);
  ASSERT_TRUE(later.Connect(Port()));
  EXPECT_TRUE(later.Ping(2, kKeyA));
  EXPECT_TRUE(PollUntil([] { return CClientCommMgr::Instance()->ChannelCountForTesting() == 2; }));
}

// Descriptor exhaustion runs in a child process of its own (the limit is per process): the
// parent starts this binary again with only the child case selected.
TEST(LocalServerDescriptorTest, KeepsAcceptingAfterDescriptorsRunOut) {
  std::string self(4096, '\0');
  ssize_t length = readlink("/proc/self/exe", self.data(), self.size() - 1);
  ASSERT_GT(length, 0);
  self.resize(static_cast<size_t>(length));
  std::string filter = "--gtest_filter=LocalServerChildProcess.*";
  std::string disabled = "--gtest_also_run_disabled_tests";
  char* argv[] = {self.data(), filter.data(), disabled.data(), nullptr};
  pid_t child = 0;
  ASSERT_EQ(posix_spawn(&child, self.c_str(), nullptr, nullptr, argv, environ), 0);
  int status = 0;
  const bool ended = PollUntil([&] { return waitpid(child, &status, WNOHANG) == child; },
                               std::chrono::seconds(90));
  if (!ended) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  ASSERT_TRUE(ended);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

size_t OpenDescriptorCount() {
  size_t count = 0;
  if (DIR* pDir = opendir("/proc/self/fd")) {
    while (readdir(pDir)) ++count;
    closedir(pDir);
  }
  return count;
}

// Takes every descriptor left under the limit; closes them on Release.
class DescriptorHog {
 public:
  void Fill() {
    for (;;) {
      int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (fd < 0) break;
      m_fds.push_back(fd);
    }
  }
  void Release() {
    for (int fd : m_fds) close(fd);
    m_fds.clear();
  }
  ~DescriptorHog() { Release(); }

 private:
  std::vector<int> m_fds;
};

// Attempts in a window of 2.5 s while every attempt fails: paced by the one-second timer, never
// a loop.
uint32_t AttemptsInWindow() {
  const uint32_t before = CLocalServer::Instance()->AcceptAttemptsForTesting();
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  return CLocalServer::Instance()->AcceptAttemptsForTesting() - before;
}

class LocalServerChildProcess : public PhoneRoadTest {};

TEST_F(LocalServerChildProcess, DISABLED_DescriptorExhaustion) {
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  limit.rlim_cur = OpenDescriptorCount() + 64;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  DescriptorHog hog;

  // An accept outstanding when the descriptors run out: the phone's connection waits in the
  // backlog, every accept of it fails at once, and the tries are paced.
  ASSERT_TRUE(DrainIoThread());  // the first accept is outstanding now
  const int phoneFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);  // before the hog
  ASSERT_GE(phoneFd, 0);
  hog.Fill();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(Port());
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(phoneFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  const uint32_t attempts = AttemptsInWindow();
  EXPECT_GE(attempts, 1u);
  EXPECT_LE(attempts, 5u);
  EXPECT_EQ(CClientCommMgr::Instance()->ChannelCountForTesting(), 0u);
  hog.Release();
  EXPECT_TRUE(PollUntil([] { return CClientCommMgr::Instance()->ChannelCountForTesting() == 1; }));
  close(phoneFd);
  // Its channel's socket is closed before the channel leaves the map.
  ASSERT_TRUE(PollUntil([] { return CClientCommMgr::Instance()->ChannelCountForTesting() == 0; }));

  // Socket creation itself failing: the server cannot even listen, and tries again each second.
  CLocalServer::Instance()->Close();
  // The channel leaves the map before its destructor runs on the I/O thread. Under UBSan a first
  // type check needs a free descriptor (it probes memory through a pipe) and reports a false
  // "invalid vptr" without one, so the teardown ends before the descriptors are taken.
  ASSERT_TRUE(DrainIoThread());
  hog.Fill();
  CLocalServer::Instance()->Start();
  const uint32_t listenAttempts = AttemptsInWindow();
  EXPECT_GE(listenAttempts, 1u);
  EXPECT_LE(listenAttempts, 5u);
  EXPECT_EQ(CLocalServer::Instance()->GetPort(), 0);
  hog.Release();
  ASSERT_TRUE(PollUntil([] { return CLocalServer::Instance()->GetPort() != 0; }));
  TestPhone later(kPcId, kPhoneB);
  ASSERT_TRUE(later.Connect(CLocalServer::Instance()->GetPort()));
  EXPECT_TRUE(later.Ping(2, kKeyB));
  EXPECT_NE(LogText().find("CLocalServer::PostAccept recovered after"), std::string::npos);
}

}  // namespace
}  // namespace phone_road_test
