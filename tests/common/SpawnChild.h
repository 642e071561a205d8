#pragma once
// Starting a child process with this process's environment, adjusted.

#include <fcntl.h>
#include <spawn.h>
#include <sys/types.h>

#include <string>
#include <vector>

extern char** environ;

namespace test_common {

// Starts args[0] with `args`. Its environment is this process's without the entries starting
// with one of `dropPrefixes` ("DISPLAY="), plus `extra` ("NAME=value"). Standard error goes to
// `stderrPath` when it is not empty. The child's id, or -1 when it could not start.
inline pid_t SpawnChild(std::vector<std::string> args, const std::vector<std::string>& extra,
                        const std::vector<std::string>& dropPrefixes = {},
                        const std::string& stderrPath = {}) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStrings = extra;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    bool drop = false;
    for (const std::string& prefix : dropPrefixes) drop = drop || entry.rfind(prefix, 0) == 0;
    if (!drop) envStrings.push_back(entry);
  }
  std::vector<char*> envp;
  for (std::string& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!stderrPath.empty()) {
    posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
  }
  pid_t pid = -1;
  int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? pid : -1;
}

}  // namespace test_common
