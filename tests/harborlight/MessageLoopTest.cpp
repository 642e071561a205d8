// Message loops and tasks: the order rules, deferral inside nested runs, quitting, destruction
// with tasks still queued, the main thread's loop driven by a plain message pump, proxies and
// weak references.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "AsyncFrame/CThread.h"
#include "AsyncFrame/MessageLoopForUI.h"
#include "AsyncFrame/MessageLoopProxyImpl.h"
#include "AsyncFrame/WeakRef.h"
#include "AsyncFrameTestSupport.h"
#include "win32/sync.h"
#include "win32/window.h"

using namespace win32;
using namespace AsyncFrame;
using asyncframe_test::CEventLog;
using asyncframe_test::CountOf;
using asyncframe_test::Record;
using asyncframe_test::Runs;
using Strings = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

namespace {

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A worker thread with its window loop running, not in the well-known table.
class WorkerLoopTest : public testing::Test {
 protected:
  void SetUp() override {
    m_pThread = std::make_unique<CTSThread>("loop_test", -1, MessageLoop::kTypeUI);
    CTSThread::StartStatus status;
    ASSERT_TRUE(m_pThread->Start(&status));
    EXPECT_TRUE(status.eventCreated);
    EXPECT_FALSE(status.threadCreationFailed || status.waitFailed);
    m_pProxy = m_pThread->Loop()->Proxy();
    m_pProxy->AddRef();
  }
  void TearDown() override {
    m_pThread.reset();
    m_pProxy->Release();
  }

  // Blocks the worker until the returned event is set, so what follows is queued together.
  HANDLE Gate() {
    HANDLE hGate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_pProxy->PostTask(FROM_HERE,
                       Record(&m_log, "gate", [hGate] { WaitForSingleObject(hGate, 10000); }));
    return hGate;
  }

  std::unique_ptr<CTSThread> m_pThread;
  MessageLoopProxyImpl* m_pProxy = nullptr;
  CEventLog m_log;
};

// Same delay keeps posting order; no delay overtakes a delayed task; a due task waits for a busy
// loop and runs at its next round.
TEST_F(WorkerLoopTest, DelayedTasksRunByTimeThenPostingOrder) {
  HANDLE hGate = Gate();
  Clock::time_point posted = Clock::now();
  m_pProxy->PostDelayedTask(FROM_HERE, Record(&m_log, "D1"), 200);
  m_pProxy->PostDelayedTask(FROM_HERE, Record(&m_log, "D2"), 200);
  m_pProxy->PostNonNestableDelayedTask(FROM_HERE, Record(&m_log, "D3"), 150);
  m_pProxy->PostTask(FROM_HERE, Record(&m_log, "now"));
  m_pProxy->PostTask(FROM_HERE, Record(&m_log, "busy", [] {
                       std::this_thread::sleep_for(std::chrono::milliseconds(300));
                     }));
  SetEvent(hGate);
  ASSERT_TRUE(m_log.WaitForCount(12));
  EXPECT_EQ(Runs(m_log.Events()), (Strings{"gate", "now", "busy", "D3", "D1", "D2"}));
  EXPECT_GE(MsSince(posted), 300);
  CloseHandle(hGate);
}

// A non-nestable task that arrives inside a nested run waits until the outermost run is idle;
// nestable ones run inside.
TEST_F(WorkerLoopTest, NonNestableTaskWaitsForTheOutermostRun) {
  MessageLoopProxyImpl* pProxy = m_pProxy;
  CEventLog* pLog = &m_log;
  m_pProxy->PostTask(FROM_HERE, Record(&m_log, "outer", [pProxy, pLog] {
                       pProxy->PostNonNestableTask(FROM_HERE, Record(pLog, "non-nestable"));
                       pProxy->PostTask(FROM_HERE, Record(pLog, "nestable"));
                       pProxy->PostTask(FROM_HERE, new ThreadQuitTask);
                       EXPECT_TRUE(MessageLoop::Current()->IsNested() == false);
                       MessageLoop::Current()->Run();
                       pLog->Add("outer-end");
                     }));
  ASSERT_TRUE(m_log.WaitForCount(6));
  EXPECT_EQ(Runs(m_log.Events()), (Strings{"outer", "nestable", "outer-end", "non-nestable"}));
}

// WM_QUIT ends the nested run and, posted again, the enclosing one: the thread ends by itself,
// and the task still queued is deleted unrun. (PeekMessage hands out a waiting WM_QUIT whatever
// its filter, so the quit even comes before the wake message's task.)
TEST_F(WorkerLoopTest, QuitMessageEndsNestedAndEnclosingRuns) {
  CEventLog* pLog = &m_log;
  MessageLoopProxyImpl* pProxy = m_pProxy;
  m_pProxy->PostTask(FROM_HERE, Record(&m_log, "outer", [pLog, pProxy] {
                       PostQuitMessage(3);
                       pProxy->PostTask(FROM_HERE, Record(pLog, "inside"));
                       MessageLoop::Current()->Run();
                       pLog->Add("outer-end");
                     }));
  ASSERT_TRUE(m_log.WaitForCount(2));
  // Stop finds the loop gone already and only waits for the thread's end.
  m_pThread->Stop();
  EXPECT_EQ(m_pThread->Loop(), nullptr);
  EXPECT_EQ(Runs(m_log.Events()), (Strings{"outer", "outer-end"}));
  EXPECT_EQ(CountOf(m_log.Events(), "~inside"), 1u);
}

// Destruction deletes every queued task unrun, also those that tasks' destructors post.
class CChainTask final : public Task {
 public:
  CChainTask(CEventLog* pLog, MessageLoopProxy* pProxy, int left)
      : m_pLog(pLog), m_pProxy(pProxy), m_left(left) {}
  ~CChainTask() override {
    m_pLog->Add("~chain" + std::to_string(m_left));
    if (m_left > 0) {
      m_pProxy->PostDelayedTask(FROM_HERE, new CChainTask(m_pLog, m_pProxy, m_left - 1), 60000);
    }
  }
  void Run() override { m_pLog->Add("chain-ran"); }

 private:
  CEventLog* m_pLog;
  MessageLoopProxy* m_pProxy;
  int m_left;
};

TEST_F(WorkerLoopTest, StoppedLoopDeletesQueuedTasksWithoutRunningThem) {
  m_pProxy->PostDelayedTask(FROM_HERE, Record(&m_log, "later"), 60000);
  m_pProxy->PostNonNestableDelayedTask(FROM_HERE, Record(&m_log, "much-later"), 120000);
  m_pProxy->PostDelayedTask(FROM_HERE, new CChainTask(&m_log, m_pProxy, 4), 60000);
  m_pThread->Stop();
  Strings events = m_log.Events();
  EXPECT_TRUE(Runs(events).empty());
  EXPECT_EQ(CountOf(events, "~later"), 1u);
  EXPECT_EQ(CountOf(events, "~much-later"), 1u);
  for (int i = 0; i <= 4; ++i) EXPECT_EQ(CountOf(events, "~chain" + std::to_string(i)), 1u);
  // Posting to the gone loop deletes the task at once.
  EXPECT_FALSE(m_pProxy->PostTask(FROM_HERE, Record(&m_log, "late")));
  EXPECT_EQ(m_log.Events().back(), "~late");
}

// A proxy whose last reference goes on another thread dies on its loop's thread.
class CRecordingProxy final : public MessageLoopProxyImpl {
 public:
  CRecordingProxy(MessageLoop* pLoop, std::atomic<DWORD>* pDiedOn)
      : MessageLoopProxyImpl(pLoop), m_pDiedOn(pDiedOn) {}

 protected:
  ~CRecordingProxy() override { *m_pDiedOn = GetCurrentThreadId(); }

 private:
  std::atomic<DWORD>* m_pDiedOn;
};

TEST_F(WorkerLoopTest, ProxyReleasedElsewhereIsDeletedOnItsLoopsThread) {
  std::atomic<DWORD> diedOn{0};
  auto* pProxy = new CRecordingProxy(m_pThread->Loop(), &diedOn);
  pProxy->AddRef();
  EXPECT_FALSE(pProxy->BelongsToCurrentThread());
  std::atomic<bool> belongs{false};
  pProxy->PostTask(FROM_HERE, Record(&m_log, "probe", [pProxy, &belongs] {
                     belongs = pProxy->BelongsToCurrentThread();
                   }));
  ASSERT_TRUE(m_log.WaitForCount(2));
  EXPECT_TRUE(belongs);
  pProxy->Release();
  Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
  while (diedOn == 0 && Clock::now() < deadline) std::this_thread::yield();
  EXPECT_EQ(diedOn, m_pThread->ThreadId());

  // Released on its own loop's thread, it goes at once.
  diedOn = 0;
  auto* pLocal = new CRecordingProxy(m_pThread->Loop(), &diedOn);
  pLocal->AddRef();
  pLocal->PostTask(FROM_HERE, Record(&m_log, "release-here", [pLocal, &diedOn] {
                     pLocal->Release();
                     EXPECT_EQ(diedOn, GetCurrentThreadId());
                   }));
  ASSERT_TRUE(m_log.WaitForCount(4));
}

// --- The main thread's loop, never run: tasks through the thread's own message pump ---

constexpr UINT kPlainMessage = WM_APP + 1;

LRESULT PlainWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kPlainMessage) reinterpret_cast<CEventLog*>(lParam)->Add("M");
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

TEST(MainThreadLoop, OneTaskPerWakeMessageBetweenWindowMessagesAndTimersForDelays) {
  CEventLog log;
  std::thread main([&log] {
    auto* pLoop = new MessageLoopForUI;
    HWND hwnd = asyncframe_test::CreatePlainWindow(u"AsyncFrameTest.Plain", PlainWindowProc);
    ASSERT_NE(hwnd, nullptr);
    // Non-nestable tasks run as nestable ones here: there is no run to nest in. Posted through
    // a proxy of its own, which no loop holds.
    auto* pExtraProxy = new MessageLoopProxyImpl(pLoop);
    pExtraProxy->AddRef();

    Clock::time_point posted = Clock::now();
    MessageLoopProxyImpl* pProxy = pLoop->Proxy();
    pProxy->PostTask(FROM_HERE, Record(&log, "A"));
    PostMessageW(hwnd, kPlainMessage, 0, reinterpret_cast<LPARAM>(&log));
    pProxy->PostTask(FROM_HERE, Record(&log, "B"));
    pExtraProxy->PostNonNestableTask(FROM_HERE, Record(&log, "N"));
    pProxy->PostDelayedTask(FROM_HERE, Record(&log, "D", [] { PostQuitMessage(0); }), 1);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    // Delays go through a window timer of at least 10 ms; the timer counts whole milliseconds,
    // so a finer clock may see up to one less.
    EXPECT_GE(MsSince(posted), 9);

    // Tasks still queued when the loop goes are deleted unrun.
    pProxy->PostTask(FROM_HERE, Record(&log, "never"));
    pExtraProxy->Release();
    delete pLoop;
    DestroyWindow(hwnd);
  });
  main.join();
  EXPECT_EQ(log.Events(), (Strings{"A", "~A", "M", "B", "~B", "N", "~N", "D", "~D", "~never"}));
}

// --- Weak references ---

struct CTarget {
  int value = 7;
  WeakRefFactory<CTarget> weakRefs{this};
};

TEST(WeakRefs, ValidUntilTheTargetGoesAndCopiesShareTheFlag) {
  WeakRef<CTarget> empty;
  EXPECT_FALSE(empty.IsValid());
  EXPECT_EQ(empty.Get(), nullptr);

  auto pTarget = std::make_unique<CTarget>();
  WeakRef<CTarget> first = pTarget->weakRefs.GetWeakRef();
  WeakRef<CTarget> copy = first;
  WeakRef<CTarget> assigned;
  assigned = copy;
  ASSERT_TRUE(first.IsValid());
  EXPECT_EQ(copy.Get()->value, 7);

  // Invalidated: every reference handed out so far; a new one is valid again.
  pTarget->weakRefs.InvalidateWeakRefs();
  EXPECT_FALSE(first.IsValid());
  EXPECT_EQ(assigned.Get(), nullptr);
  WeakRef<CTarget> fresh = pTarget->weakRefs.GetWeakRef();
  EXPECT_TRUE(fresh.IsValid());

  // The target dies: its references stay safe to test, and the flags go with the last one.
  pTarget.reset();
  EXPECT_FALSE(fresh.IsValid());
  EXPECT_EQ(fresh.Get(), nullptr);

  WeakFlagOwner owner;
  EXPECT_FALSE(owner.HasRefs());
  WeakFlag* pFlag = owner.GetRef();
  EXPECT_TRUE(owner.HasRefs());
  EXPECT_EQ(owner.GetRef(), pFlag);  // the same flag while valid
  pFlag->Release();
  pFlag->Release();
}

}  // namespace
