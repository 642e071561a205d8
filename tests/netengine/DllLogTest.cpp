#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "NetEngine/DllLog.h"
#include "NetEngineTestUtil.h"
#include "win32/module_name.h"
#include "win32/time.h"

using netengine_test::g_pSandbox;
using netengine_test::LogText;
using netengine_test::PosixFromWindows;
using netengine_test::ReadWholeFile;
using netengine_test::WindowsFromPosix;

namespace {

std::string Stamp(const win32::SYSTEMTIME& t) {
  char text[32];
  snprintf(text, sizeof(text), "-%02d.%02d-%02d.%02d.%02d", int{t.wMonth}, int{t.wDay},
           int{t.wHour}, int{t.wMinute}, int{t.wSecond});
  return text;
}

// Splits "[pid][tid][hh:mm:ss.mmm] rest" (one line, no line end); false when the prefix is
// malformed.
bool ParseLine(const std::string& line, unsigned* pPid, unsigned* pTid, std::string* pRest) {
  unsigned hour, minute, second, millisecond;
  int stampStart = -1;
  int stampEnd = -1;
  int restStart = -1;
  if (sscanf(line.c_str(), "[%u][%u][%n%u:%u:%u.%u%n] %n", pPid, pTid, &stampStart, &hour, &minute,
             &second, &millisecond, &stampEnd, &restStart) != 6 ||
      restStart < 0) {
    return false;
  }
  // Fixed widths: hh:mm:ss.mmm.
  if (stampEnd - stampStart != 12 || hour > 23 || minute > 59 || second > 60) return false;
  *pRest = line.substr(restStart);
  return true;
}

// The lines of a log text; false when it does not end with a line end.
bool SplitLines(const std::string& text, std::vector<std::string>* pLines) {
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    pLines->push_back(text.substr(start, end - start));
  }
  return start == text.size();
}

// Each case starts and ends with no log open, as if in a fresh process.
class DllLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetDllLogForTesting();
    m_base = g_pSandbox->Root() + "/netengine_tests";
  }
  void TearDown() override {
    ResetDllLogForTesting();
    SetDllLogModulePathForTesting(WindowsFromPosix(m_base));
  }

  // Writes the first line and returns the log's path (POSIX form) with the time stamps that
  // bracket the open.
  std::string OpenWithLine(std::string* pEarliest, std::string* pLatest) {
    win32::SYSTEMTIME before;
    win32::SYSTEMTIME after;
    win32::GetLocalTime(&before);
    DLL_LOG("first line");
    win32::GetLocalTime(&after);
    *pEarliest = Stamp(before);
    *pLatest = Stamp(after);
    return PosixFromWindows(DllLogPathForTesting());
  }

  std::string m_base;
};

// File names.
TEST_F(DllLogTest, FirstLineCreatesAFileNamedAfterTheLibraryAndTheOpeningTime) {
  std::string earliest;
  std::string latest;
  std::string path = OpenWithLine(&earliest, &latest);
  EXPECT_TRUE(path == m_base + earliest + ".log" || path == m_base + latest + ".log") << path;
  EXPECT_TRUE(std::filesystem::exists(path));
}

TEST_F(DllLogTest, SecondProcessOfTheSameSecondGetsItsProcessIdInTheName) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    ResetDllLogForTesting();
    std::string earliest;
    std::string latest;
    std::string parentPath = OpenWithLine(&earliest, &latest);
    if (earliest != latest) continue;

    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // The child drops the inherited log, as a fresh process would have none.
      close(pipeFds[0]);
      ResetDllLogForTesting();
      DLL_LOG("child line");
      std::string childPath = PosixFromWindows(DllLogPathForTesting());
      ssize_t ignored = write(pipeFds[1], childPath.data(), childPath.size());
      (void)ignored;
      _exit(0);
    }
    close(pipeFds[1]);
    std::string childPath;
    char buffer[512];
    ssize_t got;
    while ((got = read(pipeFds[0], buffer, sizeof(buffer))) > 0) childPath.append(buffer, got);
    close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));

    if (childPath == m_base + earliest + ".log") {
      FAIL() << "the second process took over the first one's log";
    }
    if (childPath.find(earliest) == std::string::npos) continue;  // a new second began

    char pidPart[32];
    snprintf(pidPart, sizeof(pidPart), "-%04u.log", static_cast<unsigned>(child));
    EXPECT_EQ(childPath, m_base + earliest + pidPart);
    // The first process's log was left whole.
    EXPECT_NE(ReadWholeFile(parentPath).find("first line\r\n"), std::string::npos);
    EXPECT_NE(ReadWholeFile(childPath).find("child line\r\n"), std::string::npos);
    return;
  }
  GTEST_SKIP() << "could not fork within one second";
}

TEST_F(DllLogTest, UnwritableLibraryFolderSendsTheLogToTheStateFolder) {
  SetDllLogModulePathForTesting(u"\\nonexistent-lumidock-folder\\lib\\Orbalyn.so");
  std::string earliest;
  std::string latest;
  std::string path = OpenWithLine(&earliest, &latest);
  std::string base = g_pSandbox->Root() + "/logs/Orbalyn.so";
  EXPECT_TRUE(path == base + earliest + ".log" || path == base + latest + ".log") << path;
  EXPECT_NE(ReadWholeFile(path).find("first line\r\n"), std::string::npos);
}

TEST_F(DllLogTest, RealLibraryPathIsTheModuleHoldingTheLogCode) {
  SetDllLogModulePathForTesting(u"");
  std::string earliest;
  std::string latest;
  std::string path = OpenWithLine(&earliest, &latest);
  std::string program = std::filesystem::canonical("/proc/self/exe").string();
  ResetDllLogForTesting();
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
  // Another run of this binary in the same second holds the plain name.
  char pid[32];
  snprintf(pid, sizeof(pid), "-%04u", static_cast<unsigned>(getpid()));
  EXPECT_TRUE(path == program + earliest + ".log" || path == program + latest + ".log" ||
              path == program + earliest + pid + ".log" || path == program + latest + pid + ".log")
      << path;
}

// Lines.
TEST_F(DllLogTest, LineCarriesProcessThreadTimeAndSourceName) {
  WriteDllLog("\\src\\Orbalyn\\NetEngine\\TcpDevice.cpp", "TcpDevice Read Error: %u", 10054u);
  WriteDllLog("plain/posix/Name.cpp", "whole %s", "path");
  std::vector<std::string> lines;
  ASSERT_TRUE(SplitLines(LogText(), &lines));
  ASSERT_EQ(lines.size(), 2u);
  unsigned pid = 0;
  unsigned tid = 0;
  std::string rest;
  ASSERT_TRUE(ParseLine(lines[0], &pid, &tid, &rest)) << lines[0];
  EXPECT_EQ(pid, win32::GetCurrentProcessId());
  EXPECT_EQ(tid, win32::GetCurrentThreadId());
  EXPECT_EQ(rest, "TcpDevice.cpp: TcpDevice Read Error: 10054");
  ASSERT_TRUE(ParseLine(lines[1], &pid, &tid, &rest)) << lines[1];
  EXPECT_EQ(rest, "plain/posix/Name.cpp: whole path");
}

TEST_F(DllLogTest, LongMessageIsCutSoTheLineIs4095BytesBeforeItsEnd) {
  std::string longText(10000, 'x');
  DLL_LOG("%s", longText.c_str());
  std::string text = LogText();
  ASSERT_EQ(text.size(), 4095u + 2u);
  EXPECT_EQ(text.substr(4095), "\r\n");
  EXPECT_EQ(text[4094], 'x');
}

TEST_F(DllLogTest, LinesOfManyThreadsNeverInterleave) {
  constexpr int kThreads = 4;
  constexpr int kLines = 100;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) DLL_LOG("thread %d line %d %s", t, i, "payload");
    });
  }
  for (auto& thread : threads) thread.join();
  std::vector<std::string> lines;
  ASSERT_TRUE(SplitLines(LogText(), &lines));
  int count = 0;
  for (const std::string& line : lines) {
    unsigned pid = 0;
    unsigned tid = 0;
    std::string rest;
    int thread = -1;
    int index = -1;
    int end = -1;
    EXPECT_TRUE(ParseLine(line, &pid, &tid, &rest) &&
                sscanf(rest.c_str(), "DllLogTest.cpp: thread %d line %d payload%n", &thread, &index,
                       &end) == 2 &&
                end == static_cast<int>(rest.size()))
        << line;
    ++count;
  }
  EXPECT_EQ(count, kThreads * kLines);
}

}  // namespace
