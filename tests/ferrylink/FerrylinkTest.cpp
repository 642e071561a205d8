// The install popup without a display, on a fake browser: the parent read from the arguments,
// the popup's place, what it tells its parent, the shrink for the download page, and every way it
// closes (focus lost, parent hidden or gone, the page's own close), each handing the parent its
// input back and ending the message loop.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <functional>
#include <string>
#include <vector>

#include "CBrowserWnd.h"
#include "CMainFrame.h"
#include "FakeBrowserWindow.h"
#include "win32/fakes.h"
#include "win32/strings.h"
#include "win32/time.h"
#include "win32/toplevel.h"

using namespace win32;
using ferrylink_test::CFakeBrowserWindow;

namespace {

HWND Handle(uintptr_t value) { return reinterpret_cast<HWND>(value); }

TEST(FerrylinkArguments, ParentFromTheArgumentsOnly) {
  using Args = std::vector<std::u16string>;
  EXPECT_EQ(CBrowserWnd::ParseParent(Args{u"Ferrylink", u"Parent=00400003"}), Handle(0x400003));
  EXPECT_EQ(CBrowserWnd::ParseParent(Args{u"F", u"x", u"--Parent=1aZ9"}), Handle(0x1a));
  EXPECT_EQ(CBrowserWnd::ParseParent(Args{u"F", u"Parent=ABCdef"}), Handle(0xabcdef));
  EXPECT_EQ(CBrowserWnd::ParseParent(Args{u"F", u"Parent=12", u"Parent=34"}), Handle(0x12));
  EXPECT_EQ(CBrowserWnd::ParseParent(Args{u"F", u"Parent=FFFFFFFF"}), Handle(0xFFFFFFFF));
  // Nothing usable: no digit, more than 32 bits, or only in the program's own path.
  EXPECT_EQ(CBrowserWnd::ParseParent(Args{u"F", u"Parent=zz"}), nullptr);
  EXPECT_EQ(CBrowserWnd::ParseParent(Args{u"F", u"Parent=100000000"}), nullptr);
  EXPECT_EQ(CBrowserWnd::ParseParent(Args{u"/opt/Parent=400003/Ferrylink"}), nullptr);
  EXPECT_EQ(CBrowserWnd::ParseParent(Args{}), nullptr);
}

class FerrylinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("LUMIDOCK_WEB_SITE", "http://127.0.0.1:8123", 1);
    setenv("LUMIDOCK_LOGIN_SITE", "http://127.0.0.1:8124", 1);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &FerrylinkTest::ParentProc;
    windowClass.lpszClassName = u"FerrylinkTestParent";
    RegisterClassExW(&windowClass);
    m_parent = CreateWindowExW(0, u"FerrylinkTestParent", u"", 0, 0, 0, 0, 0, nullptr, nullptr,
                               nullptr, nullptr);
    ASSERT_NE(m_parent, nullptr);
    SetWindowPos(m_parent, nullptr, 100, 50, 774, 494, SWP_NOZORDER);
    ShowWindow(m_parent, SW_SHOW);
    s_parentMessages.clear();
  }
  void TearDown() override {
    m_pFrame.reset();
    CFakeBrowserWindow::ReleaseLast();
    CFakeBrowserWindow::s_failCreate = CFakeBrowserWindow::s_failAdvise = false;
    if (IsWindow(m_parent)) DestroyWindow(m_parent);
    UnregisterClassW(u"FerrylinkTestParent", nullptr);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
    unsetenv("LUMIDOCK_WEB_SITE");
    unsetenv("LUMIDOCK_LOGIN_SITE");
  }

  static LRESULT ParentProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_APP) s_parentMessages.push_back(wParam);
    return DefWindowProcW(hwnd, message, wParam, lParam);
  }

  // Builds the popup as the program does, with `argument` after the program's name.
  bool Start(const std::u16string& argument) {
    m_pFrame = std::make_unique<CMainFrame>(nullptr, &CFakeBrowserWindow::Create);
    return m_pFrame->Create({u"/opt/lumidock/Ferrylink", argument});
  }
  std::u16string ParentArgument() const {
    char text[32];
    snprintf(text, sizeof(text), "Parent=%08x",
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(m_parent)));
    return Utf8ToUtf16(text);
  }
  HWND Popup() { return m_pFrame->Popup().Hwnd(); }
  CFakeBrowserWindow& Browser() { return *CFakeBrowserWindow::s_pLast; }
  RECT PopupRect() {
    RECT rect{};
    GetWindowRect(CFakeBrowserWindow::s_pLast->GetWindow(), &rect);
    return rect;
  }

  // Dispatches this thread's messages until `done` holds or the time is up; a WM_QUIT taken on
  // the way is noted.
  [[nodiscard]] bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 5000) {
    const DWORD start = GetTickCount();
    while (!done()) {
      if (GetTickCount() - start > timeoutMs) return false;
      MSG msg;
      if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) m_quit = true;
        DispatchMessageW(&msg);
      } else {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
      }
    }
    return true;
  }
  // The popup is gone, the loop was told to end, and the parent has its input back.
  bool ClosedAndHandedBack() {
    return PumpUntil([&] { return m_quit && !IsWindow(Browser().GetWindow()); }) &&
           IsWindowEnabled(m_parent) && !Browser().m_advised && !m_pFrame->Popup().Parent();
  }

  fakes::FakeDesktop m_desktop;  // a 1280 x 1024 screen
  HWND m_parent = nullptr;
  std::unique_ptr<CMainFrame> m_pFrame;
  bool m_quit = false;
  static inline std::vector<WPARAM> s_parentMessages;
};

// --- Creation ---

// With a parent: a tool window centred on it, the start page with the application id and the
// download page, the title, and the parent told the popup's handle.
TEST_F(FerrylinkTest, OverTheParentCentredAndAnnounced) {
  ASSERT_TRUE(Start(ParentArgument()));
  EXPECT_EQ(Browser().m_params.owner, m_parent);
  EXPECT_EQ(Browser().m_params.exStyle, WS_EX_TOOLWINDOW);
  EXPECT_EQ(Browser().m_params.style, WS_POPUP | WS_VISIBLE);
  const RECT rect = PopupRect();
  EXPECT_EQ(rect.left, 100 + (774 - 625) / 2);
  EXPECT_EQ(rect.top, 50 + (494 - 370) / 2);
  EXPECT_EQ(rect.right - rect.left, 625);
  EXPECT_EQ(rect.bottom - rect.top, 370);
  EXPECT_EQ(Browser().m_navigations,
            (std::vector<std::u16string>{
                u"http://127.0.0.1:8124/cgi-bin/login?appid=ferrylink"
                u"&s_url=http%3A%2F%2F127.0.0.1%3A8123%2Ftidepool%2Fdownload.html"}));
  EXPECT_EQ(Browser().m_title, u"Lumidock - 安装到手机");
  EXPECT_EQ(Browser().m_iconCalls, 1);
  ASSERT_TRUE(PumpUntil([&] { return !s_parentMessages.empty(); }));
  EXPECT_EQ(s_parentMessages, (std::vector<WPARAM>{reinterpret_cast<WPARAM>(Popup())}));
}

// A value naming no window, or none: alone, centred on the screen, no tool style, nothing told.
TEST_F(FerrylinkTest, WithoutAWindowAloneOnTheScreen) {
  ASSERT_TRUE(Start(u"Parent=7fff0001"));
  EXPECT_EQ(Browser().m_params.owner, nullptr);
  EXPECT_EQ(Browser().m_params.exStyle, 0u);
  const RECT rect = PopupRect();
  EXPECT_EQ(rect.left, (1280 - 625) / 2);
  EXPECT_EQ(rect.top, (1024 - 370) / 2);
  EXPECT_FALSE(PumpUntil([&] { return !s_parentMessages.empty() || m_quit; }, 700));
  EXPECT_TRUE(IsWindow(Popup()));  // no parent watch to close it

  // A parent narrower than the popup: integer centring to the left of it.
  SetWindowPos(m_parent, nullptr, 40, 30, 300, 200, SWP_NOZORDER);
  const RECT over = CBrowserWnd::CenteredRect(m_parent, 625, 370);
  EXPECT_EQ(over.left, 40 + (300 - 625) / 2);
  EXPECT_EQ(over.top, 30 + (200 - 370) / 2);
}

TEST_F(FerrylinkTest, NoBrowserOrNoEventsMeansNoPopup) {
  CFakeBrowserWindow::s_failCreate = true;
  EXPECT_FALSE(Start(ParentArgument()));
  CFakeBrowserWindow::s_failCreate = false;
  CFakeBrowserWindow::s_failAdvise = true;
  EXPECT_FALSE(Start(ParentArgument()));
  EXPECT_FALSE(IsWindow(Browser().GetWindow()));
  EXPECT_FALSE(PumpUntil([&] { return !s_parentMessages.empty(); }, 100));
}

// --- The download page ---

// Only the download page, compared in the browser's form and ignoring case, shrinks the popup,
// centred on the parent again.
TEST_F(FerrylinkTest, DownloadPageShrinksThePopup) {
  ASSERT_TRUE(Start(ParentArgument()));
  Browser().RaiseNavigateComplete(u"http://127.0.0.1:8124/cgi-bin/login?appid=ferrylink");
  Browser().RaiseNavigateComplete(u"http://127.0.0.1:8123/tidepool-download.html");
  EXPECT_EQ(PopupRect().right - PopupRect().left, 625);
  Browser().RaiseNavigateComplete(u"http://127.0.0.1:8123/TIDEPOOL/download.html");
  const RECT rect = PopupRect();
  EXPECT_EQ(rect.right - rect.left, 410);
  EXPECT_EQ(rect.bottom - rect.top, 312);
  EXPECT_EQ(rect.left, 100 + (774 - 410) / 2);
  EXPECT_EQ(rect.top, 50 + (494 - 312) / 2);
}

// --- Closing ---

// Focus: nothing before the popup was active; going to the parent keeps it; going to any
// other window closes it.
TEST_F(FerrylinkTest, FocusLostToAnotherWindowCloses) {
  ASSERT_TRUE(Start(ParentArgument()));
  HWND popup = Popup();
  SendMessageW(popup, WM_ACTIVATE, WA_INACTIVE, reinterpret_cast<LPARAM>(Handle(0x1234)));
  SendMessageW(popup, WM_ACTIVATE, WA_CLICKACTIVE, 0);
  EXPECT_TRUE(m_pFrame->Popup().IsActive());
  SendMessageW(popup, WM_ACTIVATE, WA_INACTIVE, reinterpret_cast<LPARAM>(m_parent));
  EXPECT_FALSE(PumpUntil([&] { return !IsWindow(popup); }, 200));
  SendMessageW(popup, WM_ACTIVATE, WA_ACTIVE, 0);
  EnableWindow(m_parent, FALSE);
  SendMessageW(popup, WM_ACTIVATE, WA_INACTIVE, reinterpret_cast<LPARAM>(Handle(0x1234)));
  EXPECT_TRUE(ClosedAndHandedBack());
}

// Losing the focus to nothing at all closes it too.
TEST_F(FerrylinkTest, FocusLostToNoWindowCloses) {
  ASSERT_TRUE(Start(ParentArgument()));
  SendMessageW(Popup(), WM_ACTIVATE, WA_ACTIVE, 0);
  SendMessageW(Popup(), WM_ACTIVATE, WA_INACTIVE, 0);
  EXPECT_TRUE(ClosedAndHandedBack());
}

// The parent watch: a hidden parent closes the popup within a few ticks (the Xvfb test covers a
// parent that is killed, the page's own close and the parent's WM_CLOSE).
TEST_F(FerrylinkTest, HiddenParentClosesAtAWatchTick) {
  ASSERT_TRUE(Start(ParentArgument()));
  EXPECT_FALSE(PumpUntil([&] { return m_quit; }, 400));
  const DWORD start = GetTickCount();
  ShowWindow(m_parent, SW_HIDE);
  EXPECT_TRUE(ClosedAndHandedBack());
  // A liveness bound, ten watch ticks: a busy machine delays the tick, not the rule.
  EXPECT_LE(GetTickCount() - start, 10 * CBrowserWnd::kParentWatchMs);
}

// --- Dragging ---

// A left press on the page drags the popup (a caption press at the same point), except over a
// link; the press itself is never consumed.
TEST_F(FerrylinkTest, PressOffALinkDragsThePopup) {
  ASSERT_TRUE(Start(ParentArgument()));
  HWND popup = Popup();
  MSG press{popup, WM_LBUTTONDOWN, 1, static_cast<LPARAM>(400 << 16 | 300), 0, {}};
  EXPECT_FALSE(m_pFrame->Popup().PreTranslateMessage(&press));
  MSG posted{};
  ASSERT_TRUE(PeekMessageW(&posted, popup, WM_NCLBUTTONDOWN, WM_NCLBUTTONDOWN, PM_REMOVE));
  EXPECT_EQ(static_cast<LRESULT>(posted.wParam), HTCAPTION);
  EXPECT_EQ(posted.lParam, press.lParam);

  Browser().m_onLink = true;
  EXPECT_FALSE(m_pFrame->Popup().PreTranslateMessage(&press));
  EXPECT_FALSE(PeekMessageW(&posted, popup, WM_NCLBUTTONDOWN, WM_NCLBUTTONDOWN, PM_REMOVE));
  MSG elsewhere{m_parent, WM_LBUTTONDOWN, 1, 0, 0, {}};
  Browser().m_onLink = false;
  EXPECT_FALSE(m_pFrame->Popup().PreTranslateMessage(&elsewhere));
  EXPECT_FALSE(PeekMessageW(&posted, nullptr, WM_NCLBUTTONDOWN, WM_NCLBUTTONDOWN, PM_REMOVE));
}

}  // namespace
