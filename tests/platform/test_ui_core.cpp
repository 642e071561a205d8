// The core's GUI seams without a desktop: the pump seam, registered top-levels and subclassing,
// the state kept on layer windows, foreign handles through the back-end table, the tray click
// rule, and the shell calls against the fake desktop.

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "../common/SandboxTest.h"
#include "../common/TestFiles.h"
#include "win32/drive.h"
#include "win32/fakes.h"
#include "win32/message_pump.h"
#include "win32/shellui.h"
#include "win32/strings.h"
#include "win32/sync.h"
#include "win32/thread.h"
#include "win32/toplevel.h"
#include "win32/ui_backend.h"

using namespace win32;
namespace fs = std::filesystem;

namespace {

constexpr UINT kMsgData = WM_USER + 1;

bool Readable(int fd) {
  pollfd pfd{fd, POLLIN, 0};
  return poll(&pfd, 1, 0) == 1;
}

std::vector<MSG> g_seen;
LRESULT RecordingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  MSG msg{};
  msg.hwnd = hwnd;
  msg.message = message;
  msg.wParam = wParam;
  msg.lParam = lParam;
  g_seen.push_back(msg);
  return message == WM_CLOSE ? DefWindowProcW(hwnd, message, wParam, lParam) : 7;
}

HWND MakeLayerWindow() {
  static bool registered = [] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = RecordingProc;
    wc.lpszClassName = u"UiCoreTestWindow";
    return RegisterClassExW(&wc) != 0;
  }();
  EXPECT_TRUE(registered);
  return CreateWindowExW(0, u"UiCoreTestWindow", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                         nullptr, nullptr);
}

// The seam a toolkit pumps through: readiness, one dispatch at a time, never WM_QUIT, and a
// wake descriptor written once per look that the pump clears.
TEST(MessagePumpSeam, DispatchesOneAtATimeAndLeavesQuitPending) {
  HWND hwnd = MakeLayerWindow();
  ASSERT_NE(hwnd, nullptr);
  g_seen.clear();
  int fd = GetQueueWakeFd();
  ASSERT_GE(fd, 0);
  DrainQueueWake();
  EXPECT_FALSE(IsQueueReady(nullptr));

  std::thread([hwnd] {
    for (int i = 0; i < 3; ++i) PostMessageW(hwnd, kMsgData, i, 0);
  }).join();
  EXPECT_TRUE(Readable(fd));
  DrainQueueWake();
  EXPECT_FALSE(Readable(fd));  // three posts, one ring: later ones wait for the next look
  EXPECT_TRUE(IsQueueReady(nullptr));
  PostQuitMessage(3);
  EXPECT_TRUE(IsQuitPending());
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(DispatchOneMessage());
  EXPECT_FALSE(DispatchOneMessage());
  ASSERT_EQ(g_seen.size(), 3u);
  EXPECT_EQ(g_seen[2].wParam, 2u);
  EXPECT_TRUE(IsQuitPending());
  EXPECT_FALSE(IsQueueReady(nullptr));
  PostMessageW(hwnd, kMsgData, 9, 0);  // after a look: rings again
  EXPECT_TRUE(Readable(fd));
  MSG msg;
  ASSERT_TRUE(GetMessageW(&msg, nullptr, 0, 0));
  EXPECT_EQ(msg.wParam, 9u);
  EXPECT_FALSE(GetMessageW(&msg, nullptr, 0, 0));
  EXPECT_EQ(msg.wParam, 3u);
  EXPECT_FALSE(IsQuitPending());

  // Timers: the time to the next one, then ready when due.
  ASSERT_TRUE(SetTimer(hwnd, 1, 30, nullptr));
  DWORD next = 0;
  EXPECT_FALSE(IsQueueReady(&next));
  EXPECT_LE(next, 30u);
  EXPECT_GT(next, 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(next + 5));
  EXPECT_TRUE(IsQueueReady(&next));
  g_seen.clear();
  EXPECT_TRUE(DispatchOneMessage());
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_EQ(g_seen[0].message, WM_TIMER);
  KillTimer(hwnd, 1);
  DestroyWindow(hwnd);
  DrainQueueWake();
}

std::atomic<int> g_parks{0};
void CountingPark(int fd, DWORD milliseconds) {
  ++g_parks;
  pollfd pfd{fd, POLLIN, 0};
  poll(&pfd, 1, milliseconds == INFINITE ? -1 : static_cast<int>(milliseconds));
}

TEST(MessagePumpSeam, MsgWaitSleepsThroughTheHook) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  MSG msg;
  PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
  SetMessageWaitHook(CountingPark);
  std::thread setter([event] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    SetEvent(event);
  });
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &event, FALSE, 5000, QS_ALLINPUT), WAIT_OBJECT_0);
  setter.join();
  SetMessageWaitHook(nullptr);
  EXPECT_GT(g_parks.load(), 0);
  CloseHandle(event);
}

// What a registered top-level's procedure chain sees.
std::vector<std::string> g_chain;
WNDPROC g_previous = nullptr;
LRESULT DefaultProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  g_chain.push_back("default " + std::to_string(message));
  return message == WM_CLOSE ? DefWindowProcW(hwnd, message, wParam, lParam) : 1;
}
LRESULT SubclassProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  g_chain.push_back("subclass " + std::to_string(message));
  return CallWindowProcW(g_previous, hwnd, message, wParam, lParam);
}

std::vector<HWND> g_destroyed;
void NoteDestroyed(HWND hwnd) { g_destroyed.push_back(hwnd); }

// A real window's id enters the registry; posts, subclassing and destruction work on it, and the
// back end hears when it leaves.
TEST(TopLevelRegistry, RegisteredWindowTakesPostsSubclassingAndDestruction) {
  UiBackend backend{};
  backend.topLevelDestroyed = NoteDestroyed;
  const UiBackend* pPrevious = SetUiBackend(&backend);
  g_chain.clear();
  g_destroyed.clear();
  HWND hwnd = RegisterTopLevelWindow(0x00400003, DefaultProc);
  ASSERT_EQ(hwnd, reinterpret_cast<HWND>(uintptr_t{0x00400003}));
  EXPECT_EQ(RegisterTopLevelWindow(0x00400003, DefaultProc), nullptr);
  EXPECT_EQ(RegisterTopLevelWindow(0xE0000001, DefaultProc), nullptr);
  EXPECT_TRUE(IsRegisteredTopLevel(hwnd));
  EXPECT_TRUE(IsWindow(hwnd));
  DWORD pid = 0;
  EXPECT_EQ(GetWindowThreadProcessId(hwnd, &pid), GetCurrentThreadId());
  EXPECT_EQ(pid, static_cast<DWORD>(getpid()));

  g_previous = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&SubclassProc)));
  EXPECT_EQ(g_previous, &DefaultProc);
  EXPECT_EQ(GetWindowLongPtrW(hwnd, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(&SubclassProc));
  std::thread([hwnd] { PostMessageW(hwnd, WM_APP, 1, 2); }).join();
  MSG msg;
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(DispatchMessageW(&msg), 1);
  EXPECT_EQ(SendMessageW(hwnd, WM_CLOSE, 0, 0), 0);
  EXPECT_EQ(g_chain, (std::vector<std::string>{"subclass 32768", "default 32768", "subclass 16",
                                               "default 16", "subclass 2", "default 2",
                                               "subclass 130", "default 130"}));
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_EQ(g_destroyed, std::vector<HWND>{hwnd});
  SetUiBackend(pPrevious);
}

// Without a desktop, layer windows keep what the show and placement calls set.
TEST(WindowState, LayerWindowsKeepTheirStateWithoutADesktop) {
  HWND hwnd = MakeLayerWindow();
  EXPECT_FALSE(IsWindowVisible(hwnd));
  EXPECT_FALSE(ShowWindow(hwnd, SW_SHOW));
  EXPECT_TRUE(IsWindowVisible(hwnd));
  EXPECT_EQ(GetActiveWindow(), hwnd);
  EXPECT_TRUE(ShowWindow(hwnd, SW_HIDE));
  EXPECT_FALSE(IsWindowVisible(hwnd));
  EXPECT_EQ(GetActiveWindow(), nullptr);
  EXPECT_FALSE(EnableWindow(hwnd, FALSE));
  EXPECT_FALSE(IsWindowEnabled(hwnd));
  EXPECT_TRUE(EnableWindow(hwnd, TRUE));
  ASSERT_TRUE(SetWindowPos(hwnd, HWND_TOPMOST, 10, 20, 774, 494, SWP_NOACTIVATE));
  ASSERT_TRUE(SetWindowPos(hwnd, nullptr, 30, 40, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW));
  RECT rect;
  ASSERT_TRUE(GetWindowRect(hwnd, &rect));
  EXPECT_EQ(rect.left, 30);
  EXPECT_EQ(rect.bottom, 40 + 494);
  EXPECT_TRUE(IsWindowVisible(hwnd));
  EXPECT_FALSE(IsZoomed(hwnd));
  EXPECT_TRUE(RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE));
  EXPECT_TRUE(BringWindowToTop(hwnd));
  EXPECT_EQ(GetForegroundWindow(), hwnd);
  DestroyWindow(hwnd);
  EXPECT_FALSE(IsWindowVisible(hwnd));
  EXPECT_FALSE(ShowWindow(hwnd, SW_SHOW));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  // No desktop: no screen, no message box; foreign ids are not windows.
  EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 0);
  EXPECT_EQ(MessageBoxW(nullptr, u"x", u"y", MB_OK), 0);
  HWND foreign = reinterpret_cast<HWND>(uintptr_t{0x00200003});
  EXPECT_FALSE(IsWindow(foreign));
  EXPECT_FALSE(PostMessageW(foreign, WM_CLOSE, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

// Foreign window ids go to the back end's entries.
std::vector<std::string> g_foreign;
BOOL ForeignIsWindow(HWND hwnd) { return reinterpret_cast<uintptr_t>(hwnd) == 0x00200003; }
DWORD ForeignPid(HWND hwnd) { return ForeignIsWindow(hwnd) ? 4242 : 0; }
BOOL ForeignPost(HWND, UINT message, WPARAM wParam, LPARAM) {
  g_foreign.push_back("post " + std::to_string(message) + " " + std::to_string(wParam));
  return TRUE;
}
BOOL ForeignShow(HWND, int cmd) {
  g_foreign.push_back("show " + std::to_string(cmd));
  return TRUE;
}

TEST(WindowState, ForeignWindowsGoThroughTheBackEnd) {
  UiBackend backend{};
  backend.isForeignWindow = ForeignIsWindow;
  backend.getForeignWindowProcessId = ForeignPid;
  backend.postForeignMessage = ForeignPost;
  backend.showWindow = ForeignShow;
  const UiBackend* pPrevious = SetUiBackend(&backend);
  g_foreign.clear();
  HWND foreign = reinterpret_cast<HWND>(uintptr_t{0x00200003});
  EXPECT_TRUE(IsWindow(foreign));
  EXPECT_FALSE(IsWindow(reinterpret_cast<HWND>(uintptr_t{0x00200004})));
  DWORD pid = 0;
  EXPECT_EQ(GetWindowThreadProcessId(foreign, &pid), 4242u);
  EXPECT_EQ(pid, 4242u);
  EXPECT_TRUE(PostMessageW(foreign, WM_APP, 5, 0));
  EXPECT_TRUE(ShowWindow(foreign, SW_SHOWNORMAL));
  EXPECT_FALSE(SetWindowPos(foreign, nullptr, 0, 0, 1, 1, 0));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(g_foreign, (std::vector<std::string>{"post 32768 5", "show 1"}));
  SetUiBackend(pPrevious);
}

// Windows' click meaning from raw presses: a second press within 500 ms and 4 px is a double
// click instead of a press; the pair then ends.
TEST(TrayClickRule, RawPressesBecomeWindowsMouseMessages) {
  TrayClickRule rule;
  std::vector<UINT> got;
  auto feed = [&](int button, bool press, DWORD t, int x = 100, int y = 10) {
    if (UINT m = rule.OnButton(button, press, t, x, y)) got.push_back(m);
  };
  feed(1, true, 1000);
  feed(1, false, 1080);
  EXPECT_EQ(got, (std::vector<UINT>{513, 514}));
  got.clear();
  feed(1, true, 5000);
  feed(1, false, 5060);
  feed(1, true, 5200, 103, 12);
  feed(1, false, 5260);
  feed(1, true, 5400);  // a third press starts a new pair
  EXPECT_EQ(got, (std::vector<UINT>{513, 514, 515, 514, 513}));
  got.clear();
  feed(1, true, 9000);
  feed(1, true, 9600);        // too late
  feed(1, true, 9700, 120);   // too far
  feed(1, true, 0xFFFFFFF0);  // far later
  feed(1, true, 0x10);        // across the wrap: 32 ms later
  feed(3, true, 20000);
  feed(3, false, 20050);
  feed(2, true, 20100);
  EXPECT_EQ(got, (std::vector<UINT>{513, 513, 513, 513, 515, 516}));
}

class FakeDesktopTest : public test_common::SandboxTest {
 protected:
  FakeDesktopTest() : SandboxTest("fake-desktop") {}
  void TearDown() override {
    unsetenv("LUMIDOCK_DRIVES");
    SandboxTest::TearDown();
  }
};

// The tray: add, modify, delete through the fake; injected clicks arrive as the callback
// message with the mouse message in lParam.
TEST_F(FakeDesktopTest, TrayIconsAndInjectedClicks) {
  fakes::FakeDesktop desktop;
  HWND hwnd = MakeLayerWindow();
  std::string icoPath = Root() + "/Harborlight.ico";
  test_files::WriteWholeFile(icoPath, "icon");
  HICON icon = reinterpret_cast<HICON>(LoadImageW(
      nullptr, test_files::WindowsFromPosix(icoPath).c_str(), IMAGE_ICON, 16, 16, LR_LOADFROMFILE));
  ASSERT_NE(icon, nullptr);
  EXPECT_EQ(LoadImageW(nullptr, u"\\no\\such.ico", IMAGE_ICON, 16, 16, LR_LOADFROMFILE), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  NOTIFYICONDATAW data{};
  data.cbSize = 952;  // whatever the caller sets
  data.hWnd = hwnd;
  data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  data.uCallbackMessage = 1025;
  data.hIcon = icon;
  std::u16string tip = u"Lumidock";
  std::copy(tip.begin(), tip.end(), data.szTip);
  EXPECT_TRUE(Shell_NotifyIconW(NIM_ADD, &data));
  EXPECT_FALSE(Shell_NotifyIconW(NIM_ADD, &data));
  auto icons = desktop.TrayIcons();
  ASSERT_EQ(icons.size(), 1u);
  EXPECT_EQ(icons[0].tip, u"Lumidock");
  EXPECT_TRUE(icons[0].hasIcon);

  g_seen.clear();
  EXPECT_EQ(desktop.Click(hwnd, 0, 1, true, 100), 513u);
  EXPECT_EQ(desktop.Click(hwnd, 0, 1, false, 150), 514u);
  EXPECT_EQ(desktop.Click(hwnd, 0, 1, true, 300), 515u);
  EXPECT_EQ(desktop.Click(hwnd, 0, 3, true, 2000), 516u);
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  ASSERT_EQ(g_seen.size(), 4u);
  EXPECT_EQ(g_seen[0].message, 1025u);
  EXPECT_EQ(g_seen[2].lParam, 515);

  EXPECT_TRUE(Shell_NotifyIconW(NIM_DELETE, &data));
  EXPECT_FALSE(Shell_NotifyIconW(NIM_DELETE, &data));
  EXPECT_TRUE(desktop.TrayIcons().empty());
  EXPECT_EQ(desktop.TrayCalls().size(), 4u);
  EXPECT_TRUE(DestroyIcon(icon));
  EXPECT_FALSE(DestroyIcon(icon));
  DestroyWindow(hwnd);

  // Scripted message boxes, and the screen.
  bool ranWhileOpen = false;
  desktop.ScriptMessageBox(IDYES, [&] { ranWhileOpen = true; });
  EXPECT_EQ(MessageBoxW(nullptr, u"text", u"caption", MB_YESNO), IDYES);
  EXPECT_TRUE(ranWhileOpen);
  EXPECT_EQ(MessageBoxW(nullptr, u"text", nullptr, MB_OK), IDOK);
  EXPECT_EQ(MessageBoxW(nullptr, u"text", nullptr, MB_OKCANCEL), IDCANCEL);
  ASSERT_EQ(desktop.MessageBoxes().size(), 3u);
  EXPECT_EQ(desktop.MessageBoxes()[0].caption, u"caption");
  desktop.SetScreen(1920, 1080);
  desktop.SetWorkArea(RECT{0, 0, 1920, 1050});
  EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 1920);
  RECT work;
  ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0));
  EXPECT_EQ(work.bottom, 1050);
}

// What a drive filter sees and what it decides, as the folder-choice page's filter does.
struct DriveFilter : IFolderFilter {
  std::vector<std::u16string> asked;  // "normal|parsing"
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IFolderFilter) {
      *ppv = static_cast<IFolderFilter*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE ShouldShow(IShellFolder* folder, PCIDLIST_ABSOLUTE,
                                       PCUITEMID_CHILD item) override {
    STRRET name{}, parsing{};
    WCHAR normalText[MAX_PATH], parsingText[MAX_PATH];
    if (FAILED(folder->GetDisplayNameOf(item, SHGDN_NORMAL, &name)) ||
        FAILED(StrRetToBufW(&name, item, normalText, MAX_PATH)) ||
        FAILED(folder->GetDisplayNameOf(item, SHGDN_FORPARSING, &parsing)) ||
        FAILED(StrRetToBufW(&parsing, item, parsingText, MAX_PATH))) {
      return S_FALSE;
    }
    asked.push_back(std::u16string(normalText) + u"|" + parsingText);
    return parsingText[0] == u'E' ? S_FALSE : S_OK;  // E: is "not a listed drive"
  }
  HRESULT STDMETHODCALLTYPE GetEnumFlags(IShellFolder*, PCIDLIST_ABSOLUTE, HWND*,
                                         DWORD* pFlags) override {
    *pFlags = SHCONTF_FOLDERS;
    return S_OK;
  }
};

struct BrowseContext {
  DriveFilter filter;
  std::vector<UINT> notifications;
  std::u16string myComputerNames;
};

int BrowseCallback(HWND hwnd, UINT message, LPARAM lParam, LPARAM data) {
  auto* pContext = reinterpret_cast<BrowseContext*>(data);
  pContext->notifications.push_back(message);
  if (message == BFFM_INITIALIZED) {
    SendMessageW(hwnd, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(u"D:\\"));
  } else if (message == BFFM_IUNKNOWN) {
    auto* pUnknown = reinterpret_cast<IUnknown*>(lParam);
    IFolderFilterSite* pSite = nullptr;
    if (SUCCEEDED(
            pUnknown->QueryInterface(IID_IFolderFilterSite, reinterpret_cast<void**>(&pSite)))) {
      pSite->SetFilter(&pContext->filter);
      pSite->Release();
    }
  }
  return 0;
}

// The browser: initial selection through the callback, the filter decides the drive places,
// answers come back as "X:\..." (rooted outside the drives), cancel gives null.
TEST_F(FakeDesktopTest, FolderBrowserAsksTheFilterAndAnswersInDriveForm) {
  fakes::FakeDesktop desktop;
  std::string c = Root() + "/c", d = Root() + "/d", e = Root() + "/e";
  for (const std::string& f : {c, d + "/sub", e}) fs::create_directories(f);
  setenv("LUMIDOCK_DRIVES", ("C=" + c + ";D=" + d + ";E=" + e).c_str(), 1);

  BrowseContext context;
  WCHAR displayName[MAX_PATH];
  BROWSEINFOW info{};
  info.pszDisplayName = displayName;
  info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
  info.lpfn = BrowseCallback;
  info.lParam = reinterpret_cast<LPARAM>(&context);
  desktop.ScriptFolderChoice(d + "/sub");
  PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&info);
  ASSERT_NE(chosen, nullptr);
  WCHAR path[MAX_PATH];
  ASSERT_TRUE(SHGetPathFromIDListW(chosen, path));
  EXPECT_EQ(std::u16string(path), u"D:\\sub");
  EXPECT_EQ(std::u16string(displayName), u"sub");
  CoTaskMemFree(chosen);
  EXPECT_EQ(context.notifications, (std::vector<UINT>{BFFM_INITIALIZED, BFFM_IUNKNOWN}));
  EXPECT_EQ(context.filter.asked,
            (std::vector<std::u16string>{u"Local Disk (C:)|C:\\", u"Local Disk (D:)|D:\\",
                                         u"Local Disk (E:)|E:\\"}));
  std::vector<FolderBrowseRequest> browses = desktop.FolderBrowses();
  ASSERT_EQ(browses.size(), 1u);
  const FolderBrowseRequest& request = browses[0];
  EXPECT_EQ(request.initialFolder, d);
  ASSERT_EQ(request.places.size(), 2u);
  EXPECT_EQ(request.places[0].posixFolder, c);
  EXPECT_EQ(request.places[1].label, u"Local Disk (D:)");

  // My Computer's names, as the filter would read them.
  PIDLIST_ABSOLUTE drives = nullptr;
  ASSERT_EQ(SHGetFolderLocation(nullptr, CSIDL_DRIVES, nullptr, 0, &drives), S_OK);
  EXPECT_FALSE(SHGetPathFromIDListW(drives, path));
  ILFree(drives);

  // Outside every drive: a rooted path. Cancel: null.
  desktop.ScriptFolderChoice("/tmp");
  chosen = SHBrowseForFolderW(&info);
  ASSERT_TRUE(SHGetPathFromIDListW(chosen, path));
  EXPECT_EQ(std::u16string(path), u"\\tmp");
  ILFree(chosen);
  desktop.ScriptFolderCancel();
  EXPECT_EQ(SHBrowseForFolderW(&info), nullptr);
}

// ShellExecuteW never hands a name to a shell or an option parser: files become file:// URIs,
// programs get their parameters as separate arguments.
TEST_F(FakeDesktopTest, ShellExecutePlansArgumentsAndUris) {
  fakes::FakeDesktop desktop;
  std::string dir = Root() + "/a b";
  fs::create_directories(dir);
  test_files::WriteWholeFile(dir + "/-x", "");
  std::string program = Root() + "/tool";
  test_files::WriteWholeFile(program, "#!/bin/sh\n");
  fs::permissions(program, fs::perms::owner_all);
  auto open = [](const std::u16string& file, const char16_t* parameters = nullptr) {
    return reinterpret_cast<INT_PTR>(
        ShellExecuteW(nullptr, u"open", file.c_str(), parameters, nullptr, SW_SHOWNORMAL));
  };
  std::u16string windowsDir = test_files::WindowsFromPosix(dir);
  EXPECT_GT(open(windowsDir + u"\\-x"), 32);
  EXPECT_GT(open(u"\"" + windowsDir + u"\""), 32);
  EXPECT_GT(open(u"https://example.invalid/forum?a=1&b=2"), 32);
  EXPECT_GT(open(test_files::WindowsFromPosix(program) + u".exe",
                 u"/manual -x \"two words\" \"say \\\"hi\\\"\""),
            32);
  EXPECT_EQ(open(windowsDir + u"\\missing"), SE_ERR_FNF);
  EXPECT_EQ(open(u"Q:\\anything"), SE_ERR_FNF);
  EXPECT_EQ(open(u"javascript:alert(1)"), SE_ERR_NOASSOC);
  EXPECT_EQ(reinterpret_cast<INT_PTR>(
                ShellExecuteW(nullptr, u"print", windowsDir.c_str(), nullptr, nullptr, 1)),
            SE_ERR_NOASSOC);

  auto plans = desktop.ShellOpens();
  ASSERT_EQ(plans.size(), 4u);
  EXPECT_EQ(plans[0].uri, "file://" + Root() + "/a%20b/-x");
  EXPECT_TRUE(plans[0].argv.empty());
  EXPECT_EQ(plans[1].uri, "file://" + Root() + "/a%20b");
  EXPECT_EQ(plans[2].uri, "https://example.invalid/forum?a=1&b=2");
  EXPECT_EQ(plans[3].argv,
            (std::vector<std::string>{program, "/manual", "-x", "two words", "say \"hi\""}));
}

// Without the recorder: the program really starts with exactly those arguments, and a URI goes
// to $LUMIDOCK_SHELL_OPEN as one argument.
TEST_F(FakeDesktopTest, ShellExecuteStartsProgramsAndTheOpenHandler) {
  std::string out = Root() + "/args";
  std::string program = Root() + "/recorder";
  test_files::WriteWholeFile(
      program, "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]' \"$a\"; done > " + out + ".tmp\nmv " +
                   out + ".tmp " + out + "\n");
  fs::permissions(program, fs::perms::owner_all);
  auto waitForFile = [&]() {
    for (int i = 0; i < 500 && !fs::exists(out); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::string text = test_files::ReadWholeFile(out);
    fs::remove(out);
    return text;
  };
  HINSTANCE result =
      ShellExecuteW(nullptr, nullptr, test_files::WindowsFromPosix(program + ".exe").c_str(),
                    u"-x \"a b\" ;rm", nullptr, SW_SHOW);
  EXPECT_GT(reinterpret_cast<INT_PTR>(result), 32);
  EXPECT_EQ(waitForFile(), "[-x][a b][;rm]");

  setenv("LUMIDOCK_SHELL_OPEN", program.c_str(), 1);
  result = ShellExecuteW(nullptr, u"open", test_files::WindowsFromPosix(Root()).c_str(), nullptr,
                         nullptr, SW_SHOW);
  EXPECT_GT(reinterpret_cast<INT_PTR>(result), 32);
  EXPECT_EQ(waitForFile(), "[file://" + Root() + "]");
  unsetenv("LUMIDOCK_SHELL_OPEN");
  // Nothing to hand a URI to.
  result = ShellExecuteW(nullptr, u"open", u"http://example.invalid/", nullptr, nullptr, SW_SHOW);
  EXPECT_EQ(reinterpret_cast<INT_PTR>(result), SE_ERR_NOASSOC);
}

}  // namespace
