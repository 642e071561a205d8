#pragma once
// Starts a program with pipes to its standard input and output (no shell).

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace test_common {

// Returns the child's pid (-1 on failure); *pStdin is the write end of its input, *pStdout the
// read end of its output, both close-on-exec here.
inline pid_t SpawnWithPipes(std::vector<std::string> args, int* pStdin, int* pStdout) {
  *pStdin = *pStdout = -1;
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return -1;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  *pStdin = in[1];
  *pStdout = out[0];
  return pid;
}

}  // namespace test_common
