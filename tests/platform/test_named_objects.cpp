// Named mutexes and mappings: one atomic creation per name, liveness tied to the holder
// process, per-display namespaces, and names that never escape their folder.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "../common/SandboxTest.h"
#include "../common/SpawnWithPipes.h"
#include "../common/TestFiles.h"
#include "win32/mapping.h"
#include "win32/strings.h"
#include "win32/sync.h"

using namespace win32;
namespace fs = std::filesystem;

namespace {

// A helper process (named_object_peer) with pipes to its standard input and output.
class Peer {
 public:
  explicit Peer(const std::vector<std::string>& args) {
    std::vector<std::string> all{NAMED_OBJECT_PEER};
    all.insert(all.end(), args.begin(), args.end());
    m_pid = test_common::SpawnWithPipes(all, &m_stdin, &m_stdout);
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;
  ~Peer() {
    Release();
    if (m_pid > 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
    if (m_stdout >= 0) close(m_stdout);
  }

  // The next line the peer prints ("" at its end).
  std::string ReadLine() {
    std::string line;
    char c;
    while (read(m_stdout, &c, 1) == 1 && c != '\n') line.push_back(c);
    return line;
  }
  // Closes its standard input: a holder lets go and ends.
  void Release() {
    if (m_stdin >= 0) close(m_stdin);
    m_stdin = -1;
  }
  void Kill() {
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
  }
  int Wait() {
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_pid = -1;
    return status;
  }

 private:
  pid_t m_pid = -1;
  int m_stdin = -1;
  int m_stdout = -1;
};

class NamedObjectTest : public test_common::SandboxTest {
 protected:
  NamedObjectTest() : SandboxTest("named-objects") {}
  void SetUp() override {
    SandboxTest::SetUp();
    setenv("DISPLAY", ":42", 1);
  }
  std::string Folder() { return Root() + "/named-objects/%3A42"; }
};

// Within one process: the first creator holds the name until its handle closes.
TEST_F(NamedObjectTest, FirstCreatorHoldsTheNameUntilItsHandleCloses) {
  const char16_t* name = u"7F8B5C05DF504166B7A6E46AC3BC257A";
  EXPECT_EQ(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, name), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  HANDLE first = CreateMutexW(nullptr, FALSE, name);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  HANDLE second = CreateMutexW(nullptr, FALSE, (std::u16string(u"Global\\") + name).c_str());
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  HANDLE opened = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, (std::u16string(u"Local\\") + name).c_str());
  ASSERT_NE(opened, nullptr);
  // Named mutexes only mark a running instance.
  EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_FAILED);
  EXPECT_FALSE(ReleaseMutex(first));
  CloseHandle(second);
  CloseHandle(opened);
  EXPECT_NE(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, name), nullptr);

  CloseHandle(first);
  EXPECT_EQ(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, name), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  HANDLE again = CreateMutexW(nullptr, FALSE, name);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  CloseHandle(again);

  // Another display is another session.
  HANDLE mine = CreateMutexW(nullptr, FALSE, name);
  setenv("DISPLAY", ":43", 1);
  EXPECT_EQ(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, name), nullptr);
  HANDLE theirs = CreateMutexW(nullptr, FALSE, name);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  CloseHandle(theirs);
  setenv("DISPLAY", ":42", 1);
  CloseHandle(mine);
}

// Hostile names become escaped file names inside the folder; a missing or broken folder reads
// as "not running" (the caller would otherwise never start).
TEST_F(NamedObjectTest, NamesStayInsideTheirFolderAndLookupsFailAsNotFound) {
  EXPECT_EQ(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, u"x"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);  // no folder yet

  std::vector<HANDLE> handles;
  for (const char16_t* name : {u"..\\..\\escape", u"a/b", u".hidden", u"名字", u"Global\\.."}) {
    HANDLE h = CreateMutexW(nullptr, FALSE, name);
    ASSERT_NE(h, nullptr) << Utf16ToUtf8(name);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    handles.push_back(h);
  }
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(Folder())) {
    files.push_back(entry.path().filename().string());
  }
  std::sort(files.begin(), files.end());
  std::vector<std::string> expected{"%2E.%5C..%5Cescape.mutex", "a%2Fb.mutex", "%2Ehidden.mutex",
                                    "%E5%90%8D%E5%AD%97.mutex", "%2E..mutex"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(files, expected);
  EXPECT_EQ((fs::status(Folder()).permissions() & fs::perms::all), fs::perms::owner_all);
  EXPECT_FALSE(fs::exists(Root() + "/escape.mutex"));
  for (HANDLE h : handles) CloseHandle(h);

  EXPECT_EQ(CreateMutexW(nullptr, FALSE, std::u16string(300, u'n').c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, std::u16string(300, u'n').c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  // A file where the folder should be.
  fs::remove_all(Root() + "/named-objects");
  test_files::WriteWholeFile(Root() + "/named-objects", "not a folder");
  EXPECT_EQ(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, u"x"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, u"x"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(CreateMutexW(nullptr, FALSE, u"x"), nullptr);
  EXPECT_NE(GetLastError(), ERROR_SUCCESS);
}

// 50 processes start at once, three rounds: exactly one wins each round; a SIGKILLed winner
// frees the name for the next.
TEST_F(NamedObjectTest, RacingProcessesHaveOneWinnerAndAKilledHolderFreesTheName) {
  for (int round = 0; round < 3; ++round) {
    std::string go = Root() + "/go-" + std::to_string(round);
    std::vector<std::unique_ptr<Peer>> peers;
    for (int i = 0; i < 50; ++i) {
      peers.push_back(std::make_unique<Peer>(std::vector<std::string>{"race", "single", go}));
    }
    test_files::WriteWholeFile(go, "");
    int winners = 0;
    Peer* pWinner = nullptr;
    for (auto& peer : peers) {
      std::string result = peer->ReadLine();
      ASSERT_TRUE(result == "won" || result == "lost") << result;
      if (result == "won") {
        ++winners;
        pWinner = peer.get();
      }
    }
    EXPECT_EQ(winners, 1) << "round " << round;
    ASSERT_NE(pWinner, nullptr);
    EXPECT_NE(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, u"single"), nullptr);
    pWinner->Kill();
    EXPECT_EQ(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, u"single"), nullptr);
  }
}

// The lock never passes to a child: a holder's child that outlives it does not keep the name.
TEST_F(NamedObjectTest, AChildOfTheHolderDoesNotKeepTheName) {
  Peer holder({"hold", "parent-lock"});
  std::string line = holder.ReadLine();
  ASSERT_EQ(line.rfind("held ", 0), 0u) << line;
  pid_t child = static_cast<pid_t>(std::stoi(line.substr(5)));
  EXPECT_NE(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, u"parent-lock"), nullptr);
  holder.Release();
  EXPECT_EQ(holder.Wait(), 0);
  EXPECT_EQ(kill(child, 0), 0);  // the child still runs
  EXPECT_EQ(OpenMutexW(MUTEX_ALL_ACCESS, FALSE, u"parent-lock"), nullptr);
  HANDLE mine = CreateMutexW(nullptr, FALSE, u"parent-lock");
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  CloseHandle(mine);
  kill(child, SIGKILL);
}

// The 4-byte mapping publishes a value to other processes while its creator lives.
TEST_F(NamedObjectTest, MappingIsSharedWhileItsCreatorLives) {
  const char16_t* name = u"Global\\sharmem_7F8B5C0";
  Peer creator({"map", "Global\\sharmem_7F8B5C0", "0x80001234"});
  ASSERT_EQ(creator.ReadLine(), "ready");
  HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, name);
  ASSERT_NE(mapping, nullptr);
  auto* pView = static_cast<const uint32_t*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 4));
  ASSERT_NE(pView, nullptr);
  EXPECT_EQ(*pView, 0x80001234u);
  EXPECT_EQ(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 4), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(UnmapViewOfFile(pView));
  EXPECT_FALSE(UnmapViewOfFile(pView));
  CloseHandle(mapping);

  // A second creator opens the live one, content intact.
  HANDLE same = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4, name);
  ASSERT_NE(same, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  pView = static_cast<const uint32_t*>(MapViewOfFile(same, FILE_MAP_READ, 0, 0, 0));
  EXPECT_EQ(*pView, 0x80001234u);
  UnmapViewOfFile(pView);
  CloseHandle(same);

  creator.Kill();
  EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, name), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  // The stale file is reset for the next creator.
  HANDLE fresh = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4, name);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  pView = static_cast<const uint32_t*>(MapViewOfFile(fresh, FILE_MAP_READ, 0, 0, 4));
  EXPECT_EQ(*pView, 0u);
  UnmapViewOfFile(pView);
  CloseHandle(fresh);

  // Unnamed mappings, and what is refused.
  HANDLE anonymous =
      CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 8, nullptr);
  ASSERT_NE(anonymous, nullptr);
  auto* pBytes = static_cast<uint8_t*>(MapViewOfFile(anonymous, FILE_MAP_ALL_ACCESS, 0, 0, 8));
  ASSERT_NE(pBytes, nullptr);
  pBytes[7] = 9;
  UnmapViewOfFile(pBytes);
  CloseHandle(anonymous);
  EXPECT_EQ(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0, name), nullptr);
  EXPECT_EQ(CreateFileMappingW(nullptr, nullptr, PAGE_READWRITE, 0, 4, name), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

}  // namespace
