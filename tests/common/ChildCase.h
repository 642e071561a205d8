#pragma once
// Runs one case of this test binary in a child process, for what can only be set up as a process
// starts (an environment variable read once at load) or changes the whole process (resource
// limits). The child case is a DISABLED_ one in a fixture named "...ChildProcess": a plain run
// skips it, and the binary's CTest registration filters it out.

#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "ChildWait.h"

extern char** environ;

namespace test_common {

struct ChildCaseResult {
  int status = -1;     // the wait status; -1 when it could not start or was killed at time-out
  std::string output;  // what it wrote to its standard output and error

  // Exactly the one case ran, and passed.
  bool Passed() const {
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
           output.find("[  PASSED  ] 1 test.") != std::string::npos;
  }
};

// Starts this binary with only `testName` selected and `variables` ("NAME=value") added to, or
// replacing in, the environment, and waits for it.
inline ChildCaseResult RunChildCase(const std::string& testName,
                                    const std::vector<std::string>& variables,
                                    std::chrono::milliseconds timeout = std::chrono::seconds(90)) {
  ChildCaseResult result;
  std::string self(4096, '\0');
  const ssize_t length = readlink("/proc/self/exe", self.data(), self.size() - 1);
  if (length <= 0) return result;
  self.resize(static_cast<size_t>(length));
  std::string filter = "--gtest_filter=" + testName;
  std::string disabled = "--gtest_also_run_disabled_tests";
  char* argv[] = {self.data(), filter.data(), disabled.data(), nullptr};

  std::vector<std::string> entries = variables;
  for (char** p = environ; *p; ++p) {
    const char* pEquals = strchr(*p, '=');
    const size_t nameLength = pEquals ? static_cast<size_t>(pEquals - *p) + 1 : strlen(*p);
    bool replaced = false;
    for (const std::string& variable : variables) {
      replaced = replaced || variable.compare(0, nameLength, *p, nameLength) == 0;
    }
    if (!replaced) entries.emplace_back(*p);
  }
  std::vector<char*> envp;
  for (std::string& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);

  // The output goes to an unlinked file, read back once the child has ended.
  char outputPath[] = "/tmp/lumidock-child-XXXXXX";
  const int outputFd = mkstemp(outputPath);
  if (outputFd < 0) return result;
  unlink(outputPath);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, outputFd, STDERR_FILENO);
  pid_t child = -1;
  const int spawned = posix_spawn(&child, self.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned == 0) result.status = WaitForChild(&child, timeout, std::chrono::milliseconds(10));
  char buffer[4096];
  ssize_t got;
  off_t offset = 0;
  while ((got = pread(outputFd, buffer, sizeof(buffer), offset)) > 0) {
    result.output.append(buffer, static_cast<size_t>(got));
    offset += got;
  }
  close(outputFd);
  return result;
}

}  // namespace test_common
