// Windows and message queues: ordering, stale handles, quit, waits, destruction inside the
// procedure, cross-thread sends, timers.

#include "win32/window.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "win32/sync.h"
#include "win32/thread.h"

namespace {

using namespace win32;
using Clock = std::chrono::steady_clock;

constexpr UINT kMsgData = WM_USER + 1;
constexpr UINT kMsgAsk = WM_USER + 2;
constexpr UINT kMsgAnswer = WM_USER + 3;
constexpr UINT kMsgDestroySelf = WM_USER + 4;
constexpr DWORD kPumpTimeoutMs = 10000;

// Aborts the process when a case hangs (a lost message or a deadlocked send), so a fault shows
// as a failure instead of a stuck test run.
class Watchdog {
 public:
  explicit Watchdog(int seconds)
      : m_thread([this, seconds] {
          std::unique_lock<std::mutex> lock(m_lock);
          if (!m_done.wait_for(lock, std::chrono::seconds(seconds), [this] { return m_stop; })) {
            std::fprintf(stderr, "watchdog: test hung\n");
            std::abort();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(m_lock);
      m_stop = true;
    }
    m_done.notify_all();
    m_thread.join();
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_done;
  bool m_stop = false;
  std::thread m_thread;
};

// What a test window saw; the window procedure finds it through the user data.
struct Recorder {
  struct Seen {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD threadId;
  };
  std::vector<Seen> seen;
  // Returns true when it handled the message (result in *pResult).
  std::function<bool(HWND, UINT, WPARAM, LPARAM, LRESULT*)> handler;

  size_t Count(UINT message) const {
    size_t n = 0;
    for (const Seen& s : seen) n += s.message == message;
    return n;
  }
};

LRESULT TestProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CREATE) {
    auto* pCreate = reinterpret_cast<CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(pCreate->lpCreateParams));
  }
  auto* pRecorder = reinterpret_cast<Recorder*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (pRecorder) {
    pRecorder->seen.push_back({message, wParam, lParam, GetCurrentThreadId()});
    LRESULT result = 0;
    if (pRecorder->handler && pRecorder->handler(hwnd, message, wParam, lParam, &result)) {
      return result;
    }
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

HINSTANCE TestInstance() { return reinterpret_cast<HINSTANCE>(0x1000); }
const char16_t kClassName[] = u"LumidockTestWindow";

// Dispatches until `done` holds; false after the time-out.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = kPumpTimeoutMs) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  MSG msg;
  for (;;) {
    while (!done() && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (done()) return true;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left.count()), QS_ALLINPUT);
  }
}

class WindowTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = TestProc;
    wc.hInstance = TestInstance();
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<intptr_t>(COLOR_WINDOW + 1));
    wc.lpszClassName = kClassName;
    // Registered once per process (repeated runs find it there).
    if (RegisterClassExW(&wc) == 0) {
      ASSERT_EQ(GetLastError(), ERROR_CLASS_ALREADY_EXISTS);
    }
  }

  void TearDown() override {
    // Leave no message for the next case.
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
  }

  static HWND Create(Recorder* pRecorder, HWND parent = nullptr) {
    return CreateWindowExW(0, kClassName, nullptr, WS_POPUP, 0, 0, 0, 0, parent, nullptr,
                           TestInstance(), pRecorder);
  }

  Watchdog m_watchdog{60};
};

// --- Classes and creation ---

TEST_F(WindowTest, ClassesAreKeyedByNameIgnoringCaseAndInstance) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = TestProc;
  wc.hInstance = TestInstance();
  wc.lpszClassName = u"lumidocktestWINDOW";
  EXPECT_EQ(RegisterClassExW(&wc), 0);
  EXPECT_EQ(GetLastError(), ERROR_CLASS_ALREADY_EXISTS);

  // Another module may use the same name.
  wc.hInstance = reinterpret_cast<HINSTANCE>(0x2000);
  ASSERT_NE(RegisterClassExW(&wc), 0);
  Recorder recorder;
  HWND hwnd = CreateWindowExW(0, u"LUMIDOCKTESTWINDOW", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE,
                              nullptr, wc.hInstance, &recorder);
  ASSERT_NE(hwnd, nullptr);
  EXPECT_FALSE(UnregisterClassW(wc.lpszClassName, wc.hInstance));
  EXPECT_EQ(GetLastError(), ERROR_CLASS_HAS_WINDOWS);
  EXPECT_TRUE(DestroyWindow(hwnd));
  EXPECT_TRUE(UnregisterClassW(wc.lpszClassName, wc.hInstance));
  EXPECT_FALSE(UnregisterClassW(wc.lpszClassName, wc.hInstance));
  EXPECT_EQ(GetLastError(), ERROR_CLASS_DOES_NOT_EXIST);

  EXPECT_EQ(CreateWindowExW(0, u"NoSuchClass", nullptr, 0, 0, 0, 0, 0, nullptr, nullptr,
                            TestInstance(), nullptr),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_CANNOT_FIND_WND_CLASS);
}

TEST_F(WindowTest, CreateDeliversParamsAndMinusOneFailsCreation) {
  Recorder recorder;
  HWND hwnd = Create(&recorder);
  ASSERT_NE(hwnd, nullptr);
  EXPECT_TRUE(IsWindow(hwnd));
  EXPECT_EQ(GetWindowLongPtrW(hwnd, GWLP_USERDATA), reinterpret_cast<LONG_PTR>(&recorder));
  DWORD pid = 0;
  EXPECT_EQ(GetWindowThreadProcessId(hwnd, &pid), GetCurrentThreadId());
  EXPECT_EQ(pid, static_cast<DWORD>(getpid()));
  EXPECT_TRUE(DestroyWindow(hwnd));

  Recorder refusing;
  refusing.handler = [](HWND, UINT message, WPARAM, LPARAM, LRESULT* pResult) {
    *pResult = -1;
    return message == WM_CREATE;
  };
  EXPECT_EQ(Create(&refusing), nullptr);
  EXPECT_EQ(refusing.Count(WM_NCDESTROY), 1u);
}

// --- Posting ---

TEST_F(WindowTest, PostsFromThreeThreadsArriveInProducerOrderOnOwnerThread) {
  constexpr int kProducers = 3;
  constexpr int kPerProducer = 1000;
  Recorder recorder;
  HWND hwnd = Create(&recorder);
  ASSERT_NE(hwnd, nullptr);

  std::atomic<int> failures{0};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) {
        if (!PostMessageW(hwnd, kMsgData, static_cast<WPARAM>(p), i)) ++failures;
      }
    });
  }
  EXPECT_TRUE(PumpUntil([&] { return recorder.Count(kMsgData) == kProducers * kPerProducer; }));
  for (auto& t : producers) t.join();
  EXPECT_EQ(failures.load(), 0);

  int next[kProducers] = {};
  for (const auto& s : recorder.seen) {
    if (s.message != kMsgData) continue;
    EXPECT_EQ(s.threadId, GetCurrentThreadId());
    ASSERT_LT(s.wParam, static_cast<WPARAM>(kProducers));
    EXPECT_EQ(s.lParam, next[s.wParam]++);
  }
  EXPECT_TRUE(DestroyWindow(hwnd));
}

TEST_F(WindowTest, PostToStaleWindowFailsWith1400) {
  Recorder recorder;
  HWND hwnd = Create(&recorder);
  ASSERT_NE(hwnd, nullptr);
  ASSERT_TRUE(DestroyWindow(hwnd));
  EXPECT_FALSE(PostMessageW(hwnd, kMsgData, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_EQ(GetWindowLongPtrW(hwnd, GWLP_USERDATA), 0);
  EXPECT_FALSE(DestroyWindow(hwnd));

  // A window whose thread has ended is gone too, and so is that thread's queue.
  HWND orphan = nullptr;
  DWORD threadId = 0;
  std::thread([&] {
    orphan = Create(nullptr);
    threadId = GetCurrentThreadId();
  }).join();
  ASSERT_NE(orphan, nullptr);
  EXPECT_FALSE(PostMessageW(orphan, kMsgData, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_FALSE(PostThreadMessageW(threadId, kMsgData, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
}

TEST_F(WindowTest, DestroyWhileAnotherThreadPostsNeverDeliversToTheDeadWindow) {
  Recorder recorder;
  HWND hwnd = Create(&recorder);
  ASSERT_NE(hwnd, nullptr);
  // Posts until the window is gone; every refusal must be the stale-window one.
  std::thread producer([hwnd] {
    for (;;) {
      if (PostMessageW(hwnd, kMsgData, 0, 0)) continue;
      if (GetLastError() == ERROR_INVALID_WINDOW_HANDLE) return;
      EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_QUOTA);  // the owner fell behind
    }
  });
  EXPECT_TRUE(PumpUntil([&] { return recorder.Count(kMsgData) >= 100; }));
  ASSERT_TRUE(DestroyWindow(hwnd));
  size_t delivered = recorder.seen.size();
  producer.join();
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    EXPECT_NE(msg.hwnd, hwnd);
    DispatchMessageW(&msg);
  }
  EXPECT_EQ(recorder.seen.size(), delivered);
}

TEST_F(WindowTest, QueueRefusesPostsBeyondTenThousand) {
  HWND hwnd = Create(nullptr);
  ASSERT_NE(hwnd, nullptr);
  for (int i = 0; i < 10000; ++i) ASSERT_TRUE(PostMessageW(hwnd, kMsgData, 0, i));
  EXPECT_FALSE(PostMessageW(hwnd, kMsgData, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_QUOTA);
  // Destroying the window drops its queued messages.
  ASSERT_TRUE(DestroyWindow(hwnd));
  MSG msg;
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
}

TEST_F(WindowTest, ThreadMessagesReachTheQueueWithoutWindow) {
  // A null window posts to the calling thread.
  ASSERT_TRUE(PostMessageW(nullptr, kMsgData, 1, 2));
  MSG msg;
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.hwnd, nullptr);
  EXPECT_EQ(msg.message, kMsgData);
  EXPECT_EQ(msg.lParam, 2);
  EXPECT_EQ(DispatchMessageW(&msg), 0);

  std::atomic<DWORD> workerId{0};
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::thread worker([&] {
    MSG m;
    PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE);  // creates the queue
    workerId = GetCurrentThreadId();
    SetEvent(ready);
    BOOL got = GetMessageW(&m, nullptr, 0, 0);
    EXPECT_TRUE(got);
    EXPECT_EQ(m.message, kMsgAnswer);
    EXPECT_EQ(m.wParam, 9u);
  });
  ASSERT_EQ(WaitForSingleObject(ready, kPumpTimeoutMs), WAIT_OBJECT_0);
  EXPECT_TRUE(PostThreadMessageW(workerId, kMsgAnswer, 9, 0));
  worker.join();
  CloseHandle(ready);

  // A thread that never touched a queue has none.
  std::thread([&] { workerId = GetCurrentThreadId(); }).join();
  EXPECT_FALSE(PostThreadMessageW(workerId, kMsgData, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
}

// --- Quit and waits ---

TEST_F(WindowTest, QuitComesAfterPostedMessages) {
  Recorder recorder;
  HWND hwnd = Create(&recorder);
  ASSERT_NE(hwnd, nullptr);
  ASSERT_TRUE(PostMessageW(hwnd, kMsgData, 0, 1));
  ASSERT_TRUE(PostMessageW(hwnd, kMsgData, 0, 2));
  PostQuitMessage(7);
  ASSERT_TRUE(PostMessageW(hwnd, kMsgData, 0, 3));

  MSG msg;
  std::vector<LPARAM> order;
  BOOL result;
  while ((result = GetMessageW(&msg, nullptr, 0, 0)) > 0) {
    order.push_back(msg.lParam);
    DispatchMessageW(&msg);
  }
  EXPECT_EQ(result, FALSE);
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_EQ(msg.wParam, 7u);
  EXPECT_EQ(order, (std::vector<LPARAM>{1, 2, 3}));
  // Taken once.
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_TRUE(DestroyWindow(hwnd));
}

TEST_F(WindowTest, WaitMessageWakesOnNewPostOnly) {
  HWND hwnd = Create(nullptr);
  ASSERT_NE(hwnd, nullptr);
  ASSERT_TRUE(PostMessageW(hwnd, kMsgData, 0, 1));
  MSG msg;
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));

  // The message already seen must not end the wait; only the next post may.
  std::atomic<bool> posted{false};
  std::thread poster([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    posted = true;
    EXPECT_TRUE(PostMessageW(hwnd, kMsgData, 0, 2));
  });
  EXPECT_TRUE(WaitMessage());
  EXPECT_TRUE(posted.load());
  poster.join();

  ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.lParam, 1);
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(msg.lParam, 2);
  EXPECT_TRUE(DestroyWindow(hwnd));
}

TEST_F(WindowTest, MsgWaitReportsObjectsInputAndTimeout) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  MSG msg;
  PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &event, FALSE, 20, QS_ALLINPUT), WAIT_TIMEOUT);

  std::thread poster([] { PostMessageW(nullptr, kMsgData, 0, 0); });
  poster.join();  // posts to its own queue, not ours
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &event, FALSE, 20, QS_ALLINPUT), WAIT_TIMEOUT);

  DWORD self = GetCurrentThreadId();
  std::thread([self] { PostThreadMessageW(self, kMsgData, 0, 0); }).join();
  EXPECT_EQ(MsgWaitForMultipleObjects(1, &event, FALSE, kPumpTimeoutMs, QS_ALLINPUT),
            WAIT_OBJECT_0 + 1);
  // The object wins over input.
  SetEvent(event);
  EXPECT_EQ(
      MsgWaitForMultipleObjectsEx(1, &event, kPumpTimeoutMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE),
      WAIT_OBJECT_0);
  CloseHandle(event);
  // Input already waiting counts only with MWMO_INPUTAVAILABLE.
  PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
  EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 20, QS_ALLINPUT, 0), WAIT_TIMEOUT);
  EXPECT_EQ(MsgWaitForMultipleObjectsEx(0, nullptr, 20, QS_ALLINPUT, MWMO_INPUTAVAILABLE),
            WAIT_OBJECT_0);
}

std::atomic<int> g_hookCalls{0};
void CountingWait(int fd, DWORD milliseconds) {
  ++g_hookCalls;
  pollfd pfd{fd, POLLIN, 0};
  poll(&pfd, 1, milliseconds == INFINITE ? -1 : static_cast<int>(milliseconds));
}

TEST_F(WindowTest, GetMessageSleepsThroughTheWaitHook) {
  SetMessageWaitHook(CountingWait);
  DWORD self = GetCurrentThreadId();
  MSG msg;
  PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
  std::thread poster([self] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    PostThreadMessageW(self, kMsgData, 0, 5);
  });
  EXPECT_TRUE(GetMessageW(&msg, nullptr, 0, 0));
  EXPECT_EQ(msg.lParam, 5);
  poster.join();
  SetMessageWaitHook(nullptr);
  EXPECT_GT(g_hookCalls.load(), 0);
}

// --- Destruction ---

TEST_F(WindowTest, DestroyWindowInsideItsOwnProcedureIsSafe) {
  Recorder recorder;
  bool checkedInside = false;
  recorder.handler = [&](HWND hwnd, UINT message, WPARAM, LPARAM, LRESULT* pResult) {
    if (message != kMsgDestroySelf) return false;
    EXPECT_TRUE(DestroyWindow(hwnd));
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_FALSE(PostMessageW(hwnd, kMsgData, 0, 0));
    checkedInside = true;
    *pResult = 0;
    return true;
  };
  HWND hwnd = Create(&recorder);
  ASSERT_NE(hwnd, nullptr);
  ASSERT_TRUE(PostMessageW(hwnd, kMsgDestroySelf, 0, 0));
  ASSERT_TRUE(PostMessageW(hwnd, kMsgData, 0, 0));  // dropped with the window
  ASSERT_TRUE(SetTimer(hwnd, 1, 10, nullptr));      // dropped too
  EXPECT_TRUE(PumpUntil([&] { return checkedInside; }));
  PumpUntil([] { return false; }, 50);

  std::vector<UINT> tail;
  for (const auto& s : recorder.seen) {
    if (s.message != WM_CREATE) tail.push_back(s.message);
  }
  EXPECT_EQ(tail, (std::vector<UINT>{kMsgDestroySelf, WM_DESTROY, WM_NCDESTROY}));
}

TEST_F(WindowTest, CloseDestroysThroughDefaultProcedureAndOnlyOwnerMayDestroy) {
  Recorder recorder;
  HWND hwnd = Create(&recorder);
  ASSERT_NE(hwnd, nullptr);
  std::thread([hwnd] {
    EXPECT_FALSE(DestroyWindow(hwnd));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  }).join();
  ASSERT_TRUE(PostMessageW(hwnd, WM_CLOSE, 0, 0));
  EXPECT_TRUE(PumpUntil([&] { return !IsWindow(hwnd); }));
  EXPECT_EQ(recorder.Count(WM_DESTROY), 1u);
}

// --- Sending ---

TEST_F(WindowTest, CrossThreadSendWaitsForResultAndServesSendsBack) {
  // The sender's own window: the owner's procedure sends back to it while the sender waits.
  Recorder senderRecorder;
  senderRecorder.handler = [](HWND, UINT message, WPARAM, LPARAM, LRESULT* pResult) {
    *pResult = 100;
    return message == kMsgAnswer;
  };
  HWND senderWindow = Create(&senderRecorder);
  ASSERT_NE(senderWindow, nullptr);

  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<HWND> ownerWindow{nullptr};
  std::atomic<DWORD> ownerThread{0};
  std::thread owner([&] {
    Recorder recorder;
    recorder.handler = [&](HWND, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
      if (message != kMsgAsk) return false;
      *pResult =
          static_cast<LRESULT>(wParam) + lParam + SendMessageW(senderWindow, kMsgAnswer, 0, 0);
      return true;
    };
    HWND hwnd = Create(&recorder);
    ownerWindow = hwnd;
    ownerThread = GetCurrentThreadId();
    SetEvent(ready);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    EXPECT_EQ(recorder.Count(kMsgAsk), 1u);
    EXPECT_EQ(recorder.seen.back().threadId, GetCurrentThreadId());
    DestroyWindow(hwnd);
  });
  ASSERT_EQ(WaitForSingleObject(ready, kPumpTimeoutMs), WAIT_OBJECT_0);
  EXPECT_EQ(SendMessageW(ownerWindow, kMsgAsk, 20, 22), 142);
  ASSERT_EQ(senderRecorder.Count(kMsgAnswer), 1u);
  EXPECT_EQ(senderRecorder.seen.back().threadId, GetCurrentThreadId());
  EXPECT_TRUE(PostThreadMessageW(ownerThread, WM_QUIT, 0, 0));
  owner.join();
  CloseHandle(ready);

  // Same thread: a direct call.
  EXPECT_EQ(SendMessageW(senderWindow, kMsgAnswer, 0, 0), 100);
  EXPECT_TRUE(DestroyWindow(senderWindow));
  EXPECT_EQ(SendMessageW(senderWindow, kMsgAnswer, 0, 0), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

TEST_F(WindowTest, QueueStatusReportsWaitingAndNewKindsAndNoMouse) {
  Recorder recorder;
  HWND hwnd = Create(&recorder);
  ASSERT_NE(hwnd, nullptr);
  MSG msg;
  PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
  EXPECT_EQ(GetQueueStatus(QS_ALLINPUT), 0u);

  ASSERT_TRUE(PostMessageW(hwnd, kMsgAsk, 0, 0));
  EXPECT_EQ(GetQueueStatus(QS_POSTMESSAGE | QS_MOUSE), (QS_POSTMESSAGE << 16) | QS_POSTMESSAGE);
  // Seen once: no longer new, still waiting.
  EXPECT_EQ(GetQueueStatus(QS_POSTMESSAGE), QS_POSTMESSAGE << 16);
  ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(GetQueueStatus(QS_ALLINPUT), 0u);

  // A message sent from another thread waits until the owner looks at its queue.
  std::thread sender([hwnd] { EXPECT_EQ(SendMessageW(hwnd, kMsgAnswer, 0, 0), 0); });
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kPumpTimeoutMs);
  while ((GetQueueStatus(QS_SENDMESSAGE) >> 16) == 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(GetQueueStatus(QS_SENDMESSAGE) >> 16, QS_SENDMESSAGE);
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));  // runs the sent message
  sender.join();
  EXPECT_EQ(recorder.Count(kMsgAnswer), 1u);

  ASSERT_EQ(SetTimer(hwnd, 5, 10, nullptr), 1u);
  EXPECT_TRUE(PumpUntil([] { return (GetQueueStatus(QS_TIMER) >> 16) == QS_TIMER; }));
  EXPECT_TRUE(KillTimer(hwnd, 5));
  // Nothing ever paints or moves a mouse here.
  EXPECT_FALSE(PeekMessageW(&msg, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE));
  EXPECT_EQ(GetQueueStatus(QS_MOUSE | QS_PAINT), 0u);
  EXPECT_TRUE(DestroyWindow(hwnd));
}

// --- Timers ---

TEST_F(WindowTest, TimersFireRepeatedlyUntilKilled) {
  Recorder recorder;
  HWND hwnd = Create(&recorder);
  ASSERT_NE(hwnd, nullptr);
  ASSERT_TRUE(SetTimer(hwnd, 5, 15, nullptr));
  EXPECT_TRUE(PumpUntil([&] { return recorder.Count(WM_TIMER) >= 3; }));
  for (const auto& s : recorder.seen) {
    if (s.message == WM_TIMER) {
      EXPECT_EQ(s.wParam, 5u);
    }
  }
  EXPECT_TRUE(KillTimer(hwnd, 5));
  EXPECT_FALSE(KillTimer(hwnd, 5));
  size_t fired = recorder.Count(WM_TIMER);
  PumpUntil([] { return false; }, 60);
  EXPECT_EQ(recorder.Count(WM_TIMER), fired);
  EXPECT_TRUE(DestroyWindow(hwnd));
}

TEST_F(WindowTest, TimerSetFromAnotherThreadWakesTheOwner) {
  Recorder recorder;
  HWND hwnd = Create(&recorder);
  ASSERT_NE(hwnd, nullptr);
  MSG msg;
  PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
  // GetMessageW parks with no deadline; the new timer must wake it to re-arm its wait.
  std::thread setter([hwnd] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(SetTimer(hwnd, 8, 10, nullptr));
  });
  ASSERT_TRUE(GetMessageW(&msg, hwnd, 0, 0));
  setter.join();
  EXPECT_EQ(msg.message, WM_TIMER);
  EXPECT_EQ(msg.wParam, 8u);
  EXPECT_TRUE(DestroyWindow(hwnd));
  EXPECT_FALSE(SetTimer(hwnd, 8, 10, nullptr));
}

}  // namespace
