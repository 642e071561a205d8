// The main window on the null view with a scripted logic library: start-up (one copy, hidden
// start, the suite notice, a layout that cannot be built), host commands and the "InitPage"
// guard, the main menu, the folder rule, closing and the exit survey, the tray's clicks and menu,
// the window procedure's popup rule, and the logic sink's edge cases with the reports they send.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "../common/ChildCase.h"
#include "../common/TickWrap.h"
#include "CImageObject.h"
#include "CMenuElement.h"
#include "ImageShowPageAdapter.h"
#include "LibraryPath.h"
#include "MainHwnd.h"
#include "ScriptedMainWndTest.h"
#include "TrayUI.h"
#include "fakes/ScriptedOrbalyn.h"
#include "uimsg.pb.h"
#include "win32/mapping.h"
#include "win32/module.h"
#include "win32/registry.h"
#include "win32/shell.h"
#include "win32/toplevel.h"

using namespace win32;
using namespace mainwnd_test;
using scripted_orbalyn::Device;
using test_files::WindowsFromPosix;

namespace {

constexpr char16_t kOnline[] = u"Lumidock-PC当前状态：在线";
constexpr char16_t kOffline[] = u"Lumidock-PC当前状态：离线";
constexpr int64_t kPhone = 0x0102030405060708;
constexpr int64_t kOtherPhone = 77;

std::string Text(const RECT& r) {
  return std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) +
         "," + std::to_string(r.bottom);
}
std::string Text(const POINT& p) { return std::to_string(p.x) + "," + std::to_string(p.y); }

// The top-level whose native window carries `name`, or null.
lq::CWindowElement* WindowNamed(const std::u16string& name) {
  for (lq::CWindowElement* pWindow : lq::CWindowElement::AllWindows()) {
    if (pWindow->NativeName() == name) return pWindow;
  }
  return nullptr;
}

class MainWndTest : public CScriptedMainWndTest {
 protected:
  HRESULT Deliver(CTestMessage message) { return m_pMain->OnLogicMessage(&message); }
  void Deliver(int type, int value, int64_t id = 0, int param1 = 0, int param2 = 0) {
    EXPECT_EQ(Deliver(CTestMessage(type, value, id, param1, param2)), 0);
  }

  // A press or release on the tray icon at `timeMs`, then the posted message is run.
  UINT TrayButton(int button, bool press, DWORD timeMs) {
    std::vector<fakes::FakeDesktop::TrayIcon> icons = m_pDesktop->TrayIcons();
    if (icons.empty()) return 0;
    UINT message = m_pDesktop->Click(icons[0].hwnd, icons[0].id, button, press, timeMs);
    Pump();
    return message;
  }
  void TrayClick(DWORD timeMs) {
    TrayButton(1, true, timeMs);
    TrayButton(1, false, timeMs + 10);
  }
  // Closes the window as its close button does.
  void CloseWindow() {
    PostMessageW(m_pMain->Hwnd(), WM_CLOSE, 0, 0);
    Pump();
  }
  bool HasReport(uint16_t id, const std::string& record) const {
    for (const Report& report : Reports()) {
      if (report.id == id && report.record == record) return true;
    }
    return false;
  }
  size_t Count(uint16_t id) const {
    std::vector<uint16_t> ids = ReportIds();
    return static_cast<size_t>(std::count(ids.begin(), ids.end(), id));
  }
  std::vector<Report> SpeedReports() const {
    std::vector<Report> reports = Reports();
    std::erase_if(reports, [](const Report& report) { return report.id != 5946; });
    return reports;
  }
  // The background's pixels, compared with an art file loaded the way the window loads it (the
  // picture class registered then may be the picture library's, which keeps no file bytes).
  std::string BackgroundBytes() {
    const lq::PictureRef* pBackground = Element(nullptr)->Background();
    return pBackground ? PixelsOf(pBackground->Object()) : std::string();
  }
  static std::string Art(const char* pName) {
    ILqImage* pImage = nullptr;
    if (FAILED(Util::Lq::CreateObject(CLSID_LqImage, IID_ILqImage,
                                      reinterpret_cast<void**>(&pImage)))) {
      return std::string();
    }
    const std::string name(pName);
    pImage->LoadFile((u"platformres:image\\" + std::u16string(name.begin(), name.end())).c_str());
    std::string pixels = PixelsOf(pImage);
    pImage->Release();
    return pixels;
  }
  // The window's own timer; the pages keep timers of their own until the window is deleted.
  static size_t FirstShowTimers() {
    size_t count = 0;
    for (const KwTimer::TimerInfo& timer : KwTimer::LiveTimersForTesting()) {
      if (timer.id == CMainWnd::kFirstShowTimerId) ++count;
    }
    return count;
  }
  static std::string PixelsOf(win32::IUnknown* pObject) {
    if (!pObject) return std::string();
    ILqPixels* pPixels = nullptr;
    if (FAILED(pObject->QueryInterface(IID_ILqPixels, reinterpret_cast<void**>(&pPixels)))) {
      lq::CImageObject* pImage = lq::CImageObject::FromInterface(pObject);
      return pImage ? pImage->Bytes() : std::string();
    }
    const win32::BYTE* pData = nullptr;
    INT width = 0, height = 0, stride = 0;
    std::string pixels;
    if (SUCCEEDED(pPixels->GetPixels(&pData, &width, &height, &stride))) {
      pixels.assign(reinterpret_cast<const char*>(pData), static_cast<size_t>(height) * stride);
    }
    pPixels->Release();
    return pixels;
  }

};

// --- Start-up ---

// A visible start: centred, the login state shown, the icon added, the handle published, the
// sink advised; 1000 ms later the first-show reports, then no more.
TEST_F(MainWndTest, StartShowsCentredWindowAndReportsTheFirstShowingOnce) {
  m_pLibrary->loginState = LoginState_online;
  Start();
  ASSERT_NE(m_pMain->Hwnd(), nullptr);
  EXPECT_FALSE(m_pMain->StartFailed());
  EXPECT_TRUE(Shown(nullptr));
  EXPECT_EQ(Text(Element(nullptr)->Rect()), "253,265,1027,759");
  EXPECT_EQ(Title(), kOnline);
  EXPECT_EQ(m_pLibrary->loginCalls, 1);
  EXPECT_EQ(m_pLibrary->pSink, static_cast<IOrbalynLogicSink*>(m_pMain.get()));
  EXPECT_TRUE(Shown(u"InitPage"));
  EXPECT_FALSE(Shown(u"ImageShowFrame"));

  std::vector<fakes::FakeDesktop::TrayIcon> icons = m_pDesktop->TrayIcons();
  ASSERT_EQ(icons.size(), 1u);
  EXPECT_EQ(icons[0].hwnd, m_pMain->Hwnd());
  EXPECT_EQ(icons[0].callbackMessage, 1025u);
  EXPECT_EQ(icons[0].tip, u"Lumidock");

  HANDLE hMapping = OpenFileMappingW(FILE_MAP_READ, FALSE, u"Global\\sharmem_7F8B5C0");
  ASSERT_NE(hMapping, nullptr);
  void* pView = MapViewOfFile(hMapping, FILE_MAP_READ, 0, 0, 4);
  ASSERT_NE(pView, nullptr);
  uint32_t published = 0;
  std::memcpy(&published, pView, 4);
  UnmapViewOfFile(pView);
  CloseHandle(hMapping);
  EXPECT_EQ(published, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(m_pMain->Hwnd())));

  m_clock.Advance(999);
  EXPECT_TRUE(Reports().empty());
  m_clock.Advance(1);
  std::vector<Report> reports = Reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].id, 5889);
  EXPECT_EQ(reports[0].record, Bytes({0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(reports[1].id, 5890);
  EXPECT_EQ(reports[1].record, Bytes({0, 0, 0, 1, 0, 0, 0, 1}));
  m_clock.Advance(5000);
  EXPECT_EQ(Reports().size(), 2u);
}

// A second copy finds the first through the lock and the published handle, and only quits: no
// window, no report of its own.
TEST_F(MainWndTest, SecondCopyQuitsWithoutAWindow) {
  Start();
  ASSERT_FALSE(DrainQuit());
  CMainWnd second;
  second.Create(CKwStringW());
  EXPECT_EQ(second.Hwnd(), nullptr);
  EXPECT_FALSE(second.StartFailed());
  EXPECT_TRUE(DrainQuit());
  EXPECT_EQ(m_pDesktop->TrayIcons().size(), 1u);
  EXPECT_TRUE(Shown(nullptr));
  EXPECT_TRUE(Reports().empty());
}

TEST_F(MainWndTest, RegrunIsLookedForAfterTheProgramPathOnly) {
  EXPECT_TRUE(CMainWnd::IsHiddenStart(u"Harborlight /regrun"));
  EXPECT_TRUE(CMainWnd::IsHiddenStart(u"Harborlight x \"a/regrunb\""));
  EXPECT_FALSE(CMainWnd::IsHiddenStart(u"Harborlight /REGRUN"));
  EXPECT_FALSE(CMainWnd::IsHiddenStart(u"\"\\opt\\x/regrun\\Harborlight\" /uninstall"));
  EXPECT_FALSE(CMainWnd::IsHiddenStart(u"Harborlight"));
  EXPECT_FALSE(CMainWnd::IsHiddenStart(nullptr));
}

// "/regrun": nothing shown and no timer; the first tray click shows the window and reports it,
// a click on the shown window reports nothing more.
TEST_F(MainWndTest, HiddenStartShowsAtTheFirstTrayClick) {
  Start(u"\"\\opt\\regrun\\Harborlight\" /regrun");
  EXPECT_FALSE(Shown(nullptr));
  EXPECT_EQ(FirstShowTimers(), 0u);
  m_clock.Advance(5000);
  EXPECT_TRUE(Reports().empty());
  TrayClick(100);
  EXPECT_TRUE(Shown(nullptr));
  EXPECT_EQ(ReportIds(), (std::vector<uint16_t>{5889, 5890}));
  TrayClick(5000);
  EXPECT_EQ(ReportIds().size(), 2u);
  // A report the server switched off sends nothing.
  GetReportClientMgr()->SetReportEnabledForTesting(5889, false);
  CloseWindow();
  Script().Reset();
  TrayClick(9000);
  EXPECT_TRUE(Shown(nullptr));
  // The first close without a phone asked the survey (5924).
  EXPECT_EQ(ReportIds(), (std::vector<uint16_t>{5889, 5890, 5924, 5890}));
}

// The suite carries the feature: its notice, the updater started with "/manual" on OK, and no
// main window either way.
TEST_F(MainWndTest, SuiteNoticeStartsTheUpdaterOnOkAndQuits) {
  WCHAR appData[MAX_PATH] = {};
  ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, appData, CSIDL_APPDATA, TRUE));
  std::string settings = test_files::PosixFromWindows(appData) + "/Corvane/Orbalyn";
  std::filesystem::create_directories(settings);
  test_files::WriteWholeFile(settings + "/Orbalyn.dat", "[Basic]\r\nDeviceCount=2\r\n");
  std::string suite = Root() + "/suite";
  std::filesystem::create_directories(suite + "/plugins/Velaris/Bin");
  std::filesystem::create_directories(suite + "/ZyUpdate");
  test_files::WriteWholeFile(suite + "/plugins/Velaris/Bin/Orbalyn.dll", "x");
  // "X.exe" names the program "X" here.
  test_files::WriteWholeFile(suite + "/ZyUpdate/WexBriskenUpdate", "#!/bin/sh\n");
  std::filesystem::permissions(suite + "/ZyUpdate/WexBriskenUpdate",
                               std::filesystem::perms::owner_all);
  HKEY hKey = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Corvane\\WexBrisken", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &hKey, nullptr),
            ERROR_SUCCESS);
  std::u16string folder = WindowsFromPosix(suite);
  RegSetValueExW(hKey, u"InstallDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                 static_cast<DWORD>((folder.size() + 1) * sizeof(WCHAR)));
  RegCloseKey(hKey);
  ASSERT_TRUE(CMainWnd::IsBriskenPluginInstalled());

  Script().PushClick(u"canclbtn");
  Start();
  EXPECT_EQ(m_pMain->Hwnd(), nullptr);
  EXPECT_TRUE(DrainQuit());
  EXPECT_TRUE(m_pDesktop->ShellOpens().empty());
  m_pMain.reset();

  Script().PushClick(u"okbtn");
  Start();
  EXPECT_TRUE(DrainQuit());
  std::vector<ShellOpenPlan> opens = m_pDesktop->ShellOpens();
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].argv,
            (std::vector<std::string>{suite + "/ZyUpdate/WexBriskenUpdate", "/manual"}));
  EXPECT_TRUE(m_pDesktop->TrayIcons().empty());
  EXPECT_TRUE(Script().Failures().empty());
}

// No layout to build the window from: the assertion, a line on standard error, a quit, and the
// failure the application turns into its exit status.
TEST_F(MainWndTest, MissingLayoutEndsTheStartInOrder) {
  std::string layouts = Root() + "/empty-layout/";
  std::filesystem::create_directories(layouts);
  test_files::WriteWholeFile(layouts + "Harborlight.xml", "<layout></layout>\n");
  std::string config = Root() + "/Other.tpc";
  test_files::WriteWholeFile(config, "layout=" + layouts + "\nres=" LUMIDOCK_BIN_DIR "/res/\n");
  Util::CoreCenter::InitPlatform(CKwBSTR(WindowsFromPosix(config).c_str()));
  Util::Boot::InitPlatformFileSystem();
  int asserts = BasaltTesting::AssertCount();
  testing::internal::CaptureStderr();
  Start();
  std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(m_pMain->StartFailed());
  EXPECT_EQ(m_pMain->Hwnd(), nullptr);
  EXPECT_EQ(BasaltTesting::AssertCount(), asserts + 1);
  EXPECT_NE(BasaltTesting::LastAssert().find("m_pWnd"), std::string::npos);
  EXPECT_NE(errors.find("layout could not be built"), std::string::npos) << errors;
  EXPECT_TRUE(DrainQuit());
  EXPECT_TRUE(m_pDesktop->TrayIcons().empty());
}

// --- Host commands and the main menu ---

// 3 and 4 wait for the first page to go; then they show the QR page on the plain background,
// 5 goes back to the photo page on the blue one, 2 readies the menu; unknown codes do nothing.
TEST_F(MainWndTest, HostCommandsFollowTheInitPageGuard) {
  Start();
  const std::string plain = Art("background.png");
  const std::string blue = Art("background_bigblue.png");
  ASSERT_FALSE(blue.empty());
  ASSERT_NE(blue, plain);
  for (int code : {3, 4}) {
    EXPECT_EQ(m_pMain->Command(code, nullptr), S_OK);
    EXPECT_FALSE(Shown(u"QRCodePage")) << code;
  }
  ASSERT_TRUE(Element(u"nextStep")->UserClick());
  EXPECT_FALSE(Shown(u"InitPage"));
  EXPECT_TRUE(Shown(u"chooseDirFrame"));
  EXPECT_TRUE(HasReport(5890, Bytes({0, 0, 0, 1, 0, 0, 0, 2})));

  m_pMain->Command(5, nullptr);
  EXPECT_TRUE(Shown(u"ImageShowFrame"));
  EXPECT_EQ(BackgroundBytes(), blue);
  m_pMain->Command(4, nullptr);
  EXPECT_TRUE(Shown(u"QRCodePage"));
  EXPECT_FALSE(Shown(u"ImageShowFrame"));
  EXPECT_EQ(BackgroundBytes(), plain);
  m_pMain->Command(5, nullptr);
  EXPECT_FALSE(Shown(u"QRCodePage"));
  m_pMain->Command(3, nullptr);
  EXPECT_TRUE(Shown(u"QRCodePage"));

  PhotoRecord photo{kPhone, u"D:\\Lumidock\\p\\a.jpg"};
  EXPECT_EQ(m_pMain->Command(6, &photo), S_OK);
  EXPECT_EQ(m_pMain->Command(6, nullptr), S_OK);
  for (int code : {8, 9, 10, 12, -1}) EXPECT_EQ(m_pMain->Command(code, nullptr), S_OK);
  EXPECT_TRUE(Shown(u"QRCodePage"));

  // 7: the bind information is wanted; while offline the login is tried once more.
  int calls = m_pLibrary->loginCalls;
  m_pMain->Command(7, nullptr);
  EXPECT_EQ(m_pLibrary->loginCalls, calls + 1);
  Deliver(UIMsg_login_state, LoginState_online);
  m_pMain->Command(7, nullptr);
  EXPECT_EQ(m_pLibrary->loginCalls, calls + 1);
}

// Items 1 and 2 stay disabled until a backup folder exists; the menu opens at the button; item
// 3 opens the forum, 2 the change-folder window, 1 the QR page.
TEST_F(MainWndTest, MainMenuWaitsForAFolderAndRoutesItsItems) {
  Start();
  ASSERT_TRUE(Element(u"menubtn")->UserClick());
  lq::CMenuElement* pMenu = Script().OpenMenu();
  ASSERT_NE(pMenu, nullptr);
  EXPECT_EQ(Script().OpenMenuAnchor(), Element(nullptr));
  EXPECT_EQ(Text(Script().OpenMenuPoint()), "625,25");
  EXPECT_FALSE(pMenu->FindItem(u"1")->EnabledFlag());
  EXPECT_FALSE(pMenu->FindItem(u"2")->EnabledFlag());
  EXPECT_TRUE(pMenu->FindItem(u"3")->EnabledFlag());
  EXPECT_FALSE(Script().ClickMenuItem(u"1"));
  EXPECT_TRUE(Script().ClickMenuItem(u"3"));
  std::vector<ShellOpenPlan> opens = m_pDesktop->ShellOpens();
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].uri, LUMIDOCK_FORUM_URL_DEFAULT);

  ASSERT_TRUE(Element(u"nextStep")->UserClick());
  m_pMain->Command(2, nullptr);  // the folder page stored a folder
  EXPECT_TRUE(Shown(u"QRCodePage"));
  m_pMain->Command(5, nullptr);
  ASSERT_TRUE(Element(u"menubtn")->UserClick());
  ASSERT_EQ(Script().OpenMenu(), pMenu);  // built once
  EXPECT_TRUE(pMenu->FindItem(u"1")->EnabledFlag());
  EXPECT_TRUE(pMenu->FindItem(u"2")->EnabledFlag());

  bool changeWindowRan = false;
  Script().PushCall([&](ILqElement* pWindow) {
    changeWindowRan = lq::CElement::FromInterface(pWindow)->FindById(u"ID_EDIT_DIR") != nullptr;
  });
  Script().PushClose();
  EXPECT_TRUE(Script().ClickMenuItem(u"2"));
  EXPECT_TRUE(changeWindowRan);
  EXPECT_EQ(lq::CWindowElement::AllWindows().size(), 1u);

  ASSERT_TRUE(Element(u"menubtn")->UserClick());
  EXPECT_TRUE(Script().ClickMenuItem(u"1"));
  EXPECT_TRUE(Shown(u"QRCodePage"));
  EXPECT_FALSE(Shown(u"ImageShowFrame"));
  EXPECT_TRUE(Script().Failures().empty());
}

// Bound phones at the start: the photo page, the blue background and a ready menu at once.
TEST_F(MainWndTest, BoundPhonesAtStartShowThePhotoPage) {
  m_pLibrary->devices.push_back(Device{kPhone, u"Phone", Presence_here, true});
  Start();
  EXPECT_TRUE(Shown(u"ImageShowFrame"));
  EXPECT_FALSE(Shown(u"InitPage"));
  EXPECT_EQ(BackgroundBytes(), Art("background_bigblue.png"));
  EXPECT_EQ(GetMainRunState().bindProgress, MainRunState::kPhoneBound);
  ASSERT_TRUE(Element(u"menubtn")->UserClick());
  EXPECT_TRUE(Script().OpenMenu()->FindItem(u"1")->EnabledFlag());
  m_clock.Advance(1000);
  EXPECT_EQ(Count(5889), 1u);
  // One phone in the photo page's list.
  EXPECT_TRUE(HasReport(5889, Bytes({0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1})));
  EXPECT_EQ(Count(5890), 0u);
}

TEST_F(MainWndTest, BackupFolderRuleOnDriveRootsAndLongerPaths) {
  EXPECT_EQ(CMainWnd::BackupFolderFor(u""), u"");
  EXPECT_EQ(CMainWnd::BackupFolderFor(u"D"), u"");
  EXPECT_EQ(CMainWnd::BackupFolderFor(u"D:"), u"D:\\Lumidock");
  EXPECT_EQ(CMainWnd::BackupFolderFor(u"D:\\"), u"D:\\Lumidock");
  EXPECT_EQ(CMainWnd::BackupFolderFor(u"D:\\ab"), u"D:\\ab\\Lumidock");
  EXPECT_EQ(CMainWnd::BackupFolderFor(u"D:\\abc"), u"D:\\abc\\Lumidock");
  EXPECT_EQ(CMainWnd::BackupFolderFor(u"D:\\x\\Lumidock"), u"D:\\x\\Lumidock");
  EXPECT_EQ(CMainWnd::BackupFolderFor(u"D:\\xLumidock"), u"D:\\xLumidock");
  EXPECT_EQ(CMainWnd::BackupFolderFor(u"D:\\x\\lumidock"), u"D:\\x\\lumidock\\Lumidock");
}

// Command 11 through the folder browser: a drive root gets the product folder, a folder named
// so stays, a folder on no listed drive and a cancel store nothing; the store and the upload
// assistant get the same folder.
TEST_F(MainWndTest, ChoosingANewFolderStoresItInStoreAndAssistant) {
  std::string c = Root() + "/drives/c";
  std::string d = Root() + "/drives/d";
  std::string elsewhere = Root() + "/elsewhere";
  for (const std::string& folder : {c, d + "/photos/Lumidock", elsewhere}) {
    std::filesystem::create_directories(folder);
  }
  setenv("LUMIDOCK_DRIVES", ("C=" + c + ";D=" + d).c_str(), 1);
  m_pLibrary->workDir = u"C:\\Lumidock";
  Start();
  m_pDesktop->ScriptFolderChoice(d);
  m_pDesktop->ScriptFolderChoice(d + "/photos/Lumidock");
  m_pDesktop->ScriptFolderChoice(elsewhere);
  m_pDesktop->ScriptFolderCancel();
  for (int i = 0; i < 4; ++i) m_pMain->Command(11, nullptr);
  unsetenv("LUMIDOCK_DRIVES");
  EXPECT_EQ(m_pLibrary->workDirsSet,
            (std::vector<std::u16string>{u"D:\\Lumidock", u"D:\\photos\\Lumidock"}));
  std::vector<FolderBrowseRequest> browses = m_pDesktop->FolderBrowses();
  ASSERT_EQ(browses.size(), 4u);
  EXPECT_EQ(browses[0].initialFolder, c + "/Lumidock");
  EXPECT_EQ(browses[1].initialFolder, d + "/Lumidock");
}

// --- Closing and the exit survey ---

// The first close of a run without phones runs the survey, later ones only hide; the window
// lives on in the tray.
TEST_F(MainWndTest, CloseHidesAndRunsTheSurveyOncePerRun) {
  Start();
  int surveys = 0;
  Script().PushCall([&](ILqElement* pWindow) {
    surveys += lq::CElement::FromInterface(pWindow)->FindById(u"reasonEdit") != nullptr;
  });
  Script().PushClose();
  CloseWindow();
  EXPECT_EQ(surveys, 1);
  EXPECT_FALSE(Shown(nullptr));
  EXPECT_FALSE(DrainQuit());
  EXPECT_EQ(GetMainRunState().surveyShown, 1);
  TrayClick(100);
  EXPECT_TRUE(Shown(nullptr));
  CloseWindow();
  EXPECT_FALSE(Shown(nullptr));
  EXPECT_NE(Element(nullptr), nullptr);
  EXPECT_TRUE(Script().Failures().empty());
  EXPECT_EQ(lq::CWindowElement::AllWindows().size(), 1u);
  // No notification area shows the icon here: said once, and closing hides all the same.
  std::string log =
      test_files::ReadWholeFile(test_files::PosixFromWindows(BasaltTesting::LogPath()));
  size_t said = log.find("tray icon is not embedded");
  EXPECT_NE(said, std::string::npos) << log;
  EXPECT_EQ(log.find("tray icon is not embedded", said + 1), std::string::npos);
}

// A phone that began binding in this run means no survey, ever.
TEST_F(MainWndTest, NoSurveyOnceAPhoneBeganBinding) {
  Start();
  Deliver(UIMsg_bind_state, BindState_waiting, kPhone);
  EXPECT_EQ(GetMainRunState().bindProgress, MainRunState::kBindBegun);
  CloseWindow();
  EXPECT_FALSE(Shown(nullptr));
  EXPECT_TRUE(Script().Failures().empty());  // no unanswered survey
}

// "退出" chosen while the survey runs: the inner close lets the window go; the outer one finds
// it gone and touches nothing; the program ends.
TEST_F(MainWndTest, ExitChosenInsideTheSurveyEndsTheProgram) {
  Start();
  Script().PushCall([&](ILqElement*) {
    m_pMain->Tray()->ShowMenu();
    EXPECT_TRUE(Script().ClickMenuItem(u"2"));
  });
  CloseWindow();
  EXPECT_EQ(Element(nullptr), nullptr);
  EXPECT_TRUE(DrainQuit());
  EXPECT_EQ(m_pMain->Tray()->IsExiting(), 1);
  EXPECT_EQ(FirstShowTimers(), 0u);
}

// --- The tray ---

// Down and up restore; up alone does nothing; a double click shows the window once and reports
// once; a right press opens one menu, built once, at the pointer.
TEST_F(MainWndTest, TrayClickSequences) {
  Start(u"Harborlight /regrun");
  EXPECT_EQ(TrayButton(1, false, 10), static_cast<UINT>(WM_LBUTTONUP));
  EXPECT_FALSE(Shown(nullptr));
  EXPECT_EQ(TrayButton(1, true, 1000), static_cast<UINT>(WM_LBUTTONDOWN));
  EXPECT_EQ(TrayButton(1, false, 1010), static_cast<UINT>(WM_LBUTTONUP));
  EXPECT_TRUE(Shown(nullptr));
  CloseWindow();  // the survey's run has no answer: it is closed
  Script().Reset();
  EXPECT_FALSE(Shown(nullptr));
  size_t before = Count(5889);
  EXPECT_EQ(TrayButton(1, true, 5000), static_cast<UINT>(WM_LBUTTONDOWN));
  EXPECT_EQ(TrayButton(1, false, 5010), static_cast<UINT>(WM_LBUTTONUP));
  EXPECT_EQ(TrayButton(1, true, 5100), static_cast<UINT>(WM_LBUTTONDBLCLK));
  EXPECT_EQ(TrayButton(1, false, 5110), static_cast<UINT>(WM_LBUTTONUP));
  EXPECT_TRUE(Shown(nullptr));
  EXPECT_EQ(Count(5889), before + 1);

  m_pDesktop->SetCursorPos(POINT{1200, 1000});
  EXPECT_EQ(TrayButton(3, true, 9000), static_cast<UINT>(WM_RBUTTONDOWN));
  lq::CMenuElement* pMenu = Script().OpenMenu();
  ASSERT_NE(pMenu, nullptr);
  EXPECT_EQ(Script().OpenMenuAnchor(), nullptr);
  EXPECT_EQ(Text(Script().OpenMenuPoint()), "1200,1000");
  lq::CWindowElement* pHost = WindowNamed(u"HARBORMAST_TRAYMAINFRAME");
  ASSERT_NE(pHost, nullptr);
  EXPECT_EQ(pHost->ExStyle(), 0x08000080u);
  EXPECT_EQ(Text(pHost->Rect()), "1200,1000,1201,1001");
  TrayButton(3, true, 12000);
  EXPECT_EQ(Script().OpenMenu(), pMenu);
  EXPECT_EQ(lq::CWindowElement::AllWindows().size(), 2u);
}

// "打开文件位置" opens a folder longer than two characters only; "退出" drops the timers,
// closes the window for good, and the icon goes with the tray.
TEST_F(MainWndTest, TrayMenuOpensTheFolderAndExits) {
  Start();
  m_pLibrary->workDir = u"D:";
  m_pMain->Tray()->ShowMenu();
  EXPECT_TRUE(Script().ClickMenuItem(u"1"));
  EXPECT_TRUE(m_pDesktop->ShellOpens().empty());
  std::filesystem::create_directories(Root() + "/drives/C/Lumidock");
  m_pLibrary->workDir = u"C:\\Lumidock";
  m_pMain->Tray()->ShowMenu();
  EXPECT_TRUE(Script().ClickMenuItem(u"1"));
  ASSERT_EQ(m_pDesktop->ShellOpens().size(), 1u);
  EXPECT_NE(m_pDesktop->ShellOpens()[0].uri.find("/drives/C/Lumidock"), std::string::npos);

  EXPECT_EQ(FirstShowTimers(), 1u);
  m_pMain->Tray()->ShowMenu();
  EXPECT_TRUE(Script().ClickMenuItem(u"2"));
  EXPECT_EQ(FirstShowTimers(), 0u);
  Pump();
  EXPECT_EQ(Element(nullptr), nullptr);
  EXPECT_TRUE(DrainQuit());
  EXPECT_EQ(m_pDesktop->TrayIcons().size(), 1u);
  m_pMain.reset();
  EXPECT_TRUE(m_pDesktop->TrayIcons().empty());
  EXPECT_EQ(m_pDesktop->TrayCalls().back().message, NIM_DELETE);
  EXPECT_TRUE(Reports().empty());  // the first-show timer went before it fired
}

// Without a live main window "退出" does nothing at all.
TEST_F(MainWndTest, TrayExitWithoutAWindowDoesNothing) {
  CTrayUI tray(reinterpret_cast<HWND>(uintptr_t{0xE0001234}));
  tray.ShowMenu();
  EXPECT_TRUE(Script().ClickMenuItem(u"2"));
  EXPECT_EQ(tray.IsExiting(), 0);
  EXPECT_FALSE(DrainQuit());
}

// The install popup is closed when the main window is clicked active (wParam exactly 2), once.
TEST_F(MainWndTest, ClickActivationClosesTheKeptPopupOnce) {
  static int s_closes = 0;
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpszClassName = u"TestPopup";
  windowClass.lpfnWndProc = [](HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) -> LRESULT {
    if (message == WM_CLOSE) ++s_closes;
    return DefWindowProcW(hwnd, message, wParam, lParam);
  };
  RegisterClassExW(&windowClass);
  HWND popup =
      CreateWindowExW(0, u"TestPopup", u"", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(popup, nullptr);
  Start();
  HWND main = m_pMain->Hwnd();
  SendMessageW(main, WM_APP, reinterpret_cast<WPARAM>(popup), 0);
  SendMessageW(main, WM_ACTIVATE, WA_ACTIVE, 0);
  SendMessageW(main, WM_ACTIVATE, WA_CLICKACTIVE | 0x10000, 0);
  Pump();
  EXPECT_EQ(s_closes, 0);
  SendMessageW(main, WM_ACTIVATE, WA_CLICKACTIVE, 0);
  Pump();
  EXPECT_EQ(s_closes, 1);
  EXPECT_FALSE(IsWindow(popup));
  SendMessageW(main, WM_ACTIVATE, WA_CLICKACTIVE, 0);
  Pump();
  EXPECT_EQ(s_closes, 1);
}

// --- The logic sink ---

TEST_F(MainWndTest, SinkAnswersItsTwoIdsWithoutAReference) {
  Start();
  IOrbalynLogicSink* pSink = m_pMain.get();
  void* pOut = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(pSink->QueryInterface(IID_IUnknown, &pOut), S_OK);
  EXPECT_EQ(pOut, pSink);
  pOut = nullptr;
  EXPECT_EQ(pSink->QueryInterface(IID_IOrbalynLogicSink, &pOut), S_OK);
  EXPECT_EQ(pOut, pSink);
  pOut = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(pSink->QueryInterface(IID_IOrbalynDB, &pOut), E_NOINTERFACE);
  EXPECT_EQ(pOut, reinterpret_cast<void*>(0x1));
  EXPECT_EQ(pSink->AddRef(), 1u);
  EXPECT_EQ(pSink->Release(), 1u);
}

// Five offline states in a row log in three more times; online in between starts afresh; each
// state and result has its text, result 3 none; nothing once the window is gone.
TEST_F(MainWndTest, StatusTextsAndAtMostThreeOfflineRetries) {
  Start();
  int calls = m_pLibrary->loginCalls;
  for (int i = 0; i < 5; ++i) Deliver(UIMsg_login_state, LoginState_offline);
  EXPECT_EQ(m_pLibrary->loginCalls, calls + 3);
  EXPECT_EQ(Title(), kOffline);
  Deliver(UIMsg_login_state, LoginState_online);
  EXPECT_EQ(Title(), kOnline);
  for (int i = 0; i < 2; ++i) Deliver(UIMsg_login_state, LoginState_offline);
  EXPECT_EQ(m_pLibrary->loginCalls, calls + 5);

  const std::pair<int, const char16_t*> states[] = {{0, u"Lumidock-PC当前状态：停止"},
                                                    {1, u"Lumidock-PC当前状态：正在登陆中"},
                                                    {7, u"Lumidock-PC当前状态：未知"}};
  for (const auto& [state, text] : states) {
    Deliver(UIMsg_login_state, state);
    EXPECT_EQ(Title(), text);
  }
  const std::pair<int, const char16_t*> results[] = {
      {0, u"Lumidock-PC当前状态：登陆成功"},
      {1, u"Lumidock-PC当前状态：登陆失败, DNS解析失败"},
      {2, u"Lumidock-PC当前状态：登陆失败, 自动注册失败"},
      {3, u"Lumidock-PC当前状态：登陆失败, 自动注册失败"},  // 3 changes nothing
      {4, u"Lumidock-PC当前状态：登陆失败, 重定向失败"},
      {5, u"Lumidock-PC当前状态：登陆失败, 服务器不可用"},
      {6, u"Lumidock-PC当前状态：登陆失败, 超时"},
      {99, u"Lumidock-PC当前状态：登陆失败, 超时"}};
  for (const auto& [result, text] : results) {
    Deliver(UIMsg_login_result, result);
    EXPECT_EQ(Title(), text) << result;
  }
  // Types outside 1 to 11, 0 and 9 do nothing; an unreadable type reads as 0.
  for (int type : {0, 9, 12, -1}) Deliver(type, LoginState_online);
  EXPECT_EQ(Title(), u"Lumidock-PC当前状态：登陆失败, 超时");

  // The window gone for good: no text, no flag, no retry.
  m_pMain->Tray()->ShowMenu();
  EXPECT_TRUE(Script().ClickMenuItem(u"2"));
  Pump();
  ASSERT_EQ(Element(nullptr), nullptr);
  calls = m_pLibrary->loginCalls;
  Deliver(UIMsg_login_state, LoginState_offline);
  EXPECT_EQ(m_pLibrary->loginCalls, calls);
}

// A phone bound again under a new id: the old id is unbound, the name the store made unique is
// reported even when the store says E_FAIL (already unique), and the photo page takes over.
TEST_F(MainWndTest, BoundPhoneIsReportedWithTheNameTheStoreGave) {
  Start();
  ASSERT_TRUE(Element(u"nextStep")->UserClick());
  m_pMain->Command(2, nullptr);
  m_pLibrary->matches[kPhone] = kOtherPhone;
  m_pLibrary->renames[kPhone] = {u"手机(2)", E_FAIL};
  m_pLibrary->devices.push_back(Device{kPhone, u"手机(2)", Presence_here, true});
  Deliver(UIMsg_bind_state, BindState_waiting, kPhone);
  Deliver(UIMsg_bind_state, BindState_requested, kPhone);
  Deliver(UIMsg_bind_state, BindState_bound, kPhone);
  EXPECT_EQ(m_pLibrary->unbound, (std::vector<int64_t>{kOtherPhone}));
  EXPECT_FALSE(Shown(u"QRCodePage"));
  EXPECT_TRUE(Shown(u"ImageShowFrame"));
  EXPECT_EQ(BackgroundBytes(), Art("background_bigblue.png"));
  EXPECT_EQ(GetMainRunState().bindProgress, MainRunState::kPhoneBound);
  EXPECT_EQ(Count(5892), 1u);
  EXPECT_TRUE(
      HasReport(5892, Bytes({0,    0,    0,    1,    1,    2,    3,   4,   5,   6, 7, 8, 0, 10,
                             0xE6, 0x89, 0x8B, 0xE6, 0x9C, 0xBA, '(', '2', ')', 0, 0, 0, 0, 0})));

  // Without any name from the store the report carries an empty one.
  m_pLibrary->renames.clear();
  Deliver(UIMsg_bind_state, BindState_bound, kOtherPhone);
  EXPECT_TRUE(HasReport(5892, Bytes({0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 77, 0, 1, 0, 0, 0, 0, 0})));
  Deliver(UIMsg_bind_state, BindState_none, kPhone);
  EXPECT_EQ(Count(5892), 2u);
}

// Begin records: consumed by a success, dropped by an error, ignored without a payload or with
// one that does not parse; the byte total counts param2 as unsigned.
TEST_F(MainWndTest, UploadBeginRecordsAreConsumedOrDropped) {
  Start();
  Deliver(UploadBeginMessage(1, kPhone, "/x/\xE7\x85\xA7.jpg"));
  Deliver(UploadBeginMessage(2, kPhone, "/x/b.jpg"));
  CTestMessage broken(UIMsg_upload_begin, 0, kPhone, 3);
  broken.m_hasPayload = true;
  broken.m_payload = "\xFF\xFF\xFF";
  Deliver(std::move(broken));
  Deliver(CTestMessage(UIMsg_upload_begin, 0, kPhone, 4));
  EXPECT_EQ(m_pMain->UploadBeginRecordCountForTesting(), 2u);
  Deliver(UIMsg_upload_result, 10053, 0, 2, 100);
  Deliver(UIMsg_upload_result, 0, 0, 1, -1);
  Deliver(UIMsg_upload_result, 0, 0, 9, 5);
  EXPECT_EQ(m_pMain->UploadBeginRecordCountForTesting(), 0u);
}

// Two phones at once: the first finish reports 2 phones, the second 1; off the server when the
// remote state is not 2 (unset reads as 2); a huge byte count in a short time is clamped; an
// unknown phone's finish sends nothing.
TEST_F(MainWndTest, UploadSpeedReportsPerFinish) {
  m_pLibrary->devices = {Device{kPhone, u"A", Presence_away, true},
                         Device{kOtherPhone, u"B", -1, true}};
  Start();
  Deliver(UIMsg_upload_batch, 10, kPhone, 4);
  Deliver(UIMsg_upload_batch, 3, kOtherPhone, 0);
  Deliver(UIMsg_upload_batch, 10, kPhone, 5);  // the same phone again counts once
  for (int i = 0; i < 40; ++i) Deliver(UIMsg_upload_result, 0, kPhone, 100 + i, -1);
  Deliver(UIMsg_upload_finish, 0, 12345);
  Deliver(UIMsg_upload_finish, 0, kPhone);
  std::vector<Report> reports = SpeedReports();
  ASSERT_EQ(reports.size(), 1u);
  test_common::SpoolFieldReader first(reports[0].record);
  EXPECT_EQ(first.Take(4), 0xFFFFFFFFu);  // 160 GiB within seconds
  EXPECT_EQ(first.Take(2), 1u);
  EXPECT_EQ(first.Take(4), 2u);
  Deliver(UIMsg_upload_result, 0, kOtherPhone, 200, 1000);
  Deliver(UIMsg_upload_finish, 0, kOtherPhone);
  reports = SpeedReports();
  ASSERT_EQ(reports.size(), 2u);
  test_common::SpoolFieldReader second(reports[1].record);
  EXPECT_LE(second.Take(4), 1000000u);
  EXPECT_EQ(second.Take(2), 0u);
  EXPECT_EQ(second.Take(4), 1u);
  Deliver(UIMsg_upload_finish, 0, kOtherPhone);
  EXPECT_EQ(SpeedReports().size(), 2u);
}

// The clock is a 32-bit tick count: a session that spans its wrap still gets a sane speed.
TEST(MainWndWrapTest, UploadSpeedAcrossTheTickWrap) {
  const test_common::ProgramResult child =
      test_common::RunChildCase("MainWndWrapChildProcess.DISABLED_UploadSpeedAcrossTheTickWrap",
                                {test_common::TickAtLoadShortOfWrap(5000)});
  EXPECT_TRUE(child.Passed()) << child.output;
}

class MainWndWrapChildProcess : public MainWndTest {};

TEST_F(MainWndWrapChildProcess, DISABLED_UploadSpeedAcrossTheTickWrap) {
  m_pLibrary->devices = {Device{kPhone, u"A", Presence_here, true}};
  Start();
  ASSERT_TRUE(test_common::WaitUntilWrapIn(100));
  Deliver(UIMsg_upload_batch, 1, kPhone, 0);
  Deliver(UIMsg_upload_result, 0, kPhone, 1, 100000);
  while (GetTickCount() >= 0x80000000u || GetTickCount() < 100) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // pacing past the wrap
  }
  Deliver(UIMsg_upload_finish, 0, kPhone);
  std::vector<Report> reports = SpeedReports();
  ASSERT_EQ(reports.size(), 1u);
  test_common::SpoolFieldReader reader(reports[0].record);
  const uint64_t speed = reader.Take(4);
  EXPECT_GT(speed, 10000u);    // 100000 bytes in well under 10 s
  EXPECT_LT(speed, 1000000u);  // and in no less than 100 ms
}

// Messages that need a phone page or a device the store lacks change nothing and break nothing.
TEST_F(MainWndTest, DeviceStateUnbindAndBatchMessagesNeedNoMore) {
  Start();
  for (int type : {UIMsg_device_remote_state, UIMsg_device_local_state}) {
    for (int value : {0, 1, 2, 3}) Deliver(type, value, kPhone);
  }
  Deliver(UIMsg_unbind, 1, kPhone);
  Deliver(UIMsg_upload_batch, INT32_MIN, kPhone, INT32_MAX);
  Deliver(UIMsg_upload_finish, -1, kPhone);  // the store knows no such phone
  EXPECT_EQ(Count(5946), 0u);
}

// The teardown stops the library, which tells the sink once more: the window is still there to
// hear it, and nothing outlives the window.
TEST_F(MainWndTest, TeardownStopsTheLibraryAndRemovesTheIcon) {
  m_pLibrary->loginState = LoginState_online;
  Start();
  ASSERT_EQ(Title(), kOnline);
  m_pMain.reset();
  EXPECT_EQ(m_pLibrary->stops, 1);
  EXPECT_TRUE(m_pDesktop->TrayIcons().empty());
  EXPECT_TRUE(lq::CWindowElement::AllWindows().empty());
  EXPECT_EQ(GetMainHwnd(), nullptr);
  EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, u"Global\\sharmem_7F8B5C0"), nullptr);
}

}  // namespace
