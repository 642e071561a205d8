#pragma once
// Shared pieces of the machine-identity tests: a private sandbox root per test, whole-file
// helpers, and a runner for the helper program that stands in for a second process of one image.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../common/ChildWait.h"
#include "../common/SandboxTest.h"
#include "../common/TestFiles.h"

extern char** environ;

namespace mitest {

inline std::string ReadFileBytes(const std::string& path) {
  return test_files::ReadWholeFile(path);
}

inline void WriteFileBytes(const std::string& path, const std::string& content) {
  test_files::WriteWholeFile(path, content);
}

// Windows form of a POSIX path, as the system code holds paths.
inline std::u16string WindowsPath(const std::string& posix) {
  std::u16string path(posix.begin(), posix.end());
  for (char16_t& c : path) {
    if (c == u'/') c = u'\\';
  }
  return path;
}

// Every test runs under its own LUMIDOCK_ROOT, removed afterwards.
class SandboxTest : public test_common::SandboxTest {
 protected:
  SandboxTest() : test_common::SandboxTest("mi-test") {}

  std::string CachePath() const { return Root() + "/appdata/Corvane/Hearthsync/GlobalMgr.db"; }
  std::string LogFolder() const { return Root() + "/common-appdata/Corvane/Harborkeep/Log"; }
};

// One run of the helper program with LUMIDOCK_ROOT set to `root`. Its standard input stays open
// until Finish, so "hold" keeps running meanwhile.
class HelperProcess {
 public:
  HelperProcess(const std::vector<std::string>& args, const std::string& root) {
    int out[2];
    int in[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> argStrings = {GUID_HELPER_PATH};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
      if (strncmp(*e, "LUMIDOCK_ROOT=", 14) != 0) envStrings.push_back(*e);
    }
    envStrings.push_back("LUMIDOCK_ROOT=" + root);
    std::vector<char*> envp;
    for (std::string& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (posix_spawn(&m_pid, GUID_HELPER_PATH, &actions, nullptr, argv.data(), envp.data()) != 0) {
      m_pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(in[0]);
    m_out = out[0];
    m_in = in[1];
  }
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;
  ~HelperProcess() {
    if (m_pid > 0) {
      kill(m_pid, SIGKILL);
      Finish();
    }
    if (m_out >= 0) close(m_out);
    if (m_in >= 0) close(m_in);
  }

  // The next line of output, waiting at most `timeoutMs`; empty on time-out or end of output.
  std::string ReadLine(int timeoutMs = 30000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      size_t newline = m_buffer.find('\n');
      if (newline != std::string::npos) {
        std::string line = m_buffer.substr(0, newline);
        m_buffer.erase(0, newline + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                      deadline - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0 || m_out < 0) return std::string();
      pollfd p = {m_out, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) return std::string();
      char chunk[256];
      ssize_t n = read(m_out, chunk, sizeof(chunk));
      if (n <= 0) return std::string();
      m_buffer.append(chunk, static_cast<size_t>(n));
    }
  }

  // Closes the helper's input and waits (bounded) for it to end. Returns its wait status, or -1.
  int Finish(int timeoutMs = 30000) {
    if (m_in >= 0) {
      close(m_in);
      m_in = -1;
    }
    if (m_pid <= 0) return -1;
    return test_common::WaitForChild(&m_pid, std::chrono::milliseconds(timeoutMs),
                                     std::chrono::milliseconds(2));
  }

  bool Started() const { return m_pid > 0; }

 private:
  pid_t m_pid = -1;
  int m_out = -1;
  int m_in = -1;
  std::string m_buffer;
};

// Runs the helper to completion and returns its first output line ("" on failure).
inline std::string RunHelper(const std::vector<std::string>& args, const std::string& root) {
  HelperProcess helper(args, root);
  std::string line = helper.ReadLine();
  int status = helper.Finish();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::string();
  return line;
}

}  // namespace mitest
