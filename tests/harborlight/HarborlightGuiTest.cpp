// The program on a display, with a window manager and a tray: its main window placed and drawn,
// its task threads named, closing to the tray, a second start, tray clicks and the tray menu's
// exit, a hidden start, a start without its layout; and a worker's task reaching the main thread
// while a message box is up.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "../common/ChildWait.h"
#include "../common/ReportSpool.h"
#include "../common/TestFiles.h"
#include "../x11/X11TestSupport.h"
#include "Application.h"
#include "AsyncFrame/AsyncFrame.h"
#include "AsyncFrameTestSupport.h"
#include "RunningProgram.h"
#include "MainWnd.h"

using namespace win32;
using asyncframe_test::CEventLog;
using asyncframe_test::Record;
using harborlight_test::ArtifactPath;
using Strings = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

namespace {

bool IsActive(HWND hwnd) {
  return x11_test::ActiveWindow() == static_cast<::Window>(reinterpret_cast<uintptr_t>(hwnd));
}

// Centred and drawn, threads named; a close hides it to the tray (the exit survey first, once),
// a second start brings it back and ends, a tray click restores it, the tray menu's "退出" ends
// the program with 0. Pictures: the window, the main menu, the survey and the tray menu.
TEST(HarborlightOnScreen, CloseHidesSecondStartAndTrayRestoreAndExitEnds) {
  harborlight_test::CRunningProgram program(FAKE_ORBALYN_NORMAL_DIR "/Orbalyn.so");
  ASSERT_TRUE(program.Start()) << program.Errors();
  HWND hwnd = program.Window("MainWnd");
  ASSERT_NE(hwnd, nullptr);
  ASSERT_TRUE(x11_test::WaitUntil([&] { return x11_test::Viewable(hwnd); }));
  RECT rect{};
  ASSERT_TRUE(GetWindowRect(hwnd, &rect));
  EXPECT_EQ(rect.right - rect.left, CMainWnd::kWidth);
  EXPECT_EQ(rect.bottom - rect.top, CMainWnd::kHeight);
  EXPECT_EQ(rect.left, (GetSystemMetrics(SM_CXSCREEN) - CMainWnd::kWidth) / 2);
  EXPECT_EQ(rect.top, (GetSystemMetrics(SM_CYSCREEN) - CMainWnd::kHeight) / 2);
  std::set<std::string> names =
      asyncframe_test::ThreadNames("/proc/" + std::to_string(program.Pid()) + "/task");
  EXPECT_TRUE(names.count("thread_file"));
  EXPECT_TRUE(names.count("thread_main_log"));  // the kernel keeps 15 bytes
  EXPECT_TRUE(names.count("thread_logic_lo"));
  program.Port("snapshot MainWnd " + ArtifactPath("harborlight-main-window"));
  EXPECT_TRUE(x11_test::WaitUntil([&] { return program.Reports(5889) == 1; }, 10000));

  // The main menu at its button, its first two items waiting for a backup folder.
  program.Port("click MainWnd menubtn");
  x11_test::Pause(300);
  EXPECT_TRUE(x11_test::SaveScreenshot("harborlight-main-menu"));
  EXPECT_TRUE(x11_test::RunTool({"xdotool", "key", "Escape"}));

  // Another process closes it: the survey runs once, then the window hides; the program lives.
  x11_test::Peer peer(x11_test::Peer::Start::kStranger);
  auto post = [&](HWND target) {
    return peer.Ask("post " + std::to_string(reinterpret_cast<uintptr_t>(target)) + " 0x10 0 0",
                    "posted");
  };
  EXPECT_EQ(post(hwnd), "posted 1 0");
  HWND survey = nullptr;
  ASSERT_TRUE(x11_test::WaitUntil(
      [&] { return (survey = program.Window("ExitReason1")) && x11_test::Viewable(survey); }));
  x11_test::Pause(200);
  EXPECT_TRUE(x11_test::SaveScreenshot("harborlight-exit-survey"));
  EXPECT_EQ(post(survey), "posted 1 0");
  EXPECT_TRUE(x11_test::WaitUntil([&] { return !x11_test::Viewable(hwnd); }));
  x11_test::Pause(300);
  EXPECT_FALSE(x11_test::Viewable(hwnd));
  // The survey closed unanswered: code 10, no text, no contact (counted strings of one NUL).
  const std::string unanswered("\0\0\0\x0a\0\x01\0\0\x01\0", 10);
  EXPECT_TRUE(x11_test::WaitUntil(
      [&] { return program.ReportRecords(5924) == std::vector<std::string>{unanswered}; }, 5000));
  EXPECT_EQ(waitpid(program.Pid(), nullptr, WNOHANG), 0);

  // A second start brings the first window back, active, and ends with 0.
  int second = program.StartAnother();
  ASSERT_TRUE(WIFEXITED(second)) << second;
  EXPECT_EQ(WEXITSTATUS(second), 0);
  EXPECT_TRUE(x11_test::WaitUntil([&] { return x11_test::Viewable(hwnd); }));
  EXPECT_TRUE(x11_test::WaitUntil([&] { return IsActive(hwnd); }));

  // Closed again: no survey, it unmaps; a click on the tray icon restores it.
  EXPECT_EQ(post(hwnd), "posted 1 0");
  EXPECT_TRUE(x11_test::WaitUntil([&] { return !x11_test::Viewable(hwnd); }));
  EXPECT_EQ(program.Window("ExitReason1"), nullptr);
  ASSERT_TRUE(program.ClickTray(1));
  EXPECT_TRUE(x11_test::WaitUntil([&] { return x11_test::Viewable(hwnd); }));
  EXPECT_TRUE(x11_test::WaitUntil([&] { return program.Reports(5889) == 2; }));

  // The tray menu at the pointer; "退出" ends the program and takes its icon along.
  ASSERT_TRUE(program.ClickTray(3));
  ASSERT_TRUE(x11_test::WaitUntil([&] { return program.Window("HARBORMAST_TRAYMAINFRAME"); }));
  x11_test::Pause(300);
  EXPECT_TRUE(x11_test::SaveScreenshot("harborlight-tray-menu"));
  program.Port("menu-click 2");
  int status = program.Wait();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << program.Errors();
  EXPECT_EQ(program.Errors(), "");
}

// "/regrun": nothing is mapped and nothing reported until the tray icon is clicked; then the
// window shows and its first showing is reported.
TEST(HarborlightOnScreen, RegrunShowsNothingUntilATrayClick) {
  harborlight_test::CRunningProgram program(FAKE_ORBALYN_NORMAL_DIR "/Orbalyn.so");
  ASSERT_TRUE(program.Start({"/regrun"})) << program.Errors();
  HWND hwnd = program.Window("MainWnd");
  ASSERT_NE(hwnd, nullptr);
  int x = 0, y = 0;
  ASSERT_TRUE(x11_test::WaitUntil([&] { return program.TrayIconCentre(&x, &y); }, 10000));
  x11_test::Pause(1500);
  EXPECT_FALSE(x11_test::Viewable(hwnd));
  EXPECT_EQ(program.Reports(5889), 0u);
  ASSERT_TRUE(program.ClickTray(1));
  EXPECT_TRUE(x11_test::WaitUntil([&] { return x11_test::Viewable(hwnd); }));
  EXPECT_TRUE(x11_test::WaitUntil([&] { return program.Reports(5889) == 1; }, 10000));
  int status = program.ExitFromTrayMenu();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << program.Errors();
}

// Without its layout file the main window cannot be built: the program says so and ends in
// order with status 2, leaving no lock behind (a second start gets as far).
TEST(HarborlightOnScreen, MissingLayoutEndsTheProgramWithTwo) {
  harborlight_test::CInstalledProgram program;
  program.Install(FAKE_ORBALYN_NORMAL_DIR "/Orbalyn.so", "Orbalyn.so");
  for (int run = 0; run < 2; ++run) {
    pid_t pid = program.Start({});
    ASSERT_GT(pid, 0);
    int status =
        test_common::WaitForChild(&pid, std::chrono::seconds(20), std::chrono::milliseconds(5));
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), CApplication::kStartFailedExitCode);
    EXPECT_NE(test_files::ReadWholeFile(program.ErrorPath()).find("layout could not be built"),
              std::string::npos)
        << test_files::ReadWholeFile(program.ErrorPath());
  }
}

// Shared with the message box's hook and the tasks.
struct BoxRun {
  CEventLog log;
  DWORD mainThread = 0;
  GtkDialog* pBox = nullptr;
};

void OnBoxShown(GtkDialog* pDialog, void* data) {
  auto* pRun = static_cast<BoxRun*>(data);
  pRun->pBox = pDialog;
  pRun->log.Add("box shown");
  AsyncFrame::PostTaskToThread(
      AsyncFrame::kThreadMainLogic, FROM_HERE, Record(&pRun->log, "worker", [pRun] {
        AsyncFrame::PostTaskToThread(
            AsyncFrame::kThreadMain, FROM_HERE, Record(&pRun->log, "main", [pRun] {
              if (GetCurrentThreadId() != pRun->mainThread) pRun->log.Add("wrong thread");
              x11_test::Pause(200);
              EXPECT_TRUE(x11_test::SaveScreenshot("harborlight-task-under-message-box"));
              gtk_dialog_response(pRun->pBox, IDOK);
            }));
      }));
}

TEST(HarborlightOnScreen, WorkerTaskRunsOnTheMainThreadWhileAMessageBoxIsUp) {
  BoxRun run;
  run.mainThread = GetCurrentThreadId();
  ASSERT_EQ(AsyncFrame::StartThreads(), 1);
  SetMessageBoxTestHook(OnBoxShown, &run);
  // A main-thread task opens the box; the program's own loop runs around it.
  AsyncFrame::PostTaskToThread(
      AsyncFrame::kThreadMain, FROM_HERE, Record(&run.log, "box", [&run] {
        int answer =
            MessageBoxW(nullptr, u"A worker's task runs while this box is up", u"Lumidock", MB_OK);
        run.log.Add("answer " + std::to_string(answer));
        PostQuitMessage(0);
      }));
  bool expired = false;
  guint watchdog = g_timeout_add(
      10000,
      [](gpointer data) -> gboolean {
        *static_cast<bool*>(data) = true;
        PostQuitMessage(1);
        return G_SOURCE_REMOVE;
      },
      &expired);
  CApplication::PumpMessages();
  if (!expired) g_source_remove(watchdog);
  SetMessageBoxTestHook(nullptr, nullptr);
  AsyncFrame::StopAllThreads();
  EXPECT_EQ(asyncframe_test::Runs(run.log.Events()),
            (Strings{"box", "box shown", "worker", "main", "answer 1"}));
}

}  // namespace

int main(int argc, char** argv) { return x11_test::RunGuiTests(argc, argv); }
