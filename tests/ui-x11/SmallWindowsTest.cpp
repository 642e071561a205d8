// The program's small windows on a real screen with a window manager: each modal window of the
// layout opens centred on the main window wherever the user moved it (on the work area while the
// main window is hidden) with its caption as its title on the desktop; the folder browser opens
// over its owner in Chinese; the corner tip is kept above other windows.

#include <gtest/gtest.h>

#include "../ui/UiTestSupport.h"
// After the framework's headers: Xlib's macros would break them.
#include "../x11/X11TestSupport.h"

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "TrayTipsBase.h"
#include "win32/gui.h"
#include "win32/shellui.h"
#include "win32/toplevel.h"

using namespace win32;
using x11_test::RunTool;
using x11_test::WaitUntil;

namespace {

HWND HandleOf(ILqElement* pWindow) {
  HWND hwnd = nullptr;
  pWindow->GetWindowHandle(&hwnd);
  return hwnd;
}

// Where the X server has the window now.
RECT ScreenRect(HWND hwnd) {
  RECT rect{};
  GetWindowRect(hwnd, &rect);
  return rect;
}

POINT Centre(const RECT& rect) {
  return POINT{(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
}

// Runs the window modally over `owner`; once it is on screen `look` sees it, then the run ends.
// False when it never showed.
bool RunAndLook(ILqElement* pWindow, HWND owner, std::function<void(HWND)> look) {
  struct Watch {
    ILqElement* pWindow;
    std::function<void(HWND)> look;
    gint64 deadline;
    bool seen = false;
    bool done = false;
  } watch{pWindow, std::move(look), g_get_monotonic_time() + 10 * G_USEC_PER_SEC};
  guint source = g_timeout_add(
      20,
      [](gpointer data) -> gboolean {
        auto* pWatch = static_cast<Watch*>(data);
        HWND hwnd = HandleOf(pWatch->pWindow);
        if (hwnd && x11_test::Viewable(hwnd)) {
          pWatch->seen = true;
          pWatch->look(hwnd);
        } else if (g_get_monotonic_time() < pWatch->deadline) {
          return G_SOURCE_CONTINUE;
        }
        pWatch->done = true;
        pWatch->pWindow->EndModal(1);
        return G_SOURCE_REMOVE;
      },
      &watch);
  INT result = 0;
  pWindow->RunModal(owner, 1, &result);
  if (!watch.done) g_source_remove(source);
  return watch.seen;
}

// What the folder browser's hook saw.
struct BrowserLook {
  std::string title;
  std::string ok;
  std::string cancel;
  RECT rect{};
  int titleBar = 0;  // the window manager's decoration above it
};

void OnBrowserShown(GtkDialog* pDialog, void* data) {
  auto* pLook = static_cast<BrowserLook*>(data);
  pLook->title = gtk_window_get_title(GTK_WINDOW(pDialog));
  for (auto [response, pLabel] : {std::pair{GTK_RESPONSE_ACCEPT, &pLook->ok},
                                  std::pair{GTK_RESPONSE_CANCEL, &pLook->cancel}}) {
    GtkWidget* pButton = gtk_dialog_get_widget_for_response(pDialog, response);
    if (pButton && GTK_IS_BUTTON(pButton)) *pLabel = gtk_button_get_label(GTK_BUTTON(pButton));
  }
  GdkWindow* pGdk = gtk_widget_get_window(GTK_WIDGET(pDialog));
  pLook->rect = ScreenRect(reinterpret_cast<HWND>(GDK_WINDOW_XID(pGdk)));
  GdkRectangle frame{};
  gdk_window_get_frame_extents(pGdk, &frame);
  pLook->titleBar = pLook->rect.top - frame.y;
  gtk_dialog_response(pDialog, GTK_RESPONSE_CANCEL);
}

using SmallWindowsTest = ui_test::CUiTest;

TEST_F(SmallWindowsTest, OpenOverTheirOwnerWithTheirCaptions) {
  ILqElement* pMain = Build(u"MainWnd");
  ASSERT_NE(pMain, nullptr);
  HWND main = HandleOf(pMain);
  pMain->Show(5);
  ASSERT_TRUE(WaitUntil([&] { return x11_test::Viewable(main); }));
  // The user drags it away from where it opened.
  ASSERT_TRUE(RunTool({"xdotool", "windowmove",
                       std::to_string(reinterpret_cast<uintptr_t>(main)), "300", "300"}));
  ASSERT_TRUE(WaitUntil([&] { return lq::CWindowElement::FromHandle(main)->Rect().left == 300; }));
  const POINT mainCentre = Centre(ScreenRect(main));

  const std::pair<const char16_t*, std::string> boxes[] = {
      {u"ExitReason1", "意见反馈"},   {u"ChangeDirWindow", "更改备份目录"},
      {u"UnBindMsgBox", "解除绑定"},  {u"NotifyUnBindMsgNew", "提示"},
      {u"NotifyUnInsBriskenWindow", "提示"}};
  for (const auto& [pFrame, caption] : boxes) {
    SCOPED_TRACE(Utf16ToUtf8(pFrame));
    ILqElement* pBox = Build(pFrame);
    ASSERT_NE(pBox, nullptr);
    RECT rect{};
    std::string title;
    EXPECT_TRUE(RunAndLook(pBox, main, [&](HWND hwnd) {
      rect = ScreenRect(hwnd);
      title = gtk_window_get_title(ToplevelWindow(hwnd));
    }));
    EXPECT_NEAR(Centre(rect).x, mainCentre.x, 3);
    EXPECT_NEAR(Centre(rect).y, mainCentre.y, 3);
    EXPECT_EQ(title, caption);
    pBox->Release();
  }

  // The folder browser over the same owner, in the product's words.
  auto browse = [main] {
    BrowserLook look;
    SetFolderBrowserTestHook(OnBrowserShown, &look);
    BROWSEINFOW info{};
    info.hwndOwner = main;
    info.ulFlags = 0x41;
    EXPECT_EQ(SHBrowseForFolderW(&info), nullptr);
    SetFolderBrowserTestHook(nullptr, nullptr);
    return look;
  };
  BrowserLook browser = browse();
  EXPECT_EQ(browser.title, "浏览文件夹");
  EXPECT_EQ(browser.ok, "确定");
  EXPECT_EQ(browser.cancel, "取消");
  EXPECT_NEAR(Centre(browser.rect).x, mainCentre.x, 3);
  // GTK centres it, the window manager then puts its frame where GTK meant the window to be.
  EXPECT_NEAR(Centre(browser.rect).y, mainCentre.y, 3 + browser.titleBar);

  // With the main window in the tray, a box and the browser open in the middle of the work area.
  pMain->Show(0);
  ASSERT_TRUE(WaitUntil([&] { return !x11_test::Viewable(main); }));
  RECT work{};
  ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0));
  ILqElement* pBox = Build(u"UnBindMsgBox");
  ASSERT_NE(pBox, nullptr);
  RECT rect{};
  EXPECT_TRUE(RunAndLook(pBox, main, [&](HWND hwnd) { rect = ScreenRect(hwnd); }));
  pBox->Release();
  EXPECT_NEAR(Centre(rect).x, Centre(work).x, 3);
  EXPECT_NEAR(Centre(rect).y, Centre(work).y, 3);
  browser = browse();
  EXPECT_NEAR(Centre(browser.rect).x, Centre(work).x, 3);
  EXPECT_NEAR(Centre(browser.rect).y, Centre(work).y, 3 + browser.titleBar);

  pMain->Close();
  pMain->Release();
}

// The corner tip asks the window manager to keep it above the others, so a window over the
// screen's corner does not hide it.
TEST_F(SmallWindowsTest, CornerTipIsKeptAbove) {
  auto pTip = std::make_unique<CTrayTipsBase>();
  pTip->SetText(u"手机Mi解除了与此电脑的绑定。");
  RECT rect{};
  ASSERT_EQ(pTip->GetTipRect(&rect), S_OK);
  PlaceAtWorkAreaCorner(&rect);
  pTip->ShowTip(4, &rect);
  std::vector<lq::CWindowElement*> windows = lq::CWindowElement::AllWindows();
  ASSERT_EQ(windows.size(), 1u);
  const HWND tip = windows.front()->Handle();
  GdkWindow* pGdk = gtk_widget_get_window(GTK_WIDGET(ToplevelWindow(tip)));
  EXPECT_TRUE(WaitUntil([&] {
    return ScreenRect(tip).left == rect.left && (gdk_window_get_state(pGdk) & GDK_WINDOW_STATE_ABOVE);
  }));
  pTip->Close();
  EXPECT_TRUE(WaitUntil([] { return lq::CWindowElement::AllWindows().empty(); }));
}

}  // namespace
