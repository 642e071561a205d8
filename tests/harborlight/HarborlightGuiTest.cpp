// The program on a display: its main window placed and drawn, its task threads named, a close
// posted by another process ending it cleanly; and a worker's task reaching the main thread
// while a message box is up.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <set>
#include <string>

#include "../common/ChildWait.h"
#include "../common/TestFiles.h"
#include "../x11/X11TestSupport.h"
#include "Application.h"
#include "AsyncFrame/AsyncFrame.h"
#include "AsyncFrameTestSupport.h"
#include "InstalledProgram.h"
#include "MainWnd.h"

using namespace win32;
using asyncframe_test::CEventLog;
using asyncframe_test::Record;
using Strings = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

namespace {

// What a command prints, or "" when it cannot run.
std::string ToolOutput(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return "";
  std::string output;
  char buffer[256];
  while (fgets(buffer, sizeof buffer, pipe.get())) output += buffer;
  return output;
}

// The viewable window titled "Lumidock" of process `pid`, waited for; null when none came up.
HWND WaitForProgramWindow(pid_t pid) {
  HWND hwnd = nullptr;
  (void)x11_test::WaitUntil(
      [&] {
        std::string found = ToolOutput("xdotool search --onlyvisible --pid " + std::to_string(pid) +
                                       " --name '^Lumidock$' 2>/dev/null");
        hwnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(strtoull(found.c_str(), nullptr, 10)));
        return hwnd != nullptr;
      },
      10000);
  return hwnd;
}

// Waits for the UI framework's toolkit view: until the program links it, its windows are not on
// the screen.
TEST(HarborlightOnScreen, DISABLED_MainWindowCentredThreadsNamedAndAPostedCloseEndsTheProgram) {
  harborlight_test::CInstalledProgram program;
  program.Install(FAKE_ORBALYN_NORMAL_DIR "/Orbalyn.so", "Orbalyn.so");
  pid_t pid = program.Start({});
  ASSERT_GT(pid, 0);
  HWND hwnd = WaitForProgramWindow(pid);
  ASSERT_NE(hwnd, nullptr) << test_files::ReadWholeFile(program.ErrorPath());

  // Drawn once it is on screen; the screenshot shows whether it is whole.
  EXPECT_TRUE(x11_test::WaitUntil([&] { return x11_test::Viewable(hwnd); }));
  x11_test::Pause(300);
  EXPECT_TRUE(x11_test::SaveScreenshot("harborlight-main-window"));
  RECT rect{};
  ASSERT_TRUE(GetWindowRect(hwnd, &rect));
  EXPECT_EQ(rect.right - rect.left, CMainWnd::kWidth);
  EXPECT_EQ(rect.bottom - rect.top, CMainWnd::kHeight);
  EXPECT_EQ(rect.left, (GetSystemMetrics(SM_CXSCREEN) - CMainWnd::kWidth) / 2);
  EXPECT_EQ(rect.top, (GetSystemMetrics(SM_CYSCREEN) - CMainWnd::kHeight) / 2);

  std::set<std::string> names =
      asyncframe_test::ThreadNames("/proc/" + std::to_string(pid) + "/task");
  EXPECT_TRUE(names.count("thread_file"));
  EXPECT_TRUE(names.count("thread_main_log"));  // the kernel keeps 15 bytes
  EXPECT_TRUE(names.count("thread_logic_lo"));

  // Another process asks it to close: the loop ends, the threads stop, the program exits 0.
  x11_test::Peer peer(x11_test::Peer::Start::kStranger);
  Clock::time_point asked = Clock::now();
  EXPECT_EQ(
      peer.Ask("post " + std::to_string(reinterpret_cast<uintptr_t>(hwnd)) + " 0x10 0 0", "posted"),
      "posted 1 0");
  int status =
      test_common::WaitForChild(&pid, std::chrono::seconds(2), std::chrono::milliseconds(5));
  EXPECT_LT(Clock::now() - asked, std::chrono::seconds(2));
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << test_files::ReadWholeFile(program.ErrorPath());
  EXPECT_EQ(test_files::ReadWholeFile(program.ErrorPath()), "");
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
