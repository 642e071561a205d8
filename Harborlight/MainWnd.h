#pragma once
// The program's one top-level window and the owner of everything the user sees: one running copy
// per user and display, the logic library bound and heard (the logic sink), the three pages, the
// main menu, the tray icon, and a close button that hides to the tray. Only the tray menu's
// "退出" ends the program.
//
// Lifetime: built by the application module before the message loop, which Create runs once;
//   destroyed after the loop (Teardown). A pointer to the object is its IPageHost, which pages
//   and dialogs hold without owning it.
// Threading: the UI thread (task thread 0) only: Create, the window procedure, the framework's
//   events, the timer and the logic sink. Nothing is locked.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Basalt/CKwStringW.h"
#include "CComSinkPtr.h"
#include "CKwTimerCallback.h"
#include "CLqEventListenerHelper.h"
#include "IPC/CZyIpcPipe.h"
#include "IPageHost.h"
#include "Lq/LqInterfaces.h"
#include "Orbalyn/Interface/IOrbalyn.h"
#include "UploadBeginRecords.h"
#include "win32/base.h"

class CChooseDirFrameAdapter;
class CImageShowPageAdapter;
class CQrCodePageAdapter;
class CTrayUI;

// What one run of the program remembers about phones and the exit survey.
struct MainRunState {
  static constexpr int32_t kNoPhone = 0;
  static constexpr int32_t kBindBegun = 1;
  static constexpr int32_t kPhoneBound = 2;

  int32_t bindProgress = kNoPhone;  // never goes back within a run
  int32_t surveyShown = 0;
};
// The run's state, alive for the whole process.
MainRunState& GetMainRunState();

// A photo handed to the main window with host command 6.
struct PhotoRecord {
  int64_t deviceId;
  std::u16string path;
};

class CMainWnd final : public IPageHost, public IOrbalynLogicSink {
 public:
  static constexpr int kWidth = 774;
  static constexpr int kHeight = 494;
  // The tray icon's call-back message and the tray menu's exit message.
  static constexpr win32::UINT kTrayMessage = 1025;
  static constexpr win32::UINT kTrayExitMessage = 1026;
  static constexpr win32::UINT kFirstShowTimerId = 1000;
  static constexpr win32::DWORD kFirstShowDelayMs = 1000;
  static constexpr int kMaxLoginRetries = 3;

  CMainWnd();
  CMainWnd(const CMainWnd&) = delete;
  CMainWnd& operator=(const CMainWnd&) = delete;
  ~CMainWnd();

  // Makes sure this is the only copy, then builds and shows the window (hidden with "/regrun").
  // Ends with PostQuitMessage(0) when the program must not run on: another copy runs, the
  // suite carries the feature, or the main layout could not be built (StartFailed then).
  void Create(const CKwStringW& name);
  // The main layout could not be built: the program ends with a failure status.
  bool StartFailed() const { return m_startFailed; }

  // Whether an argument after the program path holds "/regrun" (case-sensitive).
  static bool IsHiddenStart(const win32::WCHAR* pCommandLine);
  // The host suite's settings count a device and its plug-in copy of the library is installed.
  static bool IsBriskenPluginInstalled();
  // The suite's install folder from the registry; empty when it is not recorded.
  static std::u16string ReadBriskenInstallDir();
  // The backup folder made from a chosen folder: "Lumidock" below it, unless it is that already.
  // Empty for a path of one character or none.
  static std::u16string BackupFolderFor(const std::u16string& chosen);

  // IPageHost:
  win32::HRESULT Command(int code, void* pArgument) override;

  // IUnknown, as the logic sink: no reference is counted; the sink lives as long as the window.
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID riid, void** ppObject) override;
  win32::ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  win32::ULONG STDMETHODCALLTYPE Release() override { return 1; }
  // IOrbalynLogicSink: acts on the message by its type; always 0.
  win32::HRESULT STDMETHODCALLTYPE OnLogicMessage(IOrbalynMessage* pMessage) override;

  // The root's background: the blue picture behind the photo page, the plain one elsewhere.
  void SetBackground(bool blue);
  // With bound phones: the photo page as the main view and the main menu made ready.
  void ApplyBoundDevices();
  // A tray click: retry the login, show a hidden window (and report it), bring it to the front.
  void RestoreFromTray();
  // Message 1026: the tray menu's exit is under way; timers and popups go.
  void OnTrayExit();

  // Event handlers.
  win32::HRESULT ShowMainMenu(ILqEvent* pEvent);
  win32::HRESULT OnNextStepClick(ILqEvent* pEvent);
  win32::HRESULT OnClosing(ILqEvent* pEvent);
  win32::HRESULT OnMainMenuClick(ILqEvent* pEvent);
  win32::HRESULT OnRootDestroyed(ILqEvent* pEvent);
  // Timer call-back: 1000 reports the first showing; 0.
  win32::HRESULT OnTimer(win32::UINT timerId);

  win32::HWND Hwnd() const { return m_hwnd; }
  CTrayUI* Tray() const { return m_pTray.get(); }
  size_t UploadBeginRecordCountForTesting() const { return m_uploadBegins.Count(); }
  // Replaces the process's command line for the next Create (null: the real one again).
  static void SetCommandLineForTesting(const win32::WCHAR* pCommandLine);

 private:
  // The window procedure put in front of the framework's.
  static win32::LRESULT MainWndSubclassProc(win32::HWND hwnd, win32::UINT message,
                                            win32::WPARAM wParam, win32::LPARAM lParam);

  // Creation steps.
  // Takes the instance lock, or learns that a live copy holds it.
  bool IsOtherInstanceRunning();
  static void ActivateOtherInstance();
  // True when the suite notice ran; the program then ends.
  bool ShowBriskenNotice();
  bool BuildRoot();
  void InitLogic();
  void InitPages();
  void Subclass();
  void PublishWindowHandle();
  void PlaceWindow(int screenWidth, int screenHeight);
  void Teardown();

  // Host command helpers.
  void ShowQrPage(int entrySource);
  void ChooseBackupFolder();
  void SetMenuReady();
  bool IsInitPageVisible();
  void RetryLogin();
  void ReportFirstShow();
  // Bound phones in the device store; 0 without a store.
  static int CountBoundDevices();
  bool IsRootAlive();

  // The logic sink's handlers.
  void OnLoginState(int state);
  void OnLoginResult(int result);
  void OnDeviceState(int64_t id, int value);
  void OnBindState(int64_t id, int state);
  void OnPhoneBound(int64_t id);
  void OnUnbindNotice(int64_t id);
  void OnUploadBegin(IOrbalynMessage* pMessage);
  void OnUploadResult(int32_t fileId, int32_t error);
  void OnUploadBatch(int64_t id);
  void OnUploadFinish(int64_t id);
  void SetStatusText(const win32::WCHAR* pText);

  IPC::CZyIpcPipe m_ipcPipe;  // opened here and closed at the end; nothing goes through it
  CLqEventListenerHelper<CMainWnd> m_listener;  // "menubtn", "nextStep", the root's closing
  ILqElement* m_pRoot = nullptr;                // one reference; null once the window goes
  ILqElement* m_pMenuBtn = nullptr;             // one reference each, or null
  ILqElement* m_pInitPage = nullptr;
  ILqElement* m_pNextStep = nullptr;
  // Owned; each pointer is cleared before its page is deleted, so nothing reaches a page that
  // is going.
  std::unique_ptr<CChooseDirFrameAdapter> m_pChooseDirFrame;
  std::unique_ptr<CImageShowPageAdapter> m_pImageShowPage;
  std::unique_ptr<CQrCodePageAdapter> m_pQrCodePage;
  std::unique_ptr<CTrayUI> m_pTray;
  IOrbalynLogic* m_pLogic = nullptr;             // the library's static object: no reference
  ILqMenu* m_pMainMenu = nullptr;                // one reference, made at its first showing
  int32_t m_menuReady = 0;                       // 1 once a backup folder exists
  CLqEventListenerHelper<CMainWnd> m_listener2;  // the root's destruction, the main menu's clicks
  win32::HANDLE m_hMapping = nullptr;
  win32::HANDLE m_hMutex = nullptr;

  // Upload-begin records and the upload speed clock.
  CUploadBeginRecords m_uploadBegins;
  int32_t m_clockRunning = 0;
  win32::DWORD m_clockStartTick = 0;
  uint64_t m_uploadBytes = 0;
  int32_t m_uploadingCount = 0;
  std::vector<int64_t> m_uploadingPhones;  // in order of their first batch

  int32_t m_loginRetries = 0;
  int32_t m_offline = 1;
  win32::HWND m_hwnd = nullptr;
  CComSinkPtr<CKwTimerCallback<CMainWnd>> m_timerSink;

  bool m_startFailed = false;
  bool m_saidNoTray = false;  // the missing tray host is logged once
};
