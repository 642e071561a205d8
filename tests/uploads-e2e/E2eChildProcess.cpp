#include "E2eChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>

extern char** environ;

namespace uploads_e2e {

namespace {

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extraEnv) {
  std::map<std::string, std::string> entries;
  std::vector<std::string> order;
  auto put = [&](const std::string& entry) {
    const std::string name = entry.substr(0, entry.find('='));
    if (entries.find(name) == entries.end()) order.push_back(name);
    entries[name] = entry;
  };
  for (char** p = environ; *p; ++p) put(*p);
  for (const std::string& entry : extraEnv) put(entry);
  std::vector<std::string> merged;
  for (const std::string& name : order) merged.push_back(entries[name]);
  return merged;
}

}  // namespace

CChildProcess::~CChildProcess() {
  KillAndReap();
  if (m_reader.joinable()) m_reader.join();
}

bool CChildProcess::Start(const std::vector<std::string>& argv,
                          const std::vector<std::string>& extraEnv, std::string* pError) {
  if (m_pid > 0 || argv.empty()) {
    *pError = m_pid > 0 ? "already running" : "no program";
    return false;
  }
  if (m_reader.joinable()) m_reader.join();
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_lines.clear();
    m_dropped = 0;
    m_outputEnded = false;
  }
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    *pError = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  const std::vector<std::string> environment = MergedEnvironment(extraEnv);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (spawned != 0) {
    close(pipeFds[0]);
    *pError = "spawn " + argv[0] + ": " + std::strerror(spawned);
    return false;
  }
  m_pid = pid;
  m_hPid = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  m_reader = std::thread(&CChildProcess::ReadLines, this, pipeFds[0]);
  return true;
}

void CChildProcess::ReadLines(int hOutput) {
  std::string pending;
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(hOutput, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buffer, static_cast<size_t>(n));
    size_t start = 0;
    std::vector<std::string> complete;
    for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
      complete.push_back(pending.substr(start, end - start));
    }
    pending.erase(0, start);
    if (complete.empty()) continue;
    std::lock_guard<std::mutex> lock(m_lock);
    for (std::string& line : complete) m_lines.push_back(std::move(line));
    if (m_lineLimit > 0 && m_lines.size() > 2 * m_lineLimit) {
      const size_t drop = m_lines.size() - m_lineLimit;
      m_lines.erase(m_lines.begin(), m_lines.begin() + static_cast<std::ptrdiff_t>(drop));
      m_dropped += drop;
    }
    m_changed.notify_all();
  }
  close(hOutput);
  std::lock_guard<std::mutex> lock(m_lock);
  if (!pending.empty()) m_lines.push_back(pending);
  m_outputEnded = true;
  m_changed.notify_all();
}

bool CChildProcess::WaitForLine(const std::string& prefix, int timeoutMs, std::string* pLine,
                                size_t from, size_t* pIndex) {
  std::unique_lock<std::mutex> lock(m_lock);
  size_t next = from;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (next < m_dropped) next = m_dropped;
    for (; next < m_dropped + m_lines.size(); ++next) {
      const std::string& line = m_lines[next - m_dropped];
      if (line.compare(0, prefix.size(), prefix) == 0) {
        if (pLine) *pLine = line;
        if (pIndex) *pIndex = next;
        return true;
      }
    }
    if (m_outputEnded) return false;
    if (m_changed.wait_until(lock, deadline) == std::cv_status::timeout) return false;
  }
}

bool CChildProcess::WaitFor(const std::function<bool(const std::vector<std::string>&)>& predicate,
                            int timeoutMs) {
  std::unique_lock<std::mutex> lock(m_lock);
  return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    return predicate(m_lines) || m_outputEnded;
  }) && predicate(m_lines);
}

void CChildProcess::Signal(int signalNumber) {
  if (m_pid > 0) kill(m_pid, signalNumber);
}

bool CChildProcess::Wait(int timeoutMs, int* pStatus) {
  if (m_pid <= 0) return true;
  if (m_hPid >= 0) {
    pollfd entry = {m_hPid, POLLIN, 0};
    if (poll(&entry, 1, timeoutMs) <= 0) return false;
  }
  int status = 0;
  while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (pStatus) *pStatus = status;
  if (m_hPid >= 0) close(m_hPid);
  m_hPid = -1;
  m_pid = -1;
  // The output ends with the child (no grandchild holds the pipe).
  if (m_reader.joinable()) m_reader.join();
  return true;
}

void CChildProcess::KillAndReap() {
  if (m_pid <= 0) return;
  kill(m_pid, SIGKILL);
  int status = 0;
  if (!Wait(10000, &status)) {
    // Not seen ending: reap blocking rather than leave a zombie behind.
    waitpid(m_pid, &status, 0);
    if (m_hPid >= 0) close(m_hPid);
    m_hPid = -1;
    m_pid = -1;
  }
}

size_t CChildProcess::LineCount() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_dropped + m_lines.size();
}

std::vector<std::string> CChildProcess::Lines() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_lines;
}

std::string CChildProcess::Tail(size_t count) {
  std::lock_guard<std::mutex> lock(m_lock);
  std::string text;
  const size_t first = m_lines.size() > count ? m_lines.size() - count : 0;
  for (size_t i = first; i < m_lines.size(); ++i) text += m_lines[i] + "\n";
  return text;
}

void CChildProcess::SetLineLimit(size_t limit) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_lineLimit = limit;
}

}  // namespace uploads_e2e
