// The notification-area icon on a real tray (trayer) under Xvfb: Windows' click messages from
// real clicks, and an icon added before any tray runs.

#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "X11TestSupport.h"
#include "win32/gui.h"
#include "win32/shellui.h"
#include "win32/toplevel.h"

using namespace win32;
using x11_test::TestWindow;
using x11_test::WaitUntil;

namespace {

constexpr UINT kTrayMessage = 1025;
// Click sequences lie further apart than GTK's own multi-click window.
constexpr int kBetweenSequencesMs = 900;

// An icon file, as the program ships one.
std::u16string MakeIconFile() {
  std::string path = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/Harborlight.ico";
  GdkPixbuf* pPixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, 16, 16);
  gdk_pixbuf_fill(pPixbuf, 0x2060D0FF);
  gdk_pixbuf_save(pPixbuf, path.c_str(), "ico", nullptr, nullptr);
  g_object_unref(pPixbuf);
  std::string windows = path;
  std::replace(windows.begin(), windows.end(), '/', '\\');
  return Utf8ToUtf16(windows);
}

// Adds the icon as the tray object does: 16 x 16 from the file, tip, callback 1025.
NOTIFYICONDATAW AddIcon(HWND hwnd) {
  NOTIFYICONDATAW data{};
  data.cbSize = 952;
  data.hWnd = hwnd;
  data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  data.uCallbackMessage = kTrayMessage;
  data.hIcon = reinterpret_cast<HICON>(
      LoadImageW(nullptr, MakeIconFile().c_str(), IMAGE_ICON, 16, 16, LR_LOADFROMFILE));
  EXPECT_NE(data.hIcon, nullptr);
  std::u16string tip = u"Lumidock";
  std::copy(tip.begin(), tip.end(), data.szTip);
  EXPECT_TRUE(Shell_NotifyIconW(NIM_ADD, &data));
  return data;
}

std::vector<LPARAM> TrayClicks(TestWindow& window) {
  std::vector<LPARAM> clicks;
  for (const x11_test::Received& r : window.Of(kTrayMessage)) clicks.push_back(r.lParam);
  return clicks;
}

// A tray that sizes itself to its icons still moves a new one for a while (longer on a busy
// machine): waits until `*pArea` stays put across a pause, so clicks land where it settled.
void SettleIcon(TestWindow& window, GdkRectangle* pArea) {
  GdkRectangle settled{};
  (void)WaitUntil(
      [&] {
        x11_test::Pause(kBetweenSequencesMs);
        if (!GetTrayIconGeometryForTesting(window.Hwnd(), 0, &settled)) return false;
        const bool same = settled.x == pArea->x && settled.y == pArea->y &&
                          settled.width == pArea->width && settled.height == pArea->height;
        *pArea = settled;
        return same;
      },
      10000);
}

// Clicks at the icon's centre with xdotool; returns once `expected` messages arrived.
bool Click(TestWindow& window, const GdkRectangle& area, std::vector<std::string> clickArgs,
           size_t expected) {
  window.Messages().clear();
  std::vector<std::string> args{"xdotool", "mousemove", std::to_string(area.x + area.width / 2),
                                std::to_string(area.y + area.height / 2)};
  args.insert(args.end(), clickArgs.begin(), clickArgs.end());
  if (!x11_test::RunTool(args)) return false;
  bool arrived = WaitUntil([&] { return window.Of(kTrayMessage).size() >= expected; });
  x11_test::Pause(kBetweenSequencesMs);  // also catches any extra message
  return arrived;
}

TEST(Tray, ClicksBecomeWindowsMouseMessages) {
  TestWindow window("tray-owner");
  NOTIFYICONDATAW data = AddIcon(window.Hwnd());
  GdkRectangle area{};
  ASSERT_TRUE(
      WaitUntil([&] { return GetTrayIconGeometryForTesting(window.Hwnd(), 0, &area); }, 10000));
  // The tray is docked at the bottom with a strut: the work area leaves it out.
  RECT work{};
  ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0));
  EXPECT_LT(work.bottom, GetSystemMetrics(SM_CYSCREEN));
  EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 1280);
  SettleIcon(window, &area);

  ASSERT_TRUE(Click(window, area, {"click", "1"}, 2));
  EXPECT_EQ(TrayClicks(window), (std::vector<LPARAM>{513, 514}));
  ASSERT_TRUE(Click(window, area, {"click", "--repeat", "2", "--delay", "60", "1"}, 4));
  EXPECT_EQ(TrayClicks(window), (std::vector<LPARAM>{513, 514, 515, 514}));
  ASSERT_TRUE(Click(window, area, {"click", "3"}, 1));
  EXPECT_EQ(TrayClicks(window), (std::vector<LPARAM>{516}));
  for (const x11_test::Received& r : window.Of(kTrayMessage)) EXPECT_EQ(r.wParam, 0u);
  POINT cursor{};
  ASSERT_TRUE(GetCursorPos(&cursor));
  EXPECT_EQ(cursor.x, area.x + area.width / 2);
  EXPECT_TRUE(x11_test::SaveScreenshot("tray-icon"));

  EXPECT_TRUE(Shell_NotifyIconW(NIM_DELETE, &data));
  EXPECT_FALSE(Shell_NotifyIconW(NIM_DELETE, &data));
  EXPECT_TRUE(DestroyIcon(data.hIcon));
}

// No tray at first: adding succeeds; the icon embeds once a tray starts, and clicks work.
TEST(Tray, LateTrayEmbedsTheIcon) {
  TestWindow window("late-tray-owner");
  NOTIFYICONDATAW data = AddIcon(window.Hwnd());
  GdkRectangle area{};
  x11_test::Pause(500);
  EXPECT_FALSE(GetTrayIconGeometryForTesting(window.Hwnd(), 0, &area));
  std::vector<std::string> args{
      "trayer",   "--edge", "top",           "--align", "right",         "--widthtype", "request",
      "--height", "24",     "--transparent", "false",   "--SetDockType", "true"};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t trayer = 0;
  ASSERT_EQ(posix_spawnp(&trayer, "trayer", nullptr, nullptr, argv.data(), environ), 0);
  bool embedded =
      WaitUntil([&] { return GetTrayIconGeometryForTesting(window.Hwnd(), 0, &area); }, 10000);
  EXPECT_TRUE(embedded);
  if (embedded) {
    SettleIcon(window, &area);
    EXPECT_TRUE(Click(window, area, {"click", "1"}, 2));
    EXPECT_EQ(TrayClicks(window), (std::vector<LPARAM>{513, 514}));
    EXPECT_TRUE(x11_test::SaveScreenshot("tray-late"));
  }
  EXPECT_TRUE(Shell_NotifyIconW(NIM_DELETE, &data));
  kill(trayer, SIGTERM);
  waitpid(trayer, nullptr, 0);
}

}  // namespace

int main(int argc, char** argv) { return x11_test::RunGuiTests(argc, argv); }
