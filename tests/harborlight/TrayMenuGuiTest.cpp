// The tray menu's host window goes down with the menu, so the icon under it answers again: a
// left click restores the window and a right click opens the menu.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include "../x11/X11TestSupport.h"
#include "RunningProgram.h"

using namespace win32;

namespace {

TEST(HarborlightOnScreen, TrayIconAnswersAfterItsMenuWentDown) {
  harborlight_test::CRunningProgram program(FAKE_ORBALYN_NORMAL_DIR "/Orbalyn.so");
  ASSERT_TRUE(program.Start({"/regrun"})) << program.Errors();  // in the tray from the start
  HWND main = program.Window("MainWnd");
  ASSERT_NE(main, nullptr);
  ASSERT_TRUE(program.ClickTray(3));
  HWND host = nullptr;
  ASSERT_TRUE(x11_test::WaitUntil([&] {
    return (host = program.Window("HARBORMAST_TRAYMAINFRAME")) && x11_test::Viewable(host);
  }));
  x11_test::Pause(300);
  ASSERT_TRUE(x11_test::RunTool({"xdotool", "key", "Escape"}));
  EXPECT_TRUE(x11_test::WaitUntil([&] { return !x11_test::Viewable(host); }));
  x11_test::Pause(900);  // past GTK's double-click time

  ASSERT_TRUE(program.ClickTray(1));
  EXPECT_TRUE(x11_test::WaitUntil([&] { return x11_test::Viewable(main); }));
  x11_test::Pause(900);
  ASSERT_TRUE(program.ClickTray(3));
  EXPECT_TRUE(x11_test::WaitUntil([&] { return x11_test::Viewable(host); }));
  x11_test::Pause(300);
  EXPECT_EQ(program.Raw(R"({"cmd":"menu-click","name":"2"})"), "{\"ok\":true}\n");  // "退出"
  int status = program.Wait();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << program.Errors();
}

}  // namespace
