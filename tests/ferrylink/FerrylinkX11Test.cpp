// Ferrylink as a program on a private X server with openbox: the real WebKit back end showing
// server-sim's pages, x11-peer as the parent that started it. Each case waits for paint before it
// looks, spaces its clicks more than 800 ms apart, and keeps a screenshot in artifacts/ui.

#include <gtest/gtest.h>
// After gtest: X11 defines None.
#include <X11/Xatom.h>
#include <gdk/gdkx.h>
#include <stdlib.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "../common/ChildWait.h"
#include "../x11/X11TestSupport.h"
#include "CServerSim.h"

using namespace win32;
using namespace x11_test;
using test_common::ProcessEnded;

namespace {

constexpr int kLoginWidth = 625;
constexpr int kLoginHeight = 370;

struct Rgb {
  int r, g, b;
};
constexpr Rgb kLoginBlue{0x2d, 0x8c, 0xf0};
constexpr Rgb kDownloadGreen{0x2b, 0xb6, 0x73};

// The screen's pixel at (x, y).
Rgb ScreenPixel(int x, int y) {
  GdkPixbuf* pPixel = gdk_pixbuf_get_from_window(gdk_get_default_root_window(), x, y, 1, 1);
  if (!pPixel) return Rgb{-1, -1, -1};
  const guchar* p = gdk_pixbuf_get_pixels(pPixel);
  Rgb rgb{p[0], p[1], p[2]};
  g_object_unref(pPixel);
  return rgb;
}

bool Near(Rgb a, Rgb b) {
  return std::abs(a.r - b.r) <= 3 && std::abs(a.g - b.g) <= 3 && std::abs(a.b - b.b) <= 3;
}

RECT RectOf(HWND hwnd) {
  RECT rect{};
  GetWindowRect(hwnd, &rect);
  return rect;
}

bool SkipsTaskbar(HWND hwnd) {
  GdkDisplay* pDisplay = gdk_display_get_default();
  Display* pX = GDK_DISPLAY_XDISPLAY(pDisplay);
  const Atom state = XInternAtom(pX, "_NET_WM_STATE", False);
  const Atom skip = XInternAtom(pX, "_NET_WM_STATE_SKIP_TASKBAR", False);
  Atom type = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* pData = nullptr;
  bool found = false;
  gdk_x11_display_error_trap_push(pDisplay);
  if (XGetWindowProperty(pX, static_cast<::Window>(reinterpret_cast<uintptr_t>(hwnd)), state, 0, 32,
                         False, XA_ATOM, &type, &format, &count, &after, &pData) == Success &&
      pData) {
    for (unsigned long i = 0; i < count; ++i) found |= reinterpret_cast<Atom*>(pData)[i] == skip;
    XFree(pData);
  }
  gdk_x11_display_error_trap_pop_ignored(pDisplay);
  return found;
}

class FerrylinkX11Test : public ::testing::Test {
 protected:
  void SetUp() override {
    CServerSim::Options options;
    options.webPort = 0;
    m_pSim = std::make_unique<CServerSim>(options);
    ASSERT_TRUE(m_pSim->Start());
    const std::string site = "http://127.0.0.1:" + std::to_string(m_pSim->WebPort());
    setenv("LUMIDOCK_WEB_SITE", site.c_str(), 1);
    setenv("LUMIDOCK_LOGIN_SITE", site.c_str(), 1);
  }
  void TearDown() override {
    if (m_popupPid > 0 && !ProcessEnded(m_popupPid)) kill(m_popupPid, SIGKILL);
    m_pParent.reset();
    m_pSim->Stop();
  }

  // x11-peer as the parent, and Ferrylink started by it; true once the parent has been told
  // the popup's window and the login page is painted in it.
  [[nodiscard]] bool StartUnderParent() {
    m_pParent = std::make_unique<Peer>(Peer::Start::kChild);
    if (!WaitUntil([&] { return Viewable(m_pParent->Hwnd()); })) return false;
    char parent[32];
    snprintf(parent, sizeof parent, "Parent=%08lx",
             static_cast<unsigned long>(reinterpret_cast<uintptr_t>(m_pParent->Hwnd())));
    const std::string spawned =
        m_pParent->Ask("spawn " FERRYLINK " " + std::string(parent), "spawn");
    if (sscanf(spawned.c_str(), "spawned %d", &m_popupPid) != 1) return false;
    const std::string created = m_pParent->WaitLine("msg 8000 ", 20000);
    unsigned long popup = 0;
    if (sscanf(created.c_str(), "msg 8000 %lx", &popup) != 1) return false;
    m_popup = reinterpret_cast<HWND>(static_cast<uintptr_t>(popup));
    return WaitPainted(kLoginBlue);
  }
  // The page's colour at the popup's top-left corner (off its link), where it is now.
  [[nodiscard]] bool WaitPainted(Rgb color, int timeoutMs = 20000) {
    return WaitUntil(
        [&] {
          const RECT rect = RectOf(m_popup);
          return rect.right > rect.left && Near(ScreenPixel(rect.left + 8, rect.bottom - 8), color);
        },
        timeoutMs);
  }
  // The thread sanitizer slows the web engine several times over: the bound stretches there only.
  bool ExitedWithin(int ms) {
#ifdef __SANITIZE_THREAD__
    ms *= 3;
#endif
    return WaitUntil([&] { return ProcessEnded(m_popupPid); }, ms);
  }
  POINT Centre(HWND hwnd) {
    const RECT rect = RectOf(hwnd);
    return POINT{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
  }
  static bool Click(POINT at) {
    Pause(850);
    return RunTool(
        {"xdotool", "mousemove", std::to_string(at.x), std::to_string(at.y), "click", "1"});
  }
  // The parent's own window: enabled and the active one.
  bool ParentEnabledAndActive() {
    return WaitUntil([&] { return m_pParent->Ask("state", "state ") == "state 1 1"; }, 5000);
  }

  std::unique_ptr<CServerSim> m_pSim;
  std::unique_ptr<Peer> m_pParent;
  int m_popupPid = -1;
  HWND m_popup = nullptr;
};

// Started by its parent: the parent gets WM_APP with the popup's own window, which lies centred
// over it, off the taskbar; the login page got the application id and the download page.
TEST_F(FerrylinkX11Test, TellsItsParentAndShowsTheLoginPage) {
  ASSERT_TRUE(StartUnderParent());
  DWORD pid = 0;
  GetWindowThreadProcessId(m_popup, &pid);
  EXPECT_EQ(static_cast<int>(pid), m_popupPid);
  const RECT parent = RectOf(m_pParent->Hwnd());
  const RECT popup = RectOf(m_popup);
  EXPECT_EQ(popup.right - popup.left, kLoginWidth);
  EXPECT_EQ(popup.bottom - popup.top, kLoginHeight);
  EXPECT_EQ(popup.left, parent.left + (parent.right - parent.left - kLoginWidth) / 2);
  EXPECT_EQ(popup.top, parent.top + (parent.bottom - parent.top - kLoginHeight) / 2);
  EXPECT_TRUE(SkipsTaskbar(m_popup));
  EXPECT_EQ(m_pSim->EventCount("web-login"), 1u);
  EXPECT_TRUE(SaveScreenshot("ferrylink-login"));
}

// The login page's link leads to the download page: the popup shrinks to 410 x 312 over the
// parent; that page's window.close() link ends the program, and the parent, disabled meanwhile,
// is enabled and active again.
TEST_F(FerrylinkX11Test, LoginLinkShrinksAndTheDownloadPageClosesIt) {
  ASSERT_TRUE(StartUnderParent());
  m_pParent->Ask("enable " + m_pParent->Hex() + " 0", "enabled");
  ASSERT_TRUE(Click(Centre(m_popup)));
  ASSERT_TRUE(m_pSim->WaitForEvent("web-page", 1, 10000));
  ASSERT_TRUE(WaitUntil([&] { return RectOf(m_popup).right - RectOf(m_popup).left == 410; }));
  ASSERT_TRUE(WaitPainted(kDownloadGreen));
  const RECT parent = RectOf(m_pParent->Hwnd());
  const RECT popup = RectOf(m_popup);
  EXPECT_EQ(popup.bottom - popup.top, 312);
  EXPECT_EQ(popup.left, parent.left + (parent.right - parent.left - 410) / 2);
  EXPECT_EQ(popup.top, parent.top + (parent.bottom - parent.top - 312) / 2);
  EXPECT_TRUE(SaveScreenshot("ferrylink-download"));
  ASSERT_TRUE(Click(Centre(m_popup)));
  EXPECT_FALSE(m_pParent->WaitLine("exited " + std::to_string(m_popupPid) + " 0", 5000).empty());
  EXPECT_TRUE(ParentEnabledAndActive());
}

// The parent hidden, or killed: the popup ends within a second.
TEST_F(FerrylinkX11Test, ParentHiddenOrKilledEndsItWithinASecond) {
  ASSERT_TRUE(StartUnderParent());
  m_pParent->Send("hide");
  EXPECT_TRUE(ExitedWithin(1000));
  m_pParent.reset();
  ASSERT_TRUE(StartUnderParent());
  m_pParent->Kill();
  EXPECT_TRUE(ExitedWithin(1000));
}

// Clicked active, a click on the parent keeps the popup (its parent closes it itself); the
// parent's WM_CLOSE ends it and gives the parent its focus back. Clicked active again, any other
// window taking the focus ends it.
TEST_F(FerrylinkX11Test, FocusToTheParentKeepsItFocusElsewhereEndsIt) {
  ASSERT_TRUE(StartUnderParent());
  const RECT popup = RectOf(m_popup);
  ASSERT_TRUE(Click(POINT{popup.left + 20, popup.top + 20}));
  const RECT parent = RectOf(m_pParent->Hwnd());
  ASSERT_TRUE(Click(POINT{parent.left + 10, parent.bottom - 10}));
  EXPECT_FALSE(ExitedWithin(1000));
  m_pParent->Ask("post " + std::to_string(reinterpret_cast<uintptr_t>(m_popup)) + " 0x10 0 0",
                 "posted");
  EXPECT_TRUE(ExitedWithin(1000));
  EXPECT_TRUE(ParentEnabledAndActive());

  m_pParent.reset();
  ASSERT_TRUE(StartUnderParent());
  TestWindow other("another window");
  ASSERT_TRUE(other.WaitViewable());
  const RECT now = RectOf(m_popup);
  ASSERT_TRUE(Click(POINT{now.left + 20, now.top + 20}));
  SetActiveWindow(other.Hwnd());
  EXPECT_TRUE(ExitedWithin(1000));
}

// A press and drag on the page moves the popup; on the link it does not.
TEST_F(FerrylinkX11Test, DragOnThePageMovesItNotOnTheLink) {
  ASSERT_TRUE(StartUnderParent());
  auto drag = [&](POINT from) {
    Pause(850);
    // The page tells what lies under the pointer a moment after it arrives, as a person's
    // hovering would: the press comes a second later.
    return RunTool({"xdotool",
                    "mousemove",
                    std::to_string(from.x),
                    std::to_string(from.y),
                    "sleep",
                    "1",
                    "mousedown",
                    "1",
                    "sleep",
                    "0.2",
                    "mousemove",
                    std::to_string(from.x + 30),
                    std::to_string(from.y + 20),
                    "sleep",
                    "0.1",
                    "mousemove",
                    std::to_string(from.x + 60),
                    std::to_string(from.y + 40),
                    "sleep",
                    "0.2",
                    "mouseup",
                    "1"});
  };
  const RECT before = RectOf(m_popup);
  ASSERT_TRUE(drag(POINT{before.left + 40, before.bottom - 40}));
  ASSERT_TRUE(WaitUntil([&] { return RectOf(m_popup).left != before.left; }, 3000));
  const RECT moved = RectOf(m_popup);
  EXPECT_NEAR(moved.left - before.left, 60, 4);
  EXPECT_NEAR(moved.top - before.top, 40, 4);
  ASSERT_TRUE(drag(Centre(m_popup)));
  Pause(500);
  EXPECT_EQ(RectOf(m_popup).left, moved.left);
  EXPECT_EQ(RectOf(m_popup).top, moved.top);
  EXPECT_FALSE(ProcessEnded(m_popupPid));
}

// Without a parent: centred on the screen, on the taskbar, nobody told; WM_CLOSE ends it with 0.
TEST_F(FerrylinkX11Test, WithoutAParentCentredOnTheScreen) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::u16string line = u"\"" + Utf8ToUtf16(FERRYLINK) + u"\"";
  ASSERT_TRUE(CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                             &startup, &process));
  CloseHandle(process.hThread);
  m_popupPid = static_cast<int>(process.dwProcessId);
  // Its window: the one whose _NET_WM_PID is the child's.
  ASSERT_TRUE(WaitUntil(
      [&] {
        HWND found = nullptr;
        std::string output;
        FILE* pPipe = popen(("xdotool search --pid " + std::to_string(m_popupPid)).c_str(), "r");
        char buffer[64];
        while (pPipe && fgets(buffer, sizeof buffer, pPipe)) {
          HWND candidate =
              reinterpret_cast<HWND>(static_cast<uintptr_t>(strtoul(buffer, nullptr, 10)));
          if (Viewable(candidate)) found = candidate;
        }
        if (pPipe) pclose(pPipe);
        m_popup = found;
        return found != nullptr;
      },
      20000));
  ASSERT_TRUE(WaitPainted(kLoginBlue));
  const RECT rect = RectOf(m_popup);
  EXPECT_EQ(rect.left, (GetSystemMetrics(SM_CXSCREEN) - kLoginWidth) / 2);
  EXPECT_EQ(rect.top, (GetSystemMetrics(SM_CYSCREEN) - kLoginHeight) / 2);
  EXPECT_FALSE(SkipsTaskbar(m_popup));
  EXPECT_TRUE(SaveScreenshot("ferrylink-alone"));
  ASSERT_TRUE(PostMessageW(m_popup, WM_CLOSE, 0, 0));
  ASSERT_EQ(WaitForSingleObject(process.hProcess, 5000), WAIT_OBJECT_0);
  DWORD code = 99;
  GetExitCodeProcess(process.hProcess, &code);
  EXPECT_EQ(code, 0u);
  CloseHandle(process.hProcess);
}

}  // namespace

int main(int argc, char** argv) { return RunGuiTests(argc, argv); }
