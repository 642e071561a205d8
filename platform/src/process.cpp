#include "win32/process.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "cmdline.h"
#include "fdobject.h"
#include "handles.h"
#include "paths.h"
#include "process_spawn.h"
#include "win32/strings.h"
#include "win32/ui_backend.h"

extern char** environ;

namespace win32 {
namespace detail {
namespace {

// A child process. Signalled once the child has ended and been reaped.
// Threading: the exit code is written once by the reaper thread before it signals, and read by
// anyone after IsSignalled says so.
class ProcessObject final : public SignalOnceObject {
 public:
  explicit ProcessObject(pid_t pid) : SignalOnceObject(ObjectKind::kProcess), m_pid(pid) {}
  pid_t Pid() const { return m_pid; }
  DWORD ExitCode() const { return m_exitCode.load(std::memory_order_acquire); }
  void SetExitCode(DWORD code) { m_exitCode.store(code, std::memory_order_release); }
  // TerminateProcess's code, which replaces the status SIGKILL leaves.
  void SetTerminateCode(DWORD code) {
    m_terminateCode.store(code, std::memory_order_release);
    m_terminated.store(true, std::memory_order_release);
  }
  bool TerminateCode(DWORD* pCode) const {
    if (!m_terminated.load(std::memory_order_acquire)) return false;
    *pCode = m_terminateCode.load(std::memory_order_acquire);
    return true;
  }
  // The reaper calls it once the child has ended, before reaping it: from then on the pid may be
  // given to another process, so no signal may be sent to it.
  void MarkEnded() {
    std::lock_guard<std::mutex> guard(m_signalLock);
    m_ended = true;
  }
  // SIGKILL while the pid is still the child's; false once it has ended.
  bool Kill() {
    std::lock_guard<std::mutex> guard(m_signalLock);
    return !m_ended && kill(m_pid, SIGKILL) == 0;
  }

 private:
  const pid_t m_pid;
  std::atomic<DWORD> m_exitCode{STILL_ACTIVE};
  std::atomic<bool> m_terminated{false};
  std::atomic<DWORD> m_terminateCode{0};
  std::mutex m_signalLock;
  bool m_ended = false;  // guarded by m_signalLock
};

// What the reaper thread holds: both objects stay alive until it has signalled them, whether or
// not their handles are still open.
struct ReaperJob {
  std::shared_ptr<ProcessObject> process;
  std::shared_ptr<SignalOnceObject> thread;
  bool tracked;  // in LiveChildren() until reaped
};

// Children started by CreateProcessW that have not been reaped yet. Leaky.
struct LiveChildren {
  std::mutex lock;
  std::set<pid_t> pids;
};

LiveChildren& Children() {
  static LiveChildren* children = new LiveChildren;
  return *children;
}

void* ReapChild(void* pArg) {
  std::unique_ptr<ReaperJob> job(static_cast<ReaperJob*>(pArg));
  int status = 0;
  pid_t r;
  siginfo_t info{};
  while (waitid(P_PID, job->process->Pid(), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  job->process->MarkEnded();
  do {
    r = waitpid(job->process->Pid(), &status, 0);
  } while (r < 0 && errno == EINTR);
  DWORD code = 0;  // also when someone else reaped it (SIGCHLD ignored): no status to report
  if (r > 0) {
    if (WIFEXITED(status)) {
      code = static_cast<DWORD>(WEXITSTATUS(status));
    } else if (WIFSIGNALED(status)) {
      code = 128 + static_cast<DWORD>(WTERMSIG(status));
      if (WTERMSIG(status) == SIGKILL) job->process->TerminateCode(&code);
    }
  }
  if (job->tracked) {
    std::lock_guard<std::mutex> guard(Children().lock);
    Children().pids.erase(job->process->Pid());
  }
  job->process->SetExitCode(code);
  job->process->SetSignalled();
  job->thread->SetSignalled();
  return nullptr;
}

// Hands the child to a detached reaper thread, so it never lingers as a zombie. On failure the
// child is killed and reaped here; returns false.
bool StartReaper(pid_t pid, const std::shared_ptr<ProcessObject>& process,
                 const std::shared_ptr<SignalOnceObject>& thread, bool tracked) {
  if (tracked) {
    std::lock_guard<std::mutex> guard(Children().lock);
    Children().pids.insert(pid);
  }
  auto job = std::make_unique<ReaperJob>(ReaperJob{process, thread, tracked});
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t reaper;
  int threadError = pthread_create(&reaper, &attributes, ReapChild, job.get());
  pthread_attr_destroy(&attributes);
  if (threadError != 0) {
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    std::lock_guard<std::mutex> guard(Children().lock);
    Children().pids.erase(pid);
    return false;
  }
  job.release();  // the reaper thread deletes it
  return true;
}

// "X.exe" names the built program "X"; a name with a separator is a path.
bool ProgramPath(const std::u16string& name, std::string* pPath, bool* pSearchPath) {
  if (name.empty()) return false;
  bool hasSeparator = name.find_first_of(u"\\/") != std::u16string::npos;
  std::string path;
  if (hasSeparator) {
    if (!ToPosixPath(std::u16string_view(name), &path)) return false;
  } else {
    path = Utf16ToUtf8(name);
  }
  size_t base = path.rfind('/');
  base = base == std::string::npos ? 0 : base + 1;
  if (path.size() - base > 4) {
    std::string extension = path.substr(path.size() - 4);
    for (char& c : extension) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (extension == ".exe") path.resize(path.size() - 4);
  }
  *pPath = std::move(path);
  *pSearchPath = !hasSeparator;
  return true;
}

// Owns the spawn attributes for one CreateProcessW call.
class SpawnActions {
 public:
  SpawnActions() { m_ok = posix_spawn_file_actions_init(&m_actions) == 0; }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  ~SpawnActions() {
    if (m_ok) posix_spawn_file_actions_destroy(&m_actions);
  }
  bool Ok() const { return m_ok; }
  posix_spawn_file_actions_t* Get() { return &m_actions; }

  // Makes `handle` the child's descriptor `target`; a null handle gives /dev/null.
  DWORD AddStandardHandle(HANDLE handle, int target) {
    if (!handle || handle == INVALID_HANDLE_VALUE) {
      int flags = target == STDIN_FILENO ? O_RDONLY : O_WRONLY;
      return posix_spawn_file_actions_addopen(&m_actions, target, "/dev/null", flags, 0) == 0
                 ? ERROR_SUCCESS
                 : ERROR_NOT_ENOUGH_MEMORY;
    }
    std::shared_ptr<FdObject> object = Lookup<FdObject>(handle);
    if (!object) return ERROR_INVALID_HANDLE;
    // dup2 onto the target clears close-on-exec there; the original stays closed in the child.
    if (posix_spawn_file_actions_adddup2(&m_actions, object->Fd(), target) != 0) {
      return ERROR_NOT_ENOUGH_MEMORY;
    }
    m_keepAlive.push_back(std::move(object));
    return ERROR_SUCCESS;
  }

 private:
  posix_spawn_file_actions_t m_actions;
  bool m_ok = false;
  std::vector<std::shared_ptr<FdObject>> m_keepAlive;  // descriptors in use until the spawn
};

}  // namespace

std::vector<std::string> ProgramArguments(const std::string& program,
                                          std::u16string_view parameters) {
  std::vector<std::string> argv{program};
  // A placeholder program word, so every parameter is read by the rules for arguments.
  std::vector<std::u16string> words = detail::SplitCommandLine(u"x " + std::u16string(parameters));
  for (size_t i = 1; i < words.size(); ++i) argv.push_back(Utf16ToUtf8(words[i]));
  return argv;
}

DWORD StartDetached(const std::vector<std::string>& arguments) {
  if (arguments.empty()) return ERROR_INVALID_PARAMETER;
  std::vector<std::string> copies = arguments;
  std::vector<char*> argv;
  for (std::string& argument : copies) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  int spawnError = posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
  if (spawnError != 0) return Win32ErrorFromErrno(spawnError);
  auto process = std::make_shared<ProcessObject>(pid);
  auto thread = std::make_shared<SignalOnceObject>(ObjectKind::kThread);
  return StartReaper(pid, process, thread, false) ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
}

}  // namespace detail

bool IsLiveChildProcess(DWORD pid) {
  std::lock_guard<std::mutex> guard(detail::Children().lock);
  return detail::Children().pids.count(static_cast<pid_t>(pid)) != 0;
}

BOOL CreatePipe(PHANDLE readPipe, PHANDLE writePipe, LPSECURITY_ATTRIBUTES, DWORD) {
  if (!readPipe || !writePipe) return detail::Fail(ERROR_INVALID_PARAMETER);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return detail::Fail(detail::Win32ErrorFromErrno(errno));
  auto readEnd = std::make_shared<detail::FdObject>(detail::ObjectKind::kPipe, fds[0]);
  auto writeEnd = std::make_shared<detail::FdObject>(detail::ObjectKind::kPipe, fds[1]);
  HANDLE hRead = detail::InsertHandle(std::move(readEnd));
  if (!hRead) return FALSE;
  HANDLE hWrite = detail::InsertHandle(std::move(writeEnd));
  if (!hWrite) {
    CloseHandle(hRead);
    return detail::Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  *readPipe = hRead;
  *writePipe = hWrite;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine, LPSECURITY_ATTRIBUTES,
                    LPSECURITY_ATTRIBUTES, BOOL, DWORD creationFlags, LPVOID environment,
                    LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                    LPPROCESS_INFORMATION processInformation) {
  if (!processInformation || !startupInfo || (!applicationName && !commandLine)) {
    return detail::Fail(ERROR_INVALID_PARAMETER);
  }
  if (environment || (creationFlags & CREATE_SUSPENDED)) return detail::Fail(ERROR_NOT_SUPPORTED);

  std::vector<std::u16string> words =
      detail::SplitCommandLine(commandLine ? std::u16string_view(commandLine) : u"");
  std::u16string program = applicationName ? std::u16string(applicationName) : words[0];
  std::string path;
  bool searchPath = false;
  if (!detail::ProgramPath(program, &path, &searchPath)) {
    return detail::Fail(ERROR_FILE_NOT_FOUND);
  }
  std::vector<std::string> arguments;
  arguments.push_back(commandLine ? Utf16ToUtf8(words[0]) : path);
  for (size_t i = 1; i < words.size(); ++i) arguments.push_back(Utf16ToUtf8(words[i]));
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  detail::SpawnActions actions;
  if (!actions.Ok()) return detail::Fail(ERROR_NOT_ENOUGH_MEMORY);
  if (startupInfo->dwFlags & STARTF_USESTDHANDLES) {
    const HANDLE handles[3] = {startupInfo->hStdInput, startupInfo->hStdOutput,
                               startupInfo->hStdError};
    for (int target = 0; target < 3; ++target) {
      DWORD error = actions.AddStandardHandle(handles[target], target);
      if (error != ERROR_SUCCESS) return detail::Fail(error);
    }
  }
  std::string directory;
  if (currentDirectory) {
    if (!detail::ToPosixPath(std::u16string_view(currentDirectory), &directory)) {
      return detail::Fail(ERROR_PATH_NOT_FOUND);
    }
    if (posix_spawn_file_actions_addchdir_np(actions.Get(), directory.c_str()) != 0) {
      return detail::Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
  }

  pid_t pid = 0;
  int spawnError =
      searchPath ? posix_spawnp(&pid, path.c_str(), actions.Get(), nullptr, argv.data(), environ)
                 : posix_spawn(&pid, path.c_str(), actions.Get(), nullptr, argv.data(), environ);
  if (spawnError != 0) return detail::Fail(detail::Win32ErrorFromErrno(spawnError));

  auto process = std::make_shared<detail::ProcessObject>(pid);
  auto thread = std::make_shared<detail::SignalOnceObject>(detail::ObjectKind::kThread);
  // The reaper owns the wait from here on.
  if (!detail::StartReaper(pid, process, thread, true)) {
    return detail::Fail(ERROR_NOT_ENOUGH_MEMORY);
  }

  HANDLE hProcess = detail::InsertHandle(process);
  HANDLE hThread = hProcess ? detail::InsertHandle(thread) : nullptr;
  if (!hThread) {
    if (hProcess) CloseHandle(hProcess);
    return detail::Fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  processInformation->hProcess = hProcess;
  processInformation->hThread = hThread;
  processInformation->dwProcessId = static_cast<DWORD>(pid);
  processInformation->dwThreadId = static_cast<DWORD>(pid);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode) {
  std::shared_ptr<detail::ProcessObject> object = detail::Lookup<detail::ProcessObject>(process);
  if (!object) return detail::Fail(ERROR_INVALID_HANDLE);
  if (!exitCode) return detail::Fail(ERROR_INVALID_PARAMETER);
  *exitCode = object->IsSignalled() ? object->ExitCode() : STILL_ACTIVE;
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL TerminateProcess(HANDLE process, UINT exitCode) {
  std::shared_ptr<detail::ProcessObject> object = detail::Lookup<detail::ProcessObject>(process);
  if (!object) return detail::Fail(ERROR_INVALID_HANDLE);
  if (object->IsSignalled()) return detail::Fail(ERROR_ACCESS_DENIED);
  object->SetTerminateCode(exitCode);
  if (!object->Kill()) return detail::Fail(ERROR_ACCESS_DENIED);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // namespace win32
