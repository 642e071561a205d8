#include "Application.h"

#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <string>

#include "AsyncFrame/AsyncFrame.h"
#include "CGtkView.h"
#include "CLqTestPort.h"
#include "ImageShowPageAdapter.h"
#include "Basalt/CKwBSTR.h"
#include "Basalt/KwDiag.h"
#include "Basalt/Util.h"
#include "Common/LogHook.h"
#include "LibraryPath.h"
#include "MainWnd.h"
#include "Orbalyn/LibraryEntry.h"
#include "ReportClientMgr.h"
#include "UtilCore.h"
#include "win32/com.h"
#include "win32/commctrl.h"
#include "win32/drive.h"
#include "win32/environment.h"
#include "win32/gui.h"
#include "win32/module.h"
#include "win32/ole.h"
#include "win32/strings.h"
#include "win32/thread.h"
#include "win32/toplevel.h"
#include "win32/window.h"

using namespace win32;

namespace {

constexpr DWORD kCommonControlClasses = 0xFF;

// The lines of the code shared with the library go to the program's own log.
void WriteCommonLine(const char* pSourceName, const char* pMessage) {
  KwLogW(Utf8ToUtf16(pSourceName).c_str(), u"%hs", pMessage);
}

// The layer's lines about a bad LUMIDOCK_DRIVES go to the program's log too.
void WriteDriveWarning(const char* pLine) { KwLogW(u"Harborlight", u"%hs", pLine); }

}  // namespace

CApplication::CApplication() {
  if (!InitializeCriticalSectionAndSpinCount(&m_lock, 0)) m_failed = true;
  m_comResult = CoInitialize(nullptr);
  if (FAILED(m_comResult) &&
      !(m_comResult == RPC_E_CHANGED_MODE && GetModuleHandleW(u"Mscoree.dll"))) {
    m_failed = true;
  }
}

CApplication::~CApplication() {
  if (m_pCore) m_pCore->Release();
  if (SUCCEEDED(m_comResult)) CoUninitialize();
  DeleteCriticalSection(&m_lock);
}

int CApplication::Run() {
  PreMessageLoop();
  int exitCode = 0;
  if (!m_failed) {
    if (HasUninstallArgument(GetCommandLineW())) {
      RunUninstall();
    } else {
      exitCode = RunMessageLoop();
    }
  }
  PostMessageLoop();
  return m_failed ? kFailedExitCode : exitCode;
}

BOOL CApplication::PreMessageLoop() {
  SetCommonLogWriter(&WriteCommonLine);
  SetDriveWarningWriter(&WriteDriveWarning);
  // Read now, so a bad LUMIDOCK_DRIVES is reported at start, not when a page first asks.
  GetLogicalDrives();
  Util::Misc::SetMainAndLogicThreadId(GetCurrentThreadId(), 0);
  OleInitialize(nullptr);
  PutProgramFolderFirstInPath();
  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), kCommonControlClasses};
  InitCommonControlsEx(&controls);
  if (FAILED(Util::Com::CreateObjectFromDllFile(u"Basalt.dll", CLSID_KwCore, IID_IKwCore,
                                                reinterpret_cast<void**>(&m_pCore), nullptr))) {
    KwAssert("false", __FILE_NAME__, 160);
  }
  Util::CoreCenter::InitPlatform(
      CKwBSTR(Util::FS::GetParentDir(Util::Sys::GetExeDir()) + u"Harborlight.tpc"));
  Util::Boot::InitPlatformFileSystem();
  Util::Boot::InitPlatformI18NConfig();
  Util::Boot::InitPlatformCoreConfig();
  Util::Lq::SetCustomObjectFactory(&Util::Core::CreateObject);
  Util::Boot::InitPlatformLqConfig();
  AsyncFrame::StartThreads();
  GetReportClientMgr()->EnableUinLookup(TRUE);
  GetReportClientMgr()->Init(u"", TRUE);
  // The machine record is built once, on task thread 3; the windows' reports are refused until
  // it exists, and never build it themselves.
  AsyncFrame::PostTaskToThread(AsyncFrame::kThreadLogicLongTask, FROM_HERE,
                               AsyncFrame::NewTask([] { GetReportClientMgr()->EnsureRecord(); }));
  return TRUE;
}

std::string CApplication::UnusableRootReason(const char* pRoot) {
  if (!pRoot || !*pRoot) return {};
  // The program makes the root when missing, so the nearest existing folder above it counts.
  std::string path = pRoot;
  struct stat st;
  while (stat(path.c_str(), &st) != 0) {
    if (errno != ENOENT && errno != ENOTDIR) return path + ": " + std::strerror(errno);
    size_t slash = path.find_last_of('/');
    path = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  }
  if (!S_ISDIR(st.st_mode)) return path + " is not a folder";
  // The superuser passes this on a read-only folder, and can indeed write there.
  if (access(path.c_str(), W_OK | X_OK) != 0) return path + ": " + std::strerror(errno);
  return {};
}

int CApplication::RunMessageLoop() {
  // Every file of the program lives under the root, the single-instance lock first: without a
  // usable root it would be taken for a running copy and the program would end without a word.
  const char* pRoot = std::getenv("LUMIDOCK_ROOT");
  if (std::string reason = UnusableRootReason(pRoot); !reason.empty()) {
    std::fprintf(stderr,
                 "Harborlight: LUMIDOCK_ROOT=%s cannot hold the program's files (%s); the program "
                 "ends\n",
                 pRoot, reason.c_str());
    if (StartGui()) {
      std::u16string text = u"LUMIDOCK_ROOT 指定的位置无法存放程序的文件：\n" + Utf8ToUtf16(pRoot) +
                            u"\n(" + Utf8ToUtf16(reason) + u")";
      MessageBoxW(nullptr, text.c_str(), u"Harborlight", MB_OK | MB_ICONERROR);
      lq::CLqTestPort::Stop();
    }
    return kUnusableRootExitCode;
  }
  if (!StartGui()) {
    std::fputs("Harborlight: cannot open a display; the window system did not start\n", stderr);
    return kNoDisplayExitCode;
  }
  int exitCode = 0;
  {
    CMainWnd mainWnd;
    mainWnd.Create(m_emptyName);
    PumpMessages();
    exitCode = mainWnd.StartFailed() ? kStartFailedExitCode : 0;
  }
  lq::CLqTestPort::Stop();
  return exitCode;
}

void CApplication::PostMessageLoop() {
  AsyncFrame::StopAllThreads();
  GetReportClientMgr()->UnInit(kReportUnInitTimeoutMs);
  Util::Misc::OnExitCoreCenter();
  Util::Misc::OnExitWinMain();
  Util::Misc::OnUninitCom();
  if (m_pCore) {
    m_pCore->Shutdown();
    m_pCore->Release();
    m_pCore = nullptr;
  }
  OleUninitialize();
}

bool CApplication::HasUninstallArgument(const WCHAR* pCommandLine) {
  int count = 0;
  LPWSTR* pArgv = CommandLineToArgvW(pCommandLine ? pCommandLine : u"", &count);
  if (!pArgv) return false;
  bool found = false;
  for (int i = 0; i < count && !found; ++i) found = lstrcmpiW(pArgv[i], u"/uninstall") == 0;
  LocalFree(pArgv);
  return found;
}

void CApplication::RunUninstall() {
  HMODULE hModule = LoadLibraryW(LibraryPathInFolder(nullptr, u"Orbalyn.dll").c_str());
  if (!hModule) return;
  auto unregisterDrive =
      reinterpret_cast<UnregisterDriveFn>(GetProcAddress(hModule, kUnregisterDriveName));
  if (unregisterDrive) unregisterDrive();
  FreeLibrary(hModule);
}

void CApplication::PutProgramFolderFirstInPath() {
  // Read whole, however long: a cut value would rob every child of its search path.
  std::u16string old;
  for (DWORD size = GetEnvironmentVariableW(u"PATH", nullptr, 0); size > 0;) {
    old.assign(size, u'\0');
    DWORD length = GetEnvironmentVariableW(u"PATH", old.data(), size);
    if (length < size) {
      old.resize(length);
      break;
    }
    size = length;  // it grew meanwhile
  }
  // Linux separates entries with ':' and knows no quotes: the folder goes in bare, POSIX form,
  // and an empty old value adds no empty entry (which would mean the working folder).
  std::u16string folder = LibraryPathInFolder(nullptr, u"");
  for (char16_t& c : folder) {
    if (c == u'\\') c = u'/';
  }
  if (folder.size() > 1 && folder.back() == u'/') folder.pop_back();
  if (folder.empty()) return;
  SetEnvironmentVariableW(u"PATH", (old.empty() ? folder : folder + u":" + old).c_str());
}

void CApplication::PumpMessages() {
  MSG msg;
  for (;;) {
    // The toolkit's events that are ready (input, window-system requests) go before each
    // message, so a stream of main-thread tasks, one per wake message, cannot starve them. One
    // queued message may be dispatched here too.
    g_main_context_iteration(g_main_context_get_thread_default(), FALSE);
    if (PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
      if (!GetMessageW(&msg, nullptr, 0, 0)) break;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    } else {
      WaitMessage();
    }
  }
}

bool CApplication::StartGui() {
  // The program's name is the one the desktop shows for its windows.
  g_set_prgname("Harborlight");
  // Also makes this thread's message queue a source of the toolkit's main loop, so the program's
  // loop, modal runs and the toolkit's own loops all dispatch messages and tasks.
  if (!InitializeGui(nullptr, nullptr)) return false;
  // The windows are drawn by the UI framework's desktop view; tests drive them through the test
  // port when HARBORLIGHT_TESTPORT names its socket.
  lq::CGtkView::Install();
  lq::CLqTestPort::SetDecodeCounter(&CImageShowPageAdapter::AllDecodesInFlight);
  lq::CLqTestPort::StartFromEnvironment(nullptr);
  return true;
}
