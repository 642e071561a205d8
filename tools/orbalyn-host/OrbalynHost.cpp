#include "OrbalynHost.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include "BackupFolder.h"
#include "Common/ServerAddress.h"
#include "HostLogicSink.h"
#include "Orbalyn/Interface/IOrbalyn.h"
#include "Orbalyn/LibraryEntry.h"
#include "UploadAssistCore.h"
#include "win32/module.h"
#include "win32/shell.h"
#include "win32/strings.h"
#include "win32/thread.h"
#include "win32/window.h"

using namespace win32;

namespace {

// Posted by the watcher to the loop: look at the bind information again.
constexpr UINT kWmTick = WM_APP + 1;
constexpr DWORD kModulePathChars = 32768;

std::string PosixFromWindows(const WCHAR* pPath) {
  std::string path = Utf16ToUtf8(pPath);
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

std::u16string WindowsFromPosix(const std::string& posix) {
  std::u16string path = Utf8ToUtf16(posix);
  for (char16_t& c : path) {
    if (c == u'/') c = u'\\';
  }
  return path;
}

// "X:\..." names a folder through the layer's drive table.
bool IsDrivePath(const std::string& path) {
  return path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

// The backup folder in the form the library and the assistant take.
std::u16string BackupWorkDir(const std::string& folder) {
  if (IsDrivePath(folder)) return Utf8ToUtf16(folder);
  return WindowsFromPosix(std::filesystem::absolute(folder).lexically_normal());
}

// "Orbalyn.dll" in the folder of this program, as the GUI program names it.
std::u16string LibraryPath() {
  std::vector<WCHAR> buffer(kModulePathChars);
  DWORD length = GetModuleFileNameW(nullptr, buffer.data(), kModulePathChars);
  if (length == 0 || length >= kModulePathChars) return {};
  std::u16string path(buffer.data(), length);
  size_t slash = path.rfind(u'\\');
  if (slash == std::u16string::npos) return {};
  return path.substr(0, slash + 1) + u"Orbalyn.dll";
}

void Say(const std::string& line) { std::printf("host %s\n", line.c_str()); }

sigset_t StopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return signals;
}

}  // namespace

COrbalynHost::COrbalynHost(const Options& options) : m_options(options) {}

COrbalynHost::~COrbalynHost() {
  if (m_watcher.joinable()) {
    m_stopWatching.store(true);
    m_watcher.join();
  }
  if (m_signalFd >= 0) close(m_signalFd);
}

bool COrbalynHost::BlockStopSignals() {
  sigset_t signals = StopSignals();
  return pthread_sigmask(SIG_BLOCK, &signals, nullptr) == 0;
}

int COrbalynHost::Run() {
  // Signals that arrive before the watcher runs stay pending until it reads them.
  sigset_t signals = StopSignals();
  m_signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
  if (m_signalFd < 0) {
    std::perror("orbalyn-host: signalfd");
    return 1;
  }
  std::error_code error;
  bool usable;
  if (IsDrivePath(m_options.backupFolder)) {
    usable = backup_folder::CreateDirectoryTree(Utf8ToUtf16(m_options.backupFolder));
  } else {
    std::filesystem::path backup = std::filesystem::absolute(m_options.backupFolder, error);
    usable = !error && (std::filesystem::create_directories(backup, error), !error);
  }
  if (!usable) {
    std::fprintf(stderr, "orbalyn-host: cannot use %s\n", m_options.backupFolder.c_str());
    return 1;
  }

  CheckServerVariables();
  if (!CheckStateFolder()) return 1;

  // The UI thread's queue exists before anyone posts to it.
  MSG msg;
  PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
  m_threadId = GetCurrentThreadId();

  if (!Load()) return 1;
  m_pRoot->Start();
  Say("started");
  if (!Bind()) {
    Unload();
    return 1;
  }
  m_watcher = std::thread(&COrbalynHost::Watch, this);
  Loop();
  m_stopWatching.store(true);
  m_watcher.join();
  Unload();
  return 0;
}

bool COrbalynHost::CheckStateFolder() {
  WCHAR folder[MAX_PATH] = {};
  const HRESULT hr =
      SHGetFolderPathW(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, folder);
  std::string posix = PosixFromWindows(folder);
  int error = 0;
  if (FAILED(hr)) {
    error = EIO;
  } else {
    // Made and removed again: the folder takes files, whoever owns it.
    const std::string probe = posix + "/.orbalyn-host-probe";
    const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
      error = errno;
    } else {
      close(fd);
      unlink(probe.c_str());
    }
  }
  if (error == 0) return true;
  const char* pRoot = getenv("LUMIDOCK_ROOT");
  std::fprintf(stderr, "orbalyn-host: cannot keep the library's state in %s: %s\n",
               posix.empty() ? "its settings folder" : posix.c_str(),
               FAILED(hr) ? "the folder cannot be made" : std::strerror(error));
  if (pRoot)
    std::fprintf(stderr, "orbalyn-host: LUMIDOCK_ROOT=%s must be a writable folder\n", pRoot);
  return false;
}

void COrbalynHost::CheckServerVariables() {
  struct Variable {
    const char* pName;
    const char* pKept;
  };
  static const Variable kVariables[] = {
      {"ORBALYN_ENTRY_SERVER", "the built-in entry server is kept"},
      {"ORBALYN_REPORT_SERVER", "reports stay in the local spool"},
  };
  for (const Variable& variable : kVariables) {
    const char* pValue = getenv(variable.pName);
    std::string host;
    uint16_t port = 0;
    if (pValue && !ParseServerAddress(pValue, &host, &port)) {
      std::fprintf(stderr, "orbalyn-host: %s=\"%s\" is not host[:port]; %s\n", variable.pName,
                   pValue, variable.pKept);
    }
  }
}

bool COrbalynHost::Load() {
  std::u16string path = LibraryPath();
  m_hModule = path.empty() ? nullptr : LoadLibraryW(path.c_str());
  if (!m_hModule) {
    std::fprintf(stderr, "orbalyn-host: cannot load %s: error %u\n", Utf16ToUtf8(path).c_str(),
                 GetLastError());
    return false;
  }
  auto pGetRoot = reinterpret_cast<GetIOrbalynFn>(GetProcAddress(m_hModule, kGetIOrbalynName));
  m_pRoot = pGetRoot ? pGetRoot() : nullptr;
  if (!m_pRoot) {
    std::fprintf(stderr, "orbalyn-host: %s gives no root object\n", kGetIOrbalynName);
    FreeLibrary(m_hModule);
    m_hModule = nullptr;
    return false;
  }
  Say("loaded " + Utf16ToUtf8(path));
  return true;
}

// The GUI program's order: the logic, a login, the upload assistant, the logic sink, the
// login state.
bool COrbalynHost::Bind() {
  if (m_pRoot->GetLogic(&m_pLogic) != S_OK || !m_pLogic) {
    std::fprintf(stderr, "orbalyn-host: %s\n", Utf16ToUtf8(kInitFailedText).c_str());
    return false;
  }
  IOrbalynDB* pDb = nullptr;
  m_pRoot->GetDB(&pDb);
  const std::u16string workDir = BackupWorkDir(m_options.backupFolder);
  // The first-run page's choice of the backup folder.
  if (pDb) pDb->SetWorkDir(workDir.c_str());

  m_pLogic->Login();

  IOrbalynUploader* pUploader = nullptr;
  if (m_pRoot->GetUploader(&pUploader) == S_OK && pUploader) {
    m_pAssist = std::make_unique<CUploadAssistCore>(workDir, [pDb] { return pDb; });
    if (pUploader->Advise(m_pAssist.get()) != S_OK) Say("upload assistant refused");
  }

  m_pSink = new CHostLogicSink(m_options.drawQr);
  m_pSink->SetLogic(m_pLogic);
  if (m_pLogic->Advise(m_pSink) != S_OK) Say("logic sink refused");
  int state = 0;
  m_pLogic->GetLoginState(&state);
  m_pSink->SetLoginState(state);
  Say("bound, login state " + std::to_string(state) + " (" +
      CHostLogicSink::ValueName(UIMsg_login_state, state) + "), backup folder " +
      Utf16ToUtf8(workDir));
  return true;
}

void COrbalynHost::Loop() {
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (!msg.hwnd && msg.message == kWmTick) {
      // Login-state messages ask on their own; this covers an online PC whose local server
      // was not listening yet when they came.
      if (!m_pSink->BindInfoPrinted()) m_pSink->TryBindInfo();
      continue;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  Say("stopping");
}

// The sink and the assistant stay registered, as the GUI program leaves them: Stop ends the
// callbacks, and the library drops its references at exit.
void COrbalynHost::Unload() {
  if (m_pRoot) m_pRoot->Stop();
  if (m_hModule) FreeLibrary(m_hModule);
  m_hModule = nullptr;
  m_pRoot = nullptr;
  m_pLogic = nullptr;
  if (m_pSink) m_pSink->Release();
  m_pSink = nullptr;
  m_pAssist.reset();
  Say("stopped");
}

void COrbalynHost::Watch() {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(m_options.runSeconds);
  std::string reason;
  while (!m_stopWatching.load()) {
    pollfd entry = {m_signalFd, POLLIN, 0};
    if (poll(&entry, 1, kTickMs) > 0) {
      signalfd_siginfo info{};
      if (read(m_signalFd, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
        reason = info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM";
      }
    }
    std::error_code error;
    if (reason.empty() && !m_options.stopFile.empty() &&
        std::filesystem::exists(m_options.stopFile, error)) {
      reason = "stop file";
    }
    if (reason.empty() && m_options.runSeconds > 0 &&
        std::chrono::steady_clock::now() >= deadline) {
      reason = "run time over";
    }
    if (!reason.empty()) {
      std::printf("host stop requested: %s\n", reason.c_str());
      PostThreadMessageW(m_threadId, WM_QUIT, 0, 0);
      return;
    }
    PostThreadMessageW(m_threadId, kWmTick, 0, 0);
  }
}
