#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "win32/base.h"

struct IOrbalyn;
struct IOrbalynLogic;
class CHostLogicSink;
class CUploadAssistCore;

// A headless stand-in for the GUI program's binding of the logic library: loads "Orbalyn.dll"
// from its own folder, takes the root from GetIOrbalyn, starts it on this (the UI) thread, asks
// for a login, registers an upload assistant that saves under the backup folder and a logic
// sink that prints every message, then runs the thread's message loop until it is told to stop
// (a signal, a stop file, the run time), and finally stops and unloads the library.
// Lifetime: one per process, on main's stack.
// Threading: Run runs on the thread that made the message queue; the watcher thread only posts
//   thread messages to it.
class COrbalynHost {
 public:
  struct Options {
    std::string backupFolder;  // POSIX form, or a drive path ("D:\Lumidock")
    std::string stopFile;      // POSIX form; empty: none
    int runSeconds = 0;        // 0: no limit
    bool drawQr = true;
  };

  // The text and caption of the GUI program's box when the logic cannot be had.
  static constexpr char16_t kInitFailedText[] = u"Orbalyn.dll 初始化失败, 请确认!";
  // How often the loop looks at the stop conditions and retries the bind information.
  static constexpr int kTickMs = 250;

  explicit COrbalynHost(const Options& options);
  COrbalynHost(const COrbalynHost&) = delete;
  COrbalynHost& operator=(const COrbalynHost&) = delete;
  ~COrbalynHost();

  // SIGINT and SIGTERM must be blocked in every thread before the library starts its own, so
  // only the watcher sees them; call before anything else.
  static bool BlockStopSignals();

  // The whole run; the process exit status.
  int Run();

 private:
  // The folder the library keeps the PC's settings in must take files: without it every start
  // would register the PC anew and forget its phones. False, said on the error output, when not.
  static bool CheckStateFolder();
  // A server variable the library cannot read is only noted in its log; say it here too.
  static void CheckServerVariables();
  bool Load();
  bool Bind();
  void Loop();
  void Unload();
  void Watch();

  const Options m_options;
  win32::HMODULE m_hModule = nullptr;
  IOrbalyn* m_pRoot = nullptr;  // static inside the library: not counted
  IOrbalynLogic* m_pLogic = nullptr;
  CHostLogicSink* m_pSink = nullptr;  // one reference of ours
  std::unique_ptr<CUploadAssistCore> m_pAssist;
  win32::DWORD m_threadId = 0;
  int m_signalFd = -1;
  std::atomic<bool> m_stopWatching{false};
  std::thread m_watcher;
};
