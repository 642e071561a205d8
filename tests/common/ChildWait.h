#pragma once
// Bounded wait for a child process the test spawned.

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace test_common {

// Waits until child `*pPid` ends, polling every `interval`; when `timeout` is up it is killed
// (SIGKILL) and reaped. `*pPid` becomes -1 either way. Returns the wait status, or -1 on
// time-out.
inline int WaitForChild(pid_t* pPid, std::chrono::milliseconds timeout,
                        std::chrono::milliseconds interval) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (waitpid(*pPid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(*pPid, SIGKILL);
      waitpid(*pPid, &status, 0);
      *pPid = -1;
      return -1;
    }
    std::this_thread::sleep_for(interval);
  }
  *pPid = -1;
  return status;
}

// Whether the process has ended: gone, or a zombie its parent has not reaped yet (a process
// another one started).
inline bool ProcessEnded(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return true;
  const size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

}  // namespace test_common
