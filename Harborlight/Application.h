#pragma once
// The program's application module: the three phases of a run (before the message loop, the
// loop or the "/uninstall" road, after the loop) and the objects they start and stop.
// Lifetime: one process-wide object, built before the entry point and destroyed after it.
// Threading: the main thread, which is also task thread 0.

#include <string>

#include "Basalt/CKwStringW.h"
#include "Basalt/KwInterfaces.h"
#include "win32/sync.h"

class CApplication {
 public:
  // Exit codes besides 0.
  static constexpr int kFailedExitCode = -1;
  static constexpr int kNoDisplayExitCode = 1;
  static constexpr int kStartFailedExitCode = 2;  // the main window could not be built
  static constexpr int kUnusableRootExitCode = 1;  // LUMIDOCK_ROOT cannot hold the program's files
  static constexpr win32::DWORD kReportUnInitTimeoutMs = 3000;

  // Initialises the module lock and COM (apartment-threaded); a COM failure other than a thread
  // already in the other mode with "Mscoree.dll" loaded sets the failure flag.
  CApplication();
  CApplication(const CApplication&) = delete;
  CApplication& operator=(const CApplication&) = delete;
  ~CApplication();

  // PreMessageLoop; unless the failure flag is set, the uninstall road or the message loop;
  // always PostMessageLoop. -1 with the failure flag; 1 when there was no display or
  // LUMIDOCK_ROOT was unusable; 2 when the main window could not be built; else 0.
  int Run();

  // Routes the shared code's log lines to the program log, boots the platform, starts the task
  // threads and the statistics client (whose machine record task thread 3 builds). Returns 1.
  win32::BOOL PreMessageLoop();
  // Starts the window system, creates the main window and pumps messages until WM_QUIT.
  // kUnusableRootExitCode (with a line on stderr, and a message box when there is a display)
  // when LUMIDOCK_ROOT cannot hold the program's files;
  // kNoDisplayExitCode (with a line on stderr) when the window system cannot start;
  // kStartFailedExitCode when the main window could not be built.
  int RunMessageLoop();
  // Stops the task threads and the statistics client, and shuts the platform down.
  void PostMessageLoop();

  // Why the sandbox root (LUMIDOCK_ROOT's value; null or empty: none) cannot hold the
  // program's files: it, or the nearest existing folder above it, is no folder this user may
  // write into. Empty when it can.
  static std::string UnusableRootReason(const char* pRoot);
  // Whether any argument (the program path included) is "/uninstall", ignoring case.
  static bool HasUninstallArgument(const win32::WCHAR* pCommandLine);
  // Loads "Orbalyn.dll" beside the program and calls its UnregisterDrive, all silently.
  static void RunUninstall();
  // Puts the program's folder in front of PATH, in POSIX form.
  static void PutProgramFolderFirstInPath();
  // The program's message loop: dispatches until WM_QUIT, waiting while the queue is empty.
  // Tasks for the main thread run inside, from their loop window's procedure, one per wake
  // message, with the toolkit's ready events between them.
  static void PumpMessages();

  bool Failed() const { return m_failed; }

 private:
  // The window system and the UI framework's desktop view (and the test port when asked for)
  // start here, never earlier, so the uninstall road runs without a display.
  bool StartGui();

  bool m_failed = false;
  IKwCore* m_pCore = nullptr;    // one reference, from the first phase to the last
  const CKwStringW m_emptyName;  // handed to the main window's creation
  win32::CRITICAL_SECTION m_lock;
  win32::HRESULT m_comResult;
};
