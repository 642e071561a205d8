// The thread's message queue as a GLib source, without a display: order under a flood from
// another thread, nested and modal loops run from a handler, WM_QUIT, timers and sends inside a
// modal loop, and no busy loop once the queue is empty.

#include <glib.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>

#include <atomic>
#include <thread>
#include <vector>

#include "win32/gui.h"
#include "win32/message_pump.h"
#include "win32/thread.h"
#include "win32/ui_backend.h"
#include "win32/window.h"

using namespace win32;

namespace {

constexpr UINT kSeq = WM_USER + 1;
constexpr UINT kAsk = WM_USER + 2;
constexpr int kCount = 10000;

// The test's own context, made the thread's default and pumped by the queue.
class MessagePumpTest : public ::testing::Test {
 public:
  void SetUp() override {
    m_pContext = g_main_context_new();
    g_main_context_push_thread_default(m_pContext);
    ASSERT_TRUE(AttachMessagePump(m_pContext));
    // A watchdog: a stalled loop fails the test instead of hanging it.
    m_pWatchdog = g_timeout_source_new_seconds(20);
    g_source_set_callback(
        m_pWatchdog,
        [](gpointer data) -> gboolean {
          auto* pSelf = static_cast<MessagePumpTest*>(data);
          pSelf->m_stalled = true;
          for (bool* pFlag : pSelf->m_loops) *pFlag = true;
          return G_SOURCE_CONTINUE;
        },
        this, nullptr);
    g_source_attach(m_pWatchdog, m_pContext);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = Proc;
    wc.lpszClassName = u"PumpTestWindow";
    RegisterClassExW(&wc);
    m_hwnd = CreateWindowExW(0, u"PumpTestWindow", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             nullptr, this);
    ASSERT_NE(m_hwnd, nullptr);
    SetWindowLongPtrW(m_hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }
  void TearDown() override {
    DestroyWindow(m_hwnd);
    g_source_destroy(m_pWatchdog);
    g_source_unref(m_pWatchdog);
    DetachMessagePump();
    g_main_context_pop_thread_default(m_pContext);
    g_main_context_unref(m_pContext);
    EXPECT_FALSE(m_stalled) << "a loop stalled";
  }

  // Runs a modal loop that the watchdog can end.
  bool RunLoop(bool* pEnded) {
    m_loops.push_back(pEnded);
    bool result = RunModalLoop(pEnded);
    m_loops.pop_back();
    return result;
  }

  static LRESULT Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* pSelf = reinterpret_cast<MessagePumpTest*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!pSelf) return DefWindowProcW(hwnd, message, wParam, lParam);
    return pSelf->Handle(message, wParam, lParam);
  }
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER) {
      ++m_timers;
      if (m_quitOnTimer) PostQuitMessage(5);
      return 0;
    }
    if (message == kAsk) {
      m_askDepth = static_cast<int>(m_loops.size());
      return static_cast<LRESULT>(wParam * 2);
    }
    if (message != kSeq) return 0;
    m_seen.push_back(static_cast<int>(wParam));
    if (lParam != -static_cast<LPARAM>(wParam)) m_corrupt = true;
    m_maxDepth = std::max(m_maxDepth, static_cast<int>(m_loops.size()));
    // Nested loops run from inside a message's dispatch keep the queue flowing.
    if (wParam == 2000) {
      bool ended = false;
      m_pInner = &ended;
      RunLoop(&ended);
      m_pInner = nullptr;
    } else if (wParam == 3000) {
      bool ended = false;
      m_pInnermost = &ended;
      RunLoop(&ended);
      m_pInnermost = nullptr;
    } else if (wParam == 4000 && m_pInnermost) {
      *m_pInnermost = true;
    } else if (wParam == 6000 && m_pInner) {
      *m_pInner = true;
    } else if (wParam == kCount - 1 && m_pOuter) {
      *m_pOuter = true;
    }
    return 0;
  }

  GMainContext* m_pContext = nullptr;
  GSource* m_pWatchdog = nullptr;
  HWND m_hwnd = nullptr;
  std::vector<bool*> m_loops;
  bool m_stalled = false;
  bool* m_pOuter = nullptr;
  bool* m_pInner = nullptr;
  bool* m_pInnermost = nullptr;
  std::vector<int> m_seen;
  bool m_corrupt = false;
  int m_maxDepth = 0;
  int m_timers = 0;
  bool m_quitOnTimer = false;
  int m_askDepth = -1;
};

// 10,000 posts from another thread arrive in order, also while loops nest two deep inside
// handlers; a full queue (1816) makes the producer retry, nothing is lost.
TEST_F(MessagePumpTest, TenThousandPostsArriveInOrderThroughNestedLoops) {
  std::atomic<int> refusals{0};
  HWND hwnd = m_hwnd;
  std::thread producer([hwnd, &refusals] {
    for (int i = 0; i < kCount; ++i) {
      while (!PostMessageW(hwnd, kSeq, i, -static_cast<LPARAM>(i))) {
        ASSERT_EQ(GetLastError(), ERROR_NOT_ENOUGH_QUOTA);
        ++refusals;
        std::this_thread::yield();
      }
    }
  });
  bool ended = false;
  m_pOuter = &ended;
  EXPECT_TRUE(RunLoop(&ended));
  producer.join();
  ASSERT_EQ(m_seen.size(), static_cast<size_t>(kCount));
  for (int i = 0; i < kCount; ++i) ASSERT_EQ(m_seen[i], i);
  EXPECT_FALSE(m_corrupt);
  EXPECT_EQ(m_maxDepth, 3);

  // Empty again: after at most one iteration left over from the last ring, the loop has
  // nothing to do (a descriptor left readable would keep it spinning).
  int busy = 0;
  while (busy < 10 && g_main_context_iteration(m_pContext, FALSE)) ++busy;
  EXPECT_LE(busy, 1);
  pollfd pfd{GetQueueWakeFd(), POLLIN, 0};
  EXPECT_EQ(poll(&pfd, 1, 0), 0);
  EXPECT_FALSE(IsQueueReady(nullptr));
}

// WM_QUIT ends a modal loop and stays pending, so the loop around it ends too; GetMessageW then
// takes it with its code.
TEST_F(MessagePumpTest, QuitEndsModalLoopsAndReachesGetMessage) {
  ASSERT_TRUE(SetTimer(m_hwnd, 1, 10, nullptr));
  m_quitOnTimer = true;
  bool never = false;
  EXPECT_FALSE(RunLoop(&never));
  EXPECT_TRUE(IsQuitPending());
  bool stillNever = false;
  EXPECT_FALSE(RunLoop(&stillNever));  // a loop started now ends at once
  KillTimer(m_hwnd, 1);
  PostMessageW(m_hwnd, kSeq, 1, -1);
  MSG msg;
  // Posted messages first, then the quit.
  ASSERT_TRUE(GetMessageW(&msg, nullptr, 0, 0));
  EXPECT_EQ(msg.message, kSeq);
  DispatchMessageW(&msg);
  EXPECT_FALSE(GetMessageW(&msg, nullptr, 0, 0));
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_EQ(msg.wParam, 5u);
  EXPECT_FALSE(IsQuitPending());
}

// Inside a modal loop: window timers fire, and another thread's SendMessageW is served there
// (the sender is not stuck until the loop ends).
TEST_F(MessagePumpTest, TimersAndCrossThreadSendsRunInsideAModalLoop) {
  ASSERT_TRUE(SetTimer(m_hwnd, 7, 10, nullptr));
  bool ended = false;
  LRESULT answer = 0;
  HWND hwnd = m_hwnd;
  std::thread sender([hwnd, &answer] { answer = SendMessageW(hwnd, kAsk, 21, 0); });
  // The loop ends once three timers have fired and the send was served.
  GSource* pCheck = g_timeout_source_new(5);
  struct Check {
    MessagePumpTest* pSelf;
    bool* pEnded;
  } check{this, &ended};
  g_source_set_callback(
      pCheck,
      [](gpointer data) -> gboolean {
        auto* pCheck = static_cast<Check*>(data);
        if (pCheck->pSelf->m_timers >= 3 && pCheck->pSelf->m_askDepth >= 0) *pCheck->pEnded = true;
        return G_SOURCE_CONTINUE;
      },
      &check, nullptr);
  g_source_attach(pCheck, m_pContext);
  EXPECT_TRUE(RunLoop(&ended));
  g_source_destroy(pCheck);
  g_source_unref(pCheck);
  sender.join();
  KillTimer(m_hwnd, 7);
  EXPECT_EQ(answer, 42);
  EXPECT_EQ(m_askDepth, 1);
  EXPECT_GE(m_timers, 3);
}

// A source that only counts the context's iterations (each one prepares every source).
struct CountingSource {
  GSource base;
  int prepares;
};

GSourceFuncs g_countingFuncs = {
    [](GSource* pSource, gint* pTimeout) -> gboolean {
      ++reinterpret_cast<CountingSource*>(pSource)->prepares;
      *pTimeout = -1;
      return FALSE;
    },
    [](GSource*) -> gboolean { return FALSE; },
    [](GSource*, GSourceFunc, gpointer) -> gboolean { return G_SOURCE_CONTINUE; },
    nullptr, nullptr, nullptr};

// GetMessageW on a pumped thread sleeps in the context: other sources run meanwhile, and with
// nothing to do the context is not iterated again and again.
TEST_F(MessagePumpTest, GetMessageSleepsInTheContextWhileItWaits) {
  GSource* pCounter = g_source_new(&g_countingFuncs, sizeof(CountingSource));
  reinterpret_cast<CountingSource*>(pCounter)->prepares = 0;
  g_source_attach(pCounter, m_pContext);
  bool fired = false;
  struct Fire {
    bool* pFired;
    HWND hwnd;
  } fire{&fired, m_hwnd};
  GSource* pTimeout = g_timeout_source_new(300);
  g_source_set_callback(
      pTimeout,
      [](gpointer data) -> gboolean {
        auto* pFire = static_cast<Fire*>(data);
        *pFire->pFired = true;
        PostQuitMessage(0);
        return G_SOURCE_REMOVE;
      },
      &fire, nullptr);
  g_source_attach(pTimeout, m_pContext);
  MSG msg;
  EXPECT_FALSE(GetMessageW(&msg, nullptr, 0, 0));
  EXPECT_TRUE(fired);
  // One iteration sleeps until the timeout; a few more at most for the quit it posts.
  EXPECT_LE(reinterpret_cast<CountingSource*>(pCounter)->prepares, 5);
  g_source_destroy(pCounter);
  g_source_unref(pCounter);
  g_source_unref(pTimeout);
}

}  // namespace

namespace {

// Without an X display the GUI does not start, and the layer stays without a desktop.
TEST(InitializeGui, FailsWithoutADisplay) {
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  int argc = 1;
  char name[] = "test";
  char* args[] = {name, nullptr};
  char** argv = args;
  EXPECT_FALSE(InitializeGui(&argc, &argv));
  EXPECT_EQ(GetUiBackend(), nullptr);
}

}  // namespace
