#include "MainWnd.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "Basalt/KwDiag.h"
#include "Basalt/KwTimer.h"
#include "CChangeBackupDir.h"
#include "CUnInsBriskenWindow.h"
#include "CachedOrbalynDB.h"
#include "ChooseDirFrameAdapter.h"
#include "ExitReason1.h"
#include "FolderBrowseDialog.h"
#include "ImageShowPageAdapter.h"
#include "Lq/Lq.h"
#include "MainHwnd.h"
#include "OrbalynBinding.h"
#include "QrCodePageAdapter.h"
#include "TrayUI.h"
#include "UiReports.h"
#include "UploadAssist.h"
#include "WebAddresses.h"
#include "WindowHelpers.h"
#include "win32/environment.h"
#include "win32/mapping.h"
#include "win32/profile.h"
#include "win32/registry.h"
#include "win32/shell.h"
#include "win32/shellui.h"
#include "win32/sync.h"
#include "win32/toplevel.h"

using namespace win32;

namespace {

constexpr WCHAR kMutexName[] = u"7F8B5C05DF504166B7A6E46AC3BC257A";
constexpr WCHAR kMappingName[] = u"Global\\sharmem_7F8B5C0";
constexpr DWORD kMappingSize = 4;
constexpr WCHAR kHiddenStartArgument[] = u"/regrun";
constexpr WCHAR kProductFolder[] = u"Lumidock";
constexpr WCHAR kLogicFailedText[] = u"Orbalyn.dll 初始化失败, 请确认!";
constexpr ZyIpcPipeConfig kIpcConfig = {23, 1, 80};

constexpr WCHAR kMainLayout[] = u"platformskein:Harborlight.xml|MainWnd";
constexpr WCHAR kNoticeLayout[] = u"platformskein:Harborlight.xml|NotifyUnInsBriskenWindow";
constexpr WCHAR kChangeDirLayout[] = u"platformskein:Harborlight.xml|ChangeDirWindow";
constexpr WCHAR kSurveyLayout[] = u"platformskein:Harborlight.xml|ExitReason1";
constexpr WCHAR kBlueBackground[] = u"platformres:image\\background_bigblue.png";
constexpr WCHAR kPlainBackground[] = u"platformres:image\\background.png";

constexpr WCHAR kBriskenSettingsFile[] = u"\\Corvane\\Orbalyn\\Orbalyn.dat";
constexpr WCHAR kBriskenKey[] = u"SOFTWARE\\Corvane\\WexBrisken";
constexpr WCHAR kBriskenPluginLibrary[] = u"\\plugins\\Velaris\\Bin\\Orbalyn.dll";
constexpr WCHAR kBriskenUpdater[] = u"\\ZyUpdate\\WexBriskenUpdate.exe";
constexpr DWORD kInstallDirBytes = 1024;
constexpr size_t kInstallDirChars = 260;

// Main menu: height, width, style, text colour; then each item's name, text and icon.
constexpr UINT kMenuItemHeight = 33;
constexpr UINT kMenuItemWidth = 120;
constexpr DWORD kMenuTextColor = 0xFF000000;
constexpr int kMenuOffsetX = -55;
constexpr int kMenuOffsetY = 19;
struct MenuItem {
  const WCHAR* pName;
  const WCHAR* pText;
  const WCHAR* pIcon;
};
constexpr MenuItem kMainMenuItems[] = {
    {u"1", u"绑定新设备", u"platformres:menu\\adddeviceicon.png"},
    {u"2", u"更改备份目录", u"platformres:menu\\changedir.png"},
    {u"3", u"反馈建议", u"platformres:menu\\feedbackicon.png"},
};

// Set before Create by tests; null: the process's own command line.
const WCHAR* g_pCommandLineForTesting = nullptr;

// The subclassed window's state: the framework's procedure, the install popup the child posted
// (WM_APP), and whether the left button went down on the tray icon.
WNDPROC g_previousProc = nullptr;
HWND g_installPopup = nullptr;
bool g_trayButtonDown = false;

void BringToFront(HWND hwnd) {
  BringWindowToTop(hwnd);
  ShowWindow(hwnd, IsZoomed(hwnd) ? SW_SHOW : SW_SHOWNORMAL);
  RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE);
  SetForegroundWindow(hwnd);
}

void ReleaseElement(ILqElement** ppElement) {
  if (*ppElement) (*ppElement)->Release();
  *ppElement = nullptr;
}

}  // namespace

MainRunState& GetMainRunState() {
  static MainRunState state;
  return state;
}

// The pipe is the only IPC object kept: it is opened and closed, and nothing else uses it.
CMainWnd::CMainWnd()
    : m_ipcPipe(kIpcConfig, nullptr, nullptr),
      m_listener(this),
      m_listener2(this),
      m_timerSink(this) {}

CMainWnd::~CMainWnd() { Teardown(); }

void CMainWnd::Create(const CKwStringW&) {
  const int screenWidth = GetSystemMetrics(SM_CXSCREEN);
  const int screenHeight = GetSystemMetrics(SM_CYSCREEN);
  const bool hidden =
      IsHiddenStart(g_pCommandLineForTesting ? g_pCommandLineForTesting : GetCommandLineW());

  if (IsOtherInstanceRunning()) {
    ActivateOtherInstance();
    PostQuitMessage(0);
    return;
  }
  if (ShowBriskenNotice()) {
    PostQuitMessage(0);
    return;
  }
  if (!BuildRoot()) {
    KwAssert("m_pWnd", __FILE_NAME__, __LINE__);
    std::fputs("Harborlight: the main window's layout could not be built; the program ends\n",
               stderr);
    m_startFailed = true;
    PostQuitMessage(0);
    return;
  }
  InitLogic();
  InitPages();
  m_pTray = std::make_unique<CTrayUI>(m_hwnd);
  m_pTray->AddIcon(m_hwnd);
  Subclass();
  ApplyBoundDevices();
  PublishWindowHandle();
  m_timerSink->SetCallback(&CMainWnd::OnTimer);
  if (!hidden) {
    KwTimer::SetTimeout(kFirstShowDelayMs, m_timerSink.GetInterface<IKwTimerCallback>(),
                        kFirstShowTimerId);
  }
  PlaceWindow(screenWidth, screenHeight);
  m_pRoot->Show(hidden ? SW_HIDE : SW_SHOW);
  m_listener2.AddListener(m_pRoot, LqEvent::kDestroyed, &CMainWnd::OnRootDestroyed);
  ApplyBoundDevices();
}

bool CMainWnd::IsHiddenStart(const WCHAR* pCommandLine) {
  // The program path is left out: an install folder may hold the text.
  int count = 0;
  LPWSTR* pArgv = CommandLineToArgvW(pCommandLine ? pCommandLine : u"", &count);
  if (!pArgv) return false;
  bool hidden = false;
  for (int i = 1; i < count && !hidden; ++i) {
    hidden = std::u16string_view(pArgv[i]).find(kHiddenStartArgument) != std::u16string_view::npos;
  }
  LocalFree(pArgv);
  return hidden;
}

bool CMainWnd::IsBriskenPluginInstalled() {
  WCHAR folder[MAX_PATH] = {};
  if (!SHGetSpecialFolderPathW(nullptr, folder, CSIDL_APPDATA, TRUE)) return false;
  std::u16string settings = std::u16string(folder) + kBriskenSettingsFile;
  UINT devices = GetPrivateProfileIntW(u"Basic", u"DeviceCount", 0, settings.c_str());
  if (static_cast<int>(devices) <= 0) return false;
  std::u16string plugin = ReadBriskenInstallDir() + kBriskenPluginLibrary;
  return PathFileExistsW(plugin.c_str());
}

std::u16string CMainWnd::ReadBriskenInstallDir() {
  HKEY hKey = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kBriskenKey, 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS) {
    return std::u16string();
  }
  BYTE buffer[kInstallDirBytes] = {};
  DWORD size = sizeof(buffer);
  DWORD type = 0;
  LSTATUS status = RegQueryValueExW(hKey, u"InstallDir", nullptr, &type, buffer, &size);
  RegCloseKey(hKey);
  if (status != ERROR_SUCCESS) return std::u16string();
  WCHAR text[kInstallDirBytes / sizeof(WCHAR)];
  std::memcpy(text, buffer, sizeof(text));
  size_t length = 0;
  while (length < kInstallDirChars && length < size / sizeof(WCHAR) && text[length]) ++length;
  return std::u16string(text, length);
}

std::u16string CMainWnd::BackupFolderFor(const std::u16string& chosen) {
  if (chosen.size() <= 1) return std::u16string();
  std::u16string_view product(kProductFolder);
  if (chosen.size() > 5) {
    if (chosen.ends_with(product)) return chosen;
    return chosen + u"\\" + kProductFolder;
  }
  return chosen + (chosen.back() == u'\\' ? u"" : u"\\") + kProductFolder;
}

HRESULT CMainWnd::Command(int code, void* pArgument) {
  switch (code) {
    case 1:
      if (m_pImageShowPage) m_pImageShowPage->Show(0);
      break;
    case 2:
      SetMenuReady();
      if (m_pQrCodePage) {
        m_pQrCodePage->SetEntrySource(1);
        m_pQrCodePage->RefreshBindQrCode();
      }
      ShowQrPage(1);
      break;
    case 3:
    case 4:
      if (IsInitPageVisible()) break;
      SetBackground(false);
      if (m_pImageShowPage) m_pImageShowPage->Show(1);
      ShowQrPage(code == 3 ? 2 : 3);
      break;
    case 5:
      SetBackground(true);
      if (m_pImageShowPage) m_pImageShowPage->Show(0);
      if (m_pQrCodePage) m_pQrCodePage->ShowPage(true);
      break;
    case 6:
      if (pArgument && m_pImageShowPage) {
        auto* pPhoto = static_cast<PhotoRecord*>(pArgument);
        m_pImageShowPage->AddPhoto(pPhoto->deviceId, pPhoto->path.c_str());
      }
      break;
    case 7:
      RetryLogin();
      break;
    case 11:
      ChooseBackupFolder();
      break;
    default:
      break;
  }
  return S_OK;
}

void CMainWnd::SetBackground(bool blue) {
  if (!IsRootAlive()) return;
  ILqImage* pImage = nullptr;
  if (FAILED(
          Util::Lq::CreateObject(CLSID_LqImage, IID_ILqImage, reinterpret_cast<void**>(&pImage))) ||
      !pImage) {
    return;
  }
  pImage->LoadFile(blue ? kBlueBackground : kPlainBackground);
  m_pRoot->SetBackgroundObject(pImage);
  pImage->Release();
}

void CMainWnd::ApplyBoundDevices() {
  if (CountBoundDevices() <= 0) return;
  GetMainRunState().bindProgress = MainRunState::kPhoneBound;
  SetBackground(true);
  if (m_pImageShowPage) {
    m_pImageShowPage->RefreshPhoneList(0, 0);
    m_pImageShowPage->Show(0);
  }
  if (m_pInitPage) m_pInitPage->SetHidden(TRUE);
  SetMenuReady();
}

void CMainWnd::RestoreFromTray() {
  RetryLogin();
  BOOL hidden = FALSE;
  if (m_pRoot && SUCCEEDED(m_pRoot->IsHidden(&hidden)) && hidden) {
    m_pRoot->Show(SW_SHOWNORMAL);
    ReportFirstShow();
  }
  if (IsWindow(m_hwnd)) BringToFront(m_hwnd);
}

void CMainWnd::OnTrayExit() {
  m_timerSink->SetCallback(nullptr);
  KwTimer::EraseTimerCallback(m_timerSink.GetInterface<IKwTimerCallback>(), 0);
  if (m_pImageShowPage) m_pImageShowPage->ClosePopups();
}

HRESULT CMainWnd::ShowMainMenu(ILqEvent*) {
  if (!m_pMainMenu) {
    if (FAILED(Util::Lq::CreateObject(CLSID_LqMenu, IID_ILqMenu,
                                      reinterpret_cast<void**>(&m_pMainMenu))) ||
        !m_pMainMenu) {
      m_pMainMenu = nullptr;
      return 0;
    }
    m_pMainMenu->SetMenuStyle(u"mainmenu");
    for (const MenuItem& item : kMainMenuItems) {
      m_pMainMenu->AddItem(kMenuItemHeight, kMenuItemWidth, u"mainmenuItem", kMenuTextColor,
                           item.pText, item.pIcon, item.pName);
    }
    if (!m_menuReady) {
      m_pMainMenu->EnableItem(u"1", FALSE);
      m_pMainMenu->EnableItem(u"2", FALSE);
    }
    ILqElement* pMenuElement = nullptr;
    m_pMainMenu->QueryInterface(IID_ILqElement, reinterpret_cast<void**>(&pMenuElement));
    if (pMenuElement) {
      m_listener2.AddListener(pMenuElement, LqEvent::kClick, &CMainWnd::OnMainMenuClick);
      pMenuElement->Release();
    }
  }
  RECT rect{};
  if (!m_pMenuBtn || FAILED(m_pMenuBtn->GetRect(&rect))) return 0;
  m_pMainMenu->Popup(m_pMenuBtn, rect.left + kMenuOffsetX, rect.top + kMenuOffsetY);
  return 0;
}

HRESULT CMainWnd::OnNextStepClick(ILqEvent*) {
  if (m_pInitPage) m_pInitPage->SetHidden(TRUE);
  if (m_pChooseDirFrame) m_pChooseDirFrame->ShowPage(false);
  (void)SendUiReport(CEntryReport{CEntryReport::kSourceMainWindow, CEntryReport::kEventNextStep});
  return 0;
}

HRESULT CMainWnd::OnClosing(ILqEvent* pEvent) {
  if (m_pTray && m_pTray->IsExiting()) {
    // The close goes on: the window is destroyed and the loop ends.
    ReleaseElement(&m_pRoot);
    return 0;
  }
  MainRunState& run = GetMainRunState();
  if (!run.surveyShown) {
    run.surveyShown = 1;
    if (run.bindProgress == MainRunState::kNoPhone) {
      auto pSurvey = std::make_unique<CExitReason1>();
      pSurvey->Run(kSurveyLayout, m_hwnd, u"");
      pSurvey.reset();
      // An exit chosen while the survey ran has let the window go already.
      if ((m_pTray && m_pTray->IsExiting()) || !IsRootAlive()) return 0;
    }
  }
  if (!m_saidNoTray && m_pTray && !m_pTray->IsIconEmbedded()) {
    m_saidNoTray = true;
    KwLogW(u"Harborlight",
           u"CMainWnd::OnClosing the tray icon is not embedded (no notification area): a second "
           u"start brings the window back");
  }
  m_pRoot->Show(SW_HIDE);
  if (pEvent) pEvent->SetInt(u"bCancelClose", 1);
  return 0;
}

HRESULT CMainWnd::OnMainMenuClick(ILqEvent* pEvent) {
  long item = 0;
  if (!ReadMenuItemNumber(pEvent, &item)) return 0;
  if (item == 3) {
    std::u16string forum = ForumAddress();
    if (!forum.empty()) ShellExecuteW(nullptr, u"open", forum.c_str(), nullptr, nullptr, SW_SHOW);
  } else if (item == 2) {
    auto pWindow = std::make_unique<CChangeBackupDir>(this);
    pWindow->Create(kChangeDirLayout, m_hwnd, nullptr);
  } else {
    Command(3, nullptr);
  }
  return 0;
}

HRESULT CMainWnd::OnRootDestroyed(ILqEvent*) {
  PostQuitMessage(0);
  return 0;
}

HRESULT CMainWnd::OnTimer(UINT timerId) {
  if (timerId == kFirstShowTimerId) ReportFirstShow();
  return 0;
}

void CMainWnd::SetCommandLineForTesting(const WCHAR* pCommandLine) {
  g_pCommandLineForTesting = pCommandLine;
}

LRESULT CMainWnd::MainWndSubclassProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* pSelf = reinterpret_cast<CMainWnd*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (pSelf) {
    if (message == kTrayMessage) {
      switch (lParam) {
        case WM_LBUTTONDOWN:
          g_trayButtonDown = true;
          break;
        case WM_LBUTTONUP:
          if (std::exchange(g_trayButtonDown, false)) pSelf->RestoreFromTray();
          break;
        case WM_LBUTTONDBLCLK:
          g_trayButtonDown = false;
          pSelf->RestoreFromTray();
          break;
        case WM_RBUTTONDOWN:
          g_trayButtonDown = false;
          if (pSelf->m_pTray) pSelf->m_pTray->ShowMenu();
          break;
        default:
          break;
      }
    } else if (message == kTrayExitMessage) {
      pSelf->OnTrayExit();
    } else if (message == WM_APP) {
      // The layer delivers it only from a window of a child this program started.
      g_installPopup = reinterpret_cast<HWND>(static_cast<uintptr_t>(wParam));
    } else if (message == WM_ACTIVATE && wParam == WA_CLICKACTIVE) {
      if (g_installPopup && IsWindow(g_installPopup)) PostMessageW(g_installPopup, WM_CLOSE, 0, 0);
      g_installPopup = nullptr;
    }
  }
  return CallWindowProcW(g_previousProc, hwnd, message, wParam, lParam);
}

bool CMainWnd::IsOtherInstanceRunning() {
  // One atomic step: the creator learns whether a live copy holds the name already, so two
  // starts at the same moment cannot both go on.
  HANDLE hMutex = CreateMutexW(nullptr, FALSE, kMutexName);
  DWORD error = GetLastError();
  if (hMutex && error != ERROR_ALREADY_EXISTS) {
    m_hMutex = hMutex;  // held until teardown
    return false;
  }
  if (hMutex) {
    CloseHandle(hMutex);
  } else {
    KwLogW(u"Harborlight", u"CMainWnd::IsOtherInstanceRunning no instance lock: %u", error);
  }
  return true;
}

void CMainWnd::ActivateOtherInstance() {
  HANDLE hMapping = OpenFileMappingW(FILE_MAP_READ, FALSE, kMappingName);
  if (!hMapping) return;
  if (void* pView = MapViewOfFile(hMapping, FILE_MAP_READ, 0, 0, kMappingSize)) {
    uint32_t value = 0;
    std::memcpy(&value, pView, sizeof(value));
    UnmapViewOfFile(pView);
    HWND hwnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(value));
    if (value && IsWindow(hwnd)) BringToFront(hwnd);
  }
  CloseHandle(hMapping);
}

bool CMainWnd::ShowBriskenNotice() {
  if (!IsBriskenPluginInstalled()) return false;
  auto* pNotice = new CUnInsBriskenWindow();
  pNotice->DoModal(kNoticeLayout, nullptr, nullptr, 0);
  if (pNotice->Result() == 1) {
    std::u16string updater = ReadBriskenInstallDir() + kBriskenUpdater;
    ShellExecuteW(nullptr, u"open", updater.c_str(), u"/manual", nullptr, SW_SHOWNORMAL);
  }
  pNotice->Release();
  return true;
}

bool CMainWnd::BuildRoot() {
  if (FAILED(CreateLqElementFromLayout(kMainLayout, IID_ILqWindow,
                                       reinterpret_cast<void**>(&m_pRoot), nullptr, nullptr)) ||
      !m_pRoot) {
    m_pRoot = nullptr;
    return false;
  }
  m_pRoot->GetWindowHandle(&m_hwnd);
  SetMainHwnd(m_hwnd);
  return true;
}

void CMainWnd::InitLogic() {
  if (!m_pLogic) {
    LoadOrbalyn(nullptr);
    m_pLogic = GetOrbalynLogic();
    if (!m_pLogic) {
      MessageBoxW(nullptr, kLogicFailedText, kLogicFailedText, MB_OK);
      return;
    }
    m_pLogic->Login();
  }
  RegisterUploadAssist(Singleton<CUploadAssist>::Instance());
  m_pLogic->Advise(this);
  int state = 0;
  m_pLogic->GetLoginState(&state);
  OnLoginState(state);
}

void CMainWnd::InitPages() {
  m_pRoot->FindChild(u"InitPage", &m_pInitPage);
  m_pRoot->FindChild(u"nextStep", &m_pNextStep);

  ILqElement* pChooseDir = nullptr;
  m_pRoot->FindChild(u"chooseDirFrame", &pChooseDir);
  m_pChooseDirFrame = std::make_unique<CChooseDirFrameAdapter>();
  m_pChooseDirFrame->Init(pChooseDir, this);
  if (pChooseDir) pChooseDir->Release();

  ILqElement* pImageShow = nullptr;
  ILqElement* pQrCode = nullptr;
  m_pRoot->FindChild(u"ImageShowFrame", &pImageShow);
  m_pRoot->FindChild(u"QRCodePage", &pQrCode);
  m_pQrCodePage = std::make_unique<CQrCodePageAdapter>();
  m_pQrCodePage->Init(pQrCode, this);
  m_pImageShowPage = std::make_unique<CImageShowPageAdapter>();
  m_pImageShowPage->Init(pImageShow, this);
  if (pImageShow) pImageShow->Release();
  if (pQrCode) pQrCode->Release();

  m_pRoot->FindChild(u"menubtn", &m_pMenuBtn);

  if (m_pMenuBtn) m_listener.AddListener(m_pMenuBtn, LqEvent::kClick, &CMainWnd::ShowMainMenu);
  if (m_pNextStep) {
    m_listener.AddListener(m_pNextStep, LqEvent::kClick, &CMainWnd::OnNextStepClick);
  }
  m_listener.AddListener(m_pRoot, LqEvent::kClosing, &CMainWnd::OnClosing);
}

void CMainWnd::Subclass() {
  g_previousProc = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(m_hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&MainWndSubclassProc)));
  SetWindowLongPtrW(m_hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

void CMainWnd::PublishWindowHandle() {
  m_hMapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kMappingSize,
                                  kMappingName);
  if (!m_hMapping) return;
  void* pView = MapViewOfFile(m_hMapping, FILE_MAP_ALL_ACCESS, 0, 0, kMappingSize);
  if (!pView) {
    CloseHandle(m_hMapping);
    m_hMapping = nullptr;
    return;
  }
  // Window handles are 32-bit values here (X window ids and the layer's own).
  uint32_t value = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(m_hwnd));
  std::memcpy(pView, &value, sizeof(value));
  UnmapViewOfFile(pView);
}

void CMainWnd::PlaceWindow(int screenWidth, int screenHeight) {
  int x = (screenWidth - kWidth) / 2;
  int y = (screenHeight - kHeight) / 2;
  RECT rect{x, y, x + kWidth, y + kHeight};
  m_pRoot->SetRect(&rect);
}

void CMainWnd::Teardown() {
  SetMainHwnd(nullptr);
  m_timerSink->SetCallback(nullptr);
  KwTimer::EraseTimerCallback(m_timerSink.GetInterface<IKwTimerCallback>(), 0);
  m_pChooseDirFrame.reset();
  m_pTray.reset();
  m_pImageShowPage.reset();
  // A popup that hangs would hold the page's wait for its task forever: it is ended first.
  if (m_pQrCodePage) m_pQrCodePage->CloseInstallPopup(std::exchange(g_installPopup, nullptr));
  m_pQrCodePage.reset();
  if (m_hMapping) CloseHandle(std::exchange(m_hMapping, nullptr));
  if (m_hMutex) CloseHandle(std::exchange(m_hMutex, nullptr));
  // The library outlives this window (its module stays loaded): it must not keep a sink that
  // points here, nor refuse the next window's.
  if (m_pLogic) m_pLogic->Unadvise(this);
  // The kept store goes before the library that made it.
  CachedOrbalynDB::Clear();
  UnloadOrbalyn();
  m_pLogic = nullptr;

  m_listener.RemoveAll();
  m_listener2.RemoveAll();
  if (m_pMainMenu) std::exchange(m_pMainMenu, nullptr)->Release();
  ReleaseElement(&m_pMenuBtn);
  ReleaseElement(&m_pInitPage);
  ReleaseElement(&m_pNextStep);
  // A window still standing (the loop ended some other way than the tray's exit) loses the
  // subclass that points here, then goes.
  if (m_hwnd && IsWindow(m_hwnd) &&
      GetWindowLongPtrW(m_hwnd, GWLP_USERDATA) == reinterpret_cast<LONG_PTR>(this)) {
    SetWindowLongPtrW(m_hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_previousProc));
    SetWindowLongPtrW(m_hwnd, GWLP_USERDATA, 0);
    DestroyWindow(m_hwnd);
  }
  m_hwnd = nullptr;
  ReleaseElement(&m_pRoot);
  m_ipcPipe.Close();
}

void CMainWnd::ShowQrPage(int entrySource) {
  if (!m_pQrCodePage) return;
  m_pQrCodePage->SetEntrySource(entrySource);
  m_pQrCodePage->ShowPage(false);
  m_pQrCodePage->ReportShown();
}

void CMainWnd::ChooseBackupFolder() {
  std::u16string current;
  ReadWorkDir(&current);
  // The folder-choice page's drives; a fresh list from the drive table without the page.
  CChooseDirFrameAdapter freshDrives;
  if (!m_pChooseDirFrame) freshDrives.EnumFixedDrives();
  const std::vector<DriveEntry>& drives =
      m_pChooseDirFrame ? m_pChooseDirFrame->GetDriveList() : freshDrives.GetDriveList();
  CFolderBrowseDialog dialog(&drives, current.c_str(), false);
  if (dialog.Run(GetActiveWindow()) != CFolderBrowseDialog::kChosen) return;
  std::u16string folder = BackupFolderFor(dialog.GetPath());
  if (folder.empty()) return;
  IOrbalynDB* pDB = GetOrbalynDB();
  if (!pDB) return;
  pDB->SetWorkDir(folder.c_str());
  Singleton<CUploadAssist>::Instance()->SetWorkDir(folder.c_str());
  pDB->Release();
}

void CMainWnd::SetMenuReady() {
  m_menuReady = 1;
  if (!m_pMainMenu) return;
  m_pMainMenu->EnableItem(u"1", TRUE);
  m_pMainMenu->EnableItem(u"2", TRUE);
}

bool CMainWnd::IsInitPageVisible() {
  BOOL hidden = TRUE;
  return m_pInitPage && SUCCEEDED(m_pInitPage->IsHidden(&hidden)) && !hidden;
}

void CMainWnd::RetryLogin() {
  m_loginRetries = 0;
  if (m_offline && m_pLogic) {
    m_loginRetries = 1;
    m_pLogic->Login();
  }
}

void CMainWnd::ReportFirstShow() {
  KwTimer::EraseTimerCallback(m_timerSink.GetInterface<IKwTimerCallback>(), kFirstShowTimerId);
  CMainWndShowReport report;
  report.phoneCount = m_pImageShowPage ? m_pImageShowPage->GetPhoneCount() : 0;
  if (CountBoundDevices() > 0) {
    report.kind = m_pImageShowPage && m_pImageShowPage->IsBusyShown()
                      ? CMainWndShowReport::kKindBackingUp
                      : CMainWndShowReport::kKindPhones;
    (void)SendUiReport(report);
    return;
  }
  report.kind = CMainWndShowReport::kKindNoPhone;
  (void)SendUiReport(report);
  if (IsInitPageVisible()) {
    (void)SendUiReport(
        CEntryReport{CEntryReport::kSourceMainWindow, CEntryReport::kEventFirstPage});
  }
}

int CMainWnd::CountBoundDevices() {
  IOrbalynDB* pDB = GetOrbalynDB();
  if (!pDB) return 0;
  int count = 0;
  IOrbalynDeviceContainer* pDevices = nullptr;
  if (SUCCEEDED(pDB->GetBoundDevices(&pDevices)) && pDevices) {
    pDevices->GetCount(&count);
    pDevices->Release();
  }
  pDB->Release();
  return count;
}

bool CMainWnd::IsRootAlive() {
  BOOL hidden = FALSE;
  return m_pRoot && SUCCEEDED(m_pRoot->IsHidden(&hidden));
}
