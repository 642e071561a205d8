#include "win32/process.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "handles.h"
#include "win32/file.h"
#include "win32/strings.h"
#include "win32/sync.h"

using namespace win32;

namespace {

constexpr DWORD kBoundedMs = 5000;

struct Child {
  PROCESS_INFORMATION info = {};
  HANDLE outRead = nullptr;
  HANDLE inWrite = nullptr;
};

class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override { m_openHandles = detail::OpenHandleCountForTesting(); }
  void TearDown() override { EXPECT_EQ(m_openHandles, detail::OpenHandleCountForTesting()); }

  // Starts `commandLine` the way the ipconfig reader does: output and error into one pipe, input
  // from another, and the parent's copies of the child's ends closed right after the start.
  static bool Start(const std::u16string& commandLine, Child* pChild) {
    SECURITY_ATTRIBUTES inherit = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE outWrite = nullptr;
    HANDLE inRead = nullptr;
    if (!CreatePipe(&pChild->outRead, &outWrite, &inherit, 0)) return false;
    if (!CreatePipe(&inRead, &pChild->inWrite, &inherit, 0)) return false;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = outWrite;
    std::u16string line = commandLine;
    BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                  nullptr, nullptr, &startup, &pChild->info);
    DWORD error = GetLastError();
    CloseHandle(outWrite);
    CloseHandle(inRead);
    SetLastError(error);
    return started;
  }

  // Reads in 1024-byte pieces until the pipe reports its end.
  static std::string ReadAll(HANDLE pipe, DWORD* pEndError) {
    std::string text;
    char buffer[1024];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof(buffer), &got, nullptr)) text.append(buffer, got);
    *pEndError = GetLastError();
    return text;
  }

  static void Finish(Child* pChild) {
    CloseHandle(pChild->outRead);
    CloseHandle(pChild->inWrite);
    if (pChild->info.hProcess) CloseHandle(pChild->info.hProcess);
    if (pChild->info.hThread) CloseHandle(pChild->info.hThread);
  }

 private:
  size_t m_openHandles = 0;
};

// --- Starting programs ---

TEST_F(ProcessTest, MissingProgramFailsWithFileNotFound) {
  Child child;
  EXPECT_FALSE(Start(u"\"ipconfig-not-here\" /all", &child));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(child.info.hProcess, nullptr);
  Finish(&child);

  EXPECT_FALSE(Start(u"\\no\\such\\folder\\tool.exe", &child));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  Finish(&child);
}

// The parent's read ends with ERROR_BROKEN_PIPE once the child has exited, because the parent
// holds no write end of its own.
TEST_F(ProcessTest, PipeReadEndsWhenChildExits) {
  Child child;
  ASSERT_TRUE(Start(u"sh -c \"printf hello; printf ' err' >&2; exit 3\"", &child));
  DWORD endError = 0;
  EXPECT_EQ(ReadAll(child.outRead, &endError), "hello err");
  EXPECT_EQ(endError, ERROR_BROKEN_PIPE);
  ASSERT_EQ(WaitForSingleObject(child.info.hProcess, kBoundedMs), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(child.info.hThread, kBoundedMs), WAIT_OBJECT_0);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeProcess(child.info.hProcess, &code));
  EXPECT_EQ(code, 3u);
  EXPECT_EQ(child.info.dwProcessId, child.info.dwThreadId);
  Finish(&child);
}

TEST_F(ProcessTest, RunningChildReportsStillActiveAndReadsItsInput) {
  Child child;
  ASSERT_TRUE(Start(u"sh -c \"read line; printf %s \\\"$line\\\"\"", &child));
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeProcess(child.info.hProcess, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(child.info.hProcess, 0), WAIT_TIMEOUT);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(child.inWrite, "a b\n", 4, &written, nullptr));
  DWORD endError = 0;
  EXPECT_EQ(ReadAll(child.outRead, &endError), "a b");
  ASSERT_EQ(WaitForSingleObject(child.info.hProcess, kBoundedMs), WAIT_OBJECT_0);
  ASSERT_TRUE(GetExitCodeProcess(child.info.hProcess, &code));
  EXPECT_EQ(code, 0u);
  Finish(&child);
}

// Quotes group, backslashes escape only before a quote, "" inside quotes is a quote.
TEST_F(ProcessTest, CommandLineSplitsByWindowsRules) {
  Child child;
  ASSERT_TRUE(Start(u"printf %s| a\\b \"c d\" e\\\"f \"g\"\"h\" i\\\\\"j k\"  ", &child));
  DWORD endError = 0;
  EXPECT_EQ(ReadAll(child.outRead, &endError), "a\\b|c d|e\"f|g\"h|i\\j k|");
  ASSERT_EQ(WaitForSingleObject(child.info.hProcess, kBoundedMs), WAIT_OBJECT_0);
  Finish(&child);
}

// A stand-in ipconfig on PATH is found by its bare name and receives its argument.
TEST_F(ProcessTest, ProgramIsSearchedOnPath) {
  char pattern[] = "/tmp/lumidock-process-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::string folder = pattern;
  std::string script = folder + "/ipconfig";
  std::ofstream(script)
      << "#!/bin/sh\nprintf 'Physical Address. : 00-11-22-33-44-55 (%s)' \"$1\"\n";
  chmod(script.c_str(), 0755);
  std::string oldPath = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", (folder + ":" + oldPath).c_str(), 1);

  Child child;
  bool started = Start(u"\"ipconfig\" /all", &child);
  setenv("PATH", oldPath.c_str(), 1);
  ASSERT_TRUE(started);
  DWORD endError = 0;
  EXPECT_EQ(ReadAll(child.outRead, &endError), "Physical Address. : 00-11-22-33-44-55 (/all)");
  ASSERT_EQ(WaitForSingleObject(child.info.hProcess, kBoundedMs), WAIT_OBJECT_0);
  Finish(&child);
  std::filesystem::remove_all(folder);
}

// --- Lifetimes and pipe ends ---

// Closing the handles of a running child leaves no zombie: it is reaped when it ends.
TEST_F(ProcessTest, ClosedHandleOfRunningChildLeavesNoZombie) {
  Child child;
  ASSERT_TRUE(Start(u"sh -c \"read line\"", &child));
  pid_t pid = static_cast<pid_t>(child.info.dwProcessId);
  CloseHandle(child.info.hProcess);
  CloseHandle(child.info.hThread);
  child.info = {};
  CloseHandle(child.inWrite);  // the child's read sees the end and it exits
  child.inWrite = nullptr;
  DWORD endError = 0;
  ReadAll(child.outRead, &endError);
  std::string proc = "/proc/" + std::to_string(pid);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundedMs);
  while (access(proc.c_str(), F_OK) == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  EXPECT_NE(access(proc.c_str(), F_OK), 0) << "child left behind";
  Finish(&child);
  DWORD code;
  EXPECT_FALSE(GetExitCodeProcess(reinterpret_cast<HANDLE>(uintptr_t{4}), &code));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// A child that will not end by itself is ended with the code given; once ended, it cannot be
// ended again, and its pid is never signalled after that.
TEST_F(ProcessTest, TerminateEndsARunningChildWithTheGivenCode) {
  Child child;
  ASSERT_TRUE(Start(u"sh -c \"trap '' TERM; read line\"", &child));
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeProcess(child.info.hProcess, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_TRUE(TerminateProcess(child.info.hProcess, 7));
  ASSERT_EQ(WaitForSingleObject(child.info.hProcess, kBoundedMs), WAIT_OBJECT_0);
  ASSERT_TRUE(GetExitCodeProcess(child.info.hProcess, &code));
  EXPECT_EQ(code, 7u);
  EXPECT_FALSE(TerminateProcess(child.info.hProcess, 8));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(TerminateProcess(reinterpret_cast<HANDLE>(uintptr_t{4}), 1));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  Finish(&child);
}

TEST_F(ProcessTest, WriteWithoutReaderFailsInsteadOfRaisingSigpipe) {
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
  ASSERT_TRUE(CloseHandle(readEnd));
  DWORD written = 1;
  EXPECT_FALSE(WriteFile(writeEnd, "x", 1, &written, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NO_DATA);
  EXPECT_EQ(written, 0u);
  EXPECT_TRUE(CloseHandle(writeEnd));
}

}  // namespace
