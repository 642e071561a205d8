#pragma once
// Programs run as child processes, with their output kept. Also one case of this test binary
// in a child process, for what can only be set up as a process starts (an environment variable
// read once at load) or changes the whole process (resource limits): the child case is a
// DISABLED_ one in a fixture named "...ChildProcess", so a plain run skips it, and the binary's
// CTest registration filters it out.

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

struct ProgramResult {
  int status = -1;     // the wait status; -1 when it could not start or was killed at time-out
  std::string output;  // what it wrote to its standard output and error

  bool ExitedWith(int code) const {
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code;
  }
  // Exactly the one case ran, and passed.
  bool Passed() const {
    return ExitedWith(0) && output.find("[  PASSED  ] 1 test.") != std::string::npos;
  }
};

// Runs `program` with `arguments` and `variables` ("NAME=value") added to, or replacing in, the
// environment, and waits for it.
inline ProgramResult RunProgram(const std::string& program,
                                  const std::vector<std::string>& arguments,
                                  const std::vector<std::string>& variables,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(90)) {
  ProgramResult result;
  std::vector<std::string> words = {program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

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
  const int spawned =
      posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), envp.data());
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

// Starts this binary with only `testName` selected and `variables` ("NAME=value") added to, or
// replacing in, the environment, and waits for it.
inline ProgramResult RunChildCase(const std::string& testName,
                                    const std::vector<std::string>& variables,
                                    std::chrono::milliseconds timeout = std::chrono::seconds(90)) {
  std::string self(4096, '\0');
  const ssize_t length = readlink("/proc/self/exe", self.data(), self.size() - 1);
  if (length <= 0) return {};
  self.resize(static_cast<size_t>(length));
  return RunProgram(self, {"--gtest_filter=" + testName, "--gtest_also_run_disabled_tests"},
                    variables, timeout);
}

}  // namespace test_common
