// The main thread's loop once its message queue is a source of a GLib main context, as under the
// window system: the program's message pump and modal runs dispatch its tasks, window messages
// and the toolkit's own events in turn. A private context, so no display is needed.

#include <glib-unix.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "Application.h"
#include "AsyncFrame/MessageLoopForUI.h"
#include "AsyncFrame/MessageLoopProxyImpl.h"
#include "AsyncFrameTestSupport.h"
#include "win32/gui.h"
#include "win32/message_pump.h"
#include "win32/window.h"

using namespace win32;
using namespace AsyncFrame;
using asyncframe_test::CEventLog;
using asyncframe_test::Record;
using Strings = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

namespace {

constexpr UINT kPlainMessage = WM_APP + 1;
constexpr UINT kModalMessage = WM_APP + 2;

// What the plain window's modal run waits for, and who ends it.
struct ModalRun {
  CEventLog* pLog;
  MessageLoopProxyImpl* pProxy;
  bool ended = false;
};

LRESULT PlainWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kPlainMessage) reinterpret_cast<CEventLog*>(lParam)->Add("M");
  if (message == kModalMessage) {
    // A message box's shape: a modal run inside a message's dispatch, ended by a task another
    // thread posts meanwhile.
    auto* pRun = reinterpret_cast<ModalRun*>(lParam);
    pRun->pLog->Add("modal");
    std::thread poster([pRun] {
      pRun->pProxy->PostTask(FROM_HERE, Record(pRun->pLog, "X", [pRun] { pRun->ended = true; }));
    });
    bool ended = RunModalLoop(&pRun->ended);
    poster.join();
    pRun->pLog->Add(ended ? "modal ended" : "modal quit");
    PostQuitMessage(0);
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

TEST(MainThreadOnGLib, TasksMessagesAndToolkitEventsTakeTurns) {
  CEventLog log;
  std::thread main([&log] {
    GMainContext* pContext = g_main_context_new();
    g_main_context_push_thread_default(pContext);
    // A toolkit event source, attached before the queue as the display's is: "E" for each byte
    // written to the pipe.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    GSource* pEvents = g_unix_fd_source_new(fds[0], G_IO_IN);
    g_source_set_callback(pEvents,
                          G_SOURCE_FUNC(+[](gint fd, GIOCondition, gpointer data) -> gboolean {
                            char byte;
                            if (read(fd, &byte, 1) == 1) static_cast<CEventLog*>(data)->Add("E");
                            return G_SOURCE_CONTINUE;
                          }),
                          &log, nullptr);
    g_source_attach(pEvents, pContext);
    ASSERT_TRUE(AttachMessagePump(pContext));

    auto* pLoop = new MessageLoopForUI;
    HWND hwnd = asyncframe_test::CreatePlainWindow(u"MainThreadPumpTest.Plain", PlainWindowProc);
    ASSERT_NE(hwnd, nullptr);
    // Non-nestable tasks run as nestable ones here: no run to nest in. Posted through a proxy of
    // its own, which no loop holds.
    auto* pExtraProxy = new MessageLoopProxyImpl(pLoop);
    pExtraProxy->AddRef();

    // A's event becomes ready while A runs; it goes in before B, the next task.
    Clock::time_point posted = Clock::now();
    MessageLoopProxyImpl* pProxy = pLoop->Proxy();
    int eventFd = fds[1];
    pProxy->PostTask(FROM_HERE,
                     Record(&log, "A", [eventFd] { EXPECT_EQ(write(eventFd, "e", 1), 1); }));
    PostMessageW(hwnd, kPlainMessage, 0, reinterpret_cast<LPARAM>(&log));
    pProxy->PostTask(FROM_HERE, Record(&log, "B"));
    pExtraProxy->PostNonNestableTask(FROM_HERE, Record(&log, "N"));
    pProxy->PostDelayedTask(FROM_HERE, Record(&log, "D", [] { PostQuitMessage(0); }), 1);
    CApplication::PumpMessages();
    // Delays go through a window timer of at least 10 ms, counted in whole milliseconds.
    EXPECT_GE(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - posted).count(),
              9000);

    // Tasks posted from elsewhere run inside a modal run a message started.
    ModalRun run{&log, pProxy};
    PostMessageW(hwnd, kModalMessage, 0, reinterpret_cast<LPARAM>(&run));
    CApplication::PumpMessages();

    // Tasks still queued when the loop goes are deleted unrun.
    pProxy->PostTask(FROM_HERE, Record(&log, "never"));
    pExtraProxy->Release();
    delete pLoop;
    DestroyWindow(hwnd);
    DetachMessagePump();
    g_source_destroy(pEvents);
    g_source_unref(pEvents);
    close(fds[0]);
    close(fds[1]);
    g_main_context_pop_thread_default(pContext);
    g_main_context_unref(pContext);
  });
  main.join();
  EXPECT_EQ(log.Events(), (Strings{"A", "~A", "M", "E", "B", "~B", "N", "~N", "D", "~D", "modal",
                                   "X", "~X", "modal ended", "~never"}));
}

}  // namespace
