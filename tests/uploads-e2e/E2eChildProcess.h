#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace uploads_e2e {

// A program run as a child process, its standard output and error read line by line on a
// thread of ours. The child inherits no descriptor but the three standard ones, so a socket of
// the parent (a phone's connection) never stays open in it by accident.
// Lifetime: the destructor kills a child still running (SIGKILL) and reaps it.
// Threading: every method from any thread; m_lock guards the lines and the end flag.
class CChildProcess {
 public:
  CChildProcess() = default;
  CChildProcess(const CChildProcess&) = delete;
  CChildProcess& operator=(const CChildProcess&) = delete;
  ~CChildProcess();

  // Starts argv[0] with this process's environment plus `extraEnv` ("NAME=value" entries,
  // replacing names already set). False, with *pError, when it cannot be started.
  [[nodiscard]] bool Start(const std::vector<std::string>& argv,
                           const std::vector<std::string>& extraEnv, std::string* pError);
  // The first line, from `from` on, that starts with `prefix`; its index goes to *pIndex.
  [[nodiscard]] bool WaitForLine(const std::string& prefix, int timeoutMs, std::string* pLine,
                                 size_t from = 0, size_t* pIndex = nullptr);
  // True once `predicate` holds for the lines read so far (it runs under the lock).
  [[nodiscard]] bool WaitFor(const std::function<bool(const std::vector<std::string>&)>& predicate,
                             int timeoutMs);
  void Signal(int signalNumber);
  // Reaps the child; false when it has not ended within the time. *pStatus is waitpid's.
  [[nodiscard]] bool Wait(int timeoutMs, int* pStatus = nullptr);
  // SIGKILL, then reap.
  void KillAndReap();

  pid_t Pid() const { return m_pid; }
  bool Running() const { return m_pid > 0; }
  size_t LineCount();
  std::vector<std::string> Lines();
  // The last `count` lines as one text, for failure messages.
  std::string Tail(size_t count = 40);
  // Lines beyond this many are dropped from the front (0: keep all); benchmarks set it.
  void SetLineLimit(size_t limit);

 private:
  void ReadLines(int hOutput);

  pid_t m_pid = -1;
  int m_hPid = -1;  // pidfd of the child, readable once it ended
  std::thread m_reader;

  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<std::string> m_lines;  // guarded by m_lock
  size_t m_dropped = 0;              // guarded by m_lock: lines dropped by the limit
  size_t m_lineLimit = 0;            // guarded by m_lock
  bool m_outputEnded = false;        // guarded by m_lock
};

}  // namespace uploads_e2e
