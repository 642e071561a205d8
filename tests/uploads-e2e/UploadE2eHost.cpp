// upload-e2e-host: the library's phone road and upload parts in a process of their own, for
// end-to-end upload tests and the upload benchmark when the demo host cannot be used.
//
//   LUMIDOCK_ROOT=<sandbox> upload-e2e-host --backup <folder>
//
// Starts the parts in the root object's order against the settings seeded under the sandbox
// root (no server session), registers the program's upload assistant saving under <folder> (a
// POSIX folder, or a drive path such as "D:\Lumidock" through LUMIDOCK_DRIVES), prints
// "local-port N" once phones can connect and one "logic ..." line per logic message, and stops
// cleanly on SIGTERM or SIGINT ("stopped"). UPLOADS_E2E_UPLOAD_PERIODS=<wake ms>:<idle ms>
// shortens the upload manager's periods, which the library itself never lets change.

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "E2eLogicSink.h"
#include "Logic/ClientCommMgr.h"
#include "Logic/FileUploadMgr.h"
#include "Logic/LocalServer.h"
#include "Logic/LogicCenter.h"
#include "Logic/PhotoDb.h"
#include "NetEngine/ABConnectionThread.h"
#include "NetEngine/DllLog.h"
#include "NetEngine/IOThread.h"
#include "NetEngine/NetHelpers.h"
#include "UploadAssistCore.h"
#include "win32/thread.h"
#include "win32/window.h"

namespace {

constexpr win32::DWORD kThreadStopMs = 10000;
constexpr int kPortWaitMs = 10000;

std::u16string WindowsFromPosix(const std::string& posixPath) {
  std::string path = posixPath;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return Utf8ToWide(path);
}

// "wake:idle" in milliseconds; false leaves the defaults.
bool ReadPeriods(win32::DWORD* pWakeMs, win32::DWORD* pIdleMs) {
  const char* pText = getenv("UPLOADS_E2E_UPLOAD_PERIODS");
  if (!pText) return false;
  char* pEnd = nullptr;
  const unsigned long wake = std::strtoul(pText, &pEnd, 10);
  if (*pEnd != ':') return false;
  const unsigned long idle = std::strtoul(pEnd + 1, &pEnd, 10);
  if (*pEnd != '\0' || wake == 0 || idle == 0) return false;
  *pWakeMs = static_cast<win32::DWORD>(wake);
  *pIdleMs = static_cast<win32::DWORD>(idle);
  return true;
}

int Usage() {
  std::fputs("usage: LUMIDOCK_ROOT=<sandbox> upload-e2e-host --backup <folder>\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || std::string(argv[1]) != "--backup") return Usage();
  const char* pRoot = getenv("LUMIDOCK_ROOT");
  if (!pRoot || !*pRoot) return Usage();
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  // Only the watcher below sees the stop signals: blocked before any thread starts.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  const int hSignals = signalfd(-1, &stopSignals, SFD_CLOEXEC);
  if (hSignals < 0) {
    std::perror("upload-e2e-host: signalfd");
    return 1;
  }

  std::error_code error;
  const std::string logs = std::string(pRoot) + "/logs";
  std::filesystem::create_directories(logs, error);
  SetDllLogModulePathForTesting(WindowsFromPosix(logs + "/upload-e2e-host"));
  const std::string folder = argv[2];
  const bool onDrive = folder.size() >= 3 && folder[1] == ':' && folder[2] == '\\';
  std::u16string workDir = Utf8ToWide(folder);
  if (!onDrive) {
    const std::string backup = std::filesystem::absolute(folder, error).lexically_normal().string();
    std::filesystem::create_directories(backup, error);
    workDir = WindowsFromPosix(backup);
  }

  win32::MSG msg;
  win32::PeekMessageW(&msg, nullptr, 0, 0, win32::PM_NOREMOVE);  // the loop's queue
  const win32::DWORD uiThreadId = win32::GetCurrentThreadId();

  if (CIOThread::Instance()->Start() != 0 || CABConnectionThread::Instance()->Start() != 0 ||
      !CPhotoDb::Instance()->Open()) {
    std::fputs("upload-e2e-host: the network engine or the store did not start\n", stderr);
    return 1;
  }
  CClientCommMgr::Instance()->Start();
  CFileUploadMgr* pUploader = CFileUploadMgr::Instance();
  win32::DWORD wakeMs = 0;
  win32::DWORD idleMs = 0;
  if (ReadPeriods(&wakeMs, &idleMs)) {
    pUploader->SetPeriodsForTesting(wakeMs, idleMs);
    std::printf("periods wake=%u idle=%u\n", wakeMs, idleMs);
  }
  CUploadAssistCore assist(workDir, [] { return CPhotoDb::Instance(); });
  pUploader->Advise(&assist);
  if (pUploader->Start() != 0) {
    std::fputs("upload-e2e-host: the upload thread did not start\n", stderr);
    return 1;
  }
  CE2eLogicSink* pSink = new CE2eLogicSink();
  CLogicCenter::Instance()->SetLogicSink(pSink);
  CLogicCenter::Instance()->Start();  // the hidden window, on this thread
  CLocalServer::Instance()->Start();
  CPhotoDb::Instance()->BindKey(true);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPortWaitMs);
  uint16_t port = 0;
  while ((port = CLocalServer::Instance()->GetPort()) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      std::fputs("upload-e2e-host: the local server does not listen\n", stderr);
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  std::printf("local-port %u\n", static_cast<unsigned>(port));

  std::thread watcher([hSignals, uiThreadId] {
    signalfd_siginfo info{};
    ssize_t n;
    do {
      n = read(hSignals, &info, sizeof(info));
    } while (n < 0 && errno == EINTR);
    win32::PostThreadMessageW(uiThreadId, win32::WM_QUIT, 0, 0);
  });
  while (win32::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    win32::TranslateMessage(&msg);
    win32::DispatchMessageW(&msg);
  }
  watcher.join();
  close(hSignals);

  // The root object's stop order.
  CLocalServer::Instance()->Close();
  CLogicCenter::Instance()->Stop();
  pUploader->Stop(win32::INFINITE);
  pUploader->Unadvise();
  CClientCommMgr::Instance()->Stop();
  CPhotoDb::Instance()->Save();
  CPhotoDb::Instance()->ClearDevices();
  CABConnectionThread::Instance()->Stop(kThreadStopMs);
  CIOThread::Instance()->Stop(kThreadStopMs);
  CLogicCenter::Instance()->SetLogicSink(nullptr);
  pSink->Release();
  std::puts("stopped");
  return 0;
}
