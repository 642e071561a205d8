#include <stdlib.h>

#include <cinttypes>
#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "../common/ChildCase.h"
#include "../common/TickWrap.h"
#include "NetEngine/IOThread.h"
#include "NetEngine/IOTimerTable.h"
#include "NetEngineTestUtil.h"
#include "win32/base.h"

using netengine_test::DrainIoThread;
using netengine_test::ReadWholeFile;
using netengine_test::RecordingHandler;

namespace {

// Timer table rules, driven by hand: Tick is what the loop calls with the time it waited.
class CIOTimerTableTest : public ::testing::Test {
 protected:
  CIOTimerTable m_table;
};

TEST_F(CIOTimerTableTest, EmptyTableWaitsForever) {
  EXPECT_EQ(m_table.NextTimeout(), win32::INFINITE);
}

TEST_F(CIOTimerTableTest, PeriodicTimerFiresOncePerPassAndReloadsFully) {
  RecordingHandler handler;
  m_table.SetTimer(&handler, 1001, 50, true);
  m_table.Tick(120);
  EXPECT_EQ(handler.Timers().size(), 1u);
  EXPECT_EQ(m_table.NextTimeout(), 50u);  // lateness is not carried over
  m_table.Tick(49);
  EXPECT_EQ(handler.Timers().size(), 1u);
  EXPECT_EQ(m_table.NextTimeout(), 1u);
  m_table.Tick(1);
  EXPECT_EQ(handler.Timers().size(), 2u);
  EXPECT_EQ(m_table.CountForTesting(), 1u);
}

TEST_F(CIOTimerTableTest, SetTimerTwiceKeepsOneTimerRestartedWithTheNewInterval) {
  RecordingHandler handler;
  m_table.SetTimer(&handler, 1, 100, false);
  m_table.Tick(40);
  m_table.SetTimer(&handler, 1, 300, true);
  EXPECT_EQ(m_table.CountForTesting(), 1u);
  EXPECT_EQ(m_table.NextTimeout(), 300u);
  m_table.Tick(299);
  EXPECT_TRUE(handler.Timers().empty());
  m_table.Tick(1);
  EXPECT_EQ(handler.Timers().size(), 1u);
  EXPECT_EQ(m_table.CountForTesting(), 1u);  // now periodic
}

TEST_F(CIOTimerTableTest, KillAndRemoveTouchOnlyTheirTimers) {
  RecordingHandler first;
  RecordingHandler second;
  m_table.SetTimer(&first, 1, 10, false);
  m_table.SetTimer(&first, 2, 20, false);
  m_table.SetTimer(&second, 1, 30, false);
  m_table.KillTimer(&first, 1);
  EXPECT_EQ(m_table.CountForTesting(), 2u);
  EXPECT_EQ(m_table.NextTimeout(), 20u);
  m_table.RemoveHandler(&first);
  EXPECT_EQ(m_table.CountForTesting(), 1u);
  EXPECT_EQ(m_table.NextTimeout(), 30u);
}

// Due timers are copied out before any callback runs.
TEST_F(CIOTimerTableTest, OneShotKilledByEarlierCallbackOfTheSamePassStillFiresOnce) {
  RecordingHandler killer;
  RecordingHandler victim;
  killer.onTimer = [&](unsigned int) { m_table.KillTimer(&victim, 7); };
  m_table.SetTimer(&killer, 1, 10, false);
  m_table.SetTimer(&victim, 7, 10, false);
  m_table.Tick(10);
  EXPECT_EQ(victim.Timers().size(), 1u);
  EXPECT_EQ(m_table.CountForTesting(), 0u);
  m_table.Tick(100);
  EXPECT_EQ(victim.Timers().size(), 1u);
}

TEST_F(CIOTimerTableTest, TimerOfHandlerDestroyedEarlierInThePassIsNeverCalled) {
  RecordingHandler killer;
  auto victim = std::make_unique<RecordingHandler>();
  bool victimCalled = false;
  victim->onTimer = [&](unsigned int) { victimCalled = true; };
  killer.onTimer = [&](unsigned int) { victim.reset(); };
  m_table.SetTimer(&killer, 1, 10, false);
  m_table.SetTimer(victim.get(), 2, 10, false);
  m_table.Tick(10);
  EXPECT_EQ(killer.Timers().size(), 1u);
  EXPECT_FALSE(victimCalled);
}

TEST_F(CIOTimerTableTest, DestroyedHandlerLeavesNoTimer) {
  auto handler = std::make_unique<RecordingHandler>();
  CIOThread::Instance()->SetTimer(handler.get(), 3, 1000, true);
  EXPECT_EQ(CIOThread::Instance()->TimerTable()->CountForTesting(), 1u);
  handler.reset();
  EXPECT_EQ(CIOThread::Instance()->TimerTable()->CountForTesting(), 0u);
}

// The table lock covers list work only: another thread may set timers while a callback runs.
TEST_F(CIOTimerTableTest, CallbacksRunWithoutTheTableLock) {
  RecordingHandler handler;
  RecordingHandler other;
  bool otherThreadDone = false;
  handler.onTimer = [&](unsigned int) {
    auto done = std::async(std::launch::async, [&] { m_table.SetTimer(&other, 9, 25, false); });
    otherThreadDone = done.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  };
  m_table.SetTimer(&handler, 1, 10, false);
  m_table.Tick(10);
  EXPECT_TRUE(otherThreadDone);
  EXPECT_EQ(m_table.NextTimeout(), 25u);
}

// The loop on the real I/O thread.
class CIOThreadTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(CIOThread::Instance()->Start(), 0); }
  void TearDown() override {
    EXPECT_TRUE(DrainIoThread());
    EXPECT_EQ(CIOThread::Instance()->Stop(5000), 0);
  }
};

TEST_F(CIOThreadTest, SetTimerFromAnotherThreadWakesAnIdleLoop) {
  RecordingHandler handler;
  ASSERT_TRUE(DrainIoThread());  // the loop is now in a wait without time-out
  CIOThread::Instance()->SetTimer(&handler, 5, 30, false);
  ASSERT_TRUE(handler.WaitTimers(1));
  ASSERT_TRUE(DrainIoThread());
  auto timers = handler.Timers();
  ASSERT_EQ(timers.size(), 1u);
  EXPECT_EQ(timers[0].timerId, 5u);
  EXPECT_EQ(timers[0].threadId, CIOThread::Instance()->ThreadId());
  EXPECT_EQ(CIOThread::Instance()->TimerTable()->CountForTesting(), 0u);
}

TEST_F(CIOThreadTest, TimerSetFromACallbackIsSeenByTheNextWait) {
  RecordingHandler handler;
  handler.onIoComplete = [&](CIOOperation*) {
    CIOThread::Instance()->SetTimer(&handler, 6, 20, false);
  };
  CIOOperation* pOp = CIOOperation::Create(&handler, 81, 0);
  ASSERT_EQ(CIOOperation::Post(pOp), 1);
  CIOOperation::Release(pOp);
  ASSERT_TRUE(handler.WaitTimers(1));
  EXPECT_EQ(handler.Timers()[0].timerId, 6u);
}

// Reads the thread's user+system CPU time in clock ticks.
long ThreadCpuTicks(win32::DWORD threadId) {
  std::string stat = ReadWholeFile("/proc/self/task/" + std::to_string(threadId) + "/stat");
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  // Fields after the command name: state is field 3; utime and stime are fields 14 and 15.
  long utime = 0;
  long stime = 0;
  if (sscanf(stat.c_str() + close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld",
             &utime, &stime) != 2) {
    return -1;
  }
  return utime + stime;
}

TEST_F(CIOThreadTest, WithoutTimersTheLoopWaitsWithoutUsingTheProcessor) {
  ASSERT_TRUE(DrainIoThread());
  ASSERT_EQ(CIOThread::Instance()->TimerTable()->NextTimeout(), win32::INFINITE);
  long before = ThreadCpuTicks(CIOThread::Instance()->ThreadId());
  ASSERT_GE(before, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the span being measured
  long after = ThreadCpuTicks(CIOThread::Instance()->ThreadId());
  EXPECT_LE(after - before, 3);  // a spinning loop would take about 30
}

// Elapsed time is the unsigned tick difference, so timers keep firing across the wrap.
TEST(CIOThreadWrapTest, PeriodicTimerKeepsFiringAcrossTheTickWrap) {
  const test_common::ProgramResult child = test_common::RunChildCase(
      "CIOThreadWrapChildProcess.DISABLED_PeriodicTimerKeepsFiringAcrossTheTickWrap",
      {test_common::TickAtLoadShortOfWrap(3000)});
  EXPECT_TRUE(child.Passed()) << child.output;
}

class CIOThreadWrapChildProcess : public CIOThreadTest {};

TEST_F(CIOThreadWrapChildProcess, DISABLED_PeriodicTimerKeepsFiringAcrossTheTickWrap) {
  ASSERT_TRUE(test_common::WaitUntilWrapIn(150));
  RecordingHandler handler;
  CIOThread::Instance()->SetTimer(&handler, 1001, 50, true);
  bool fired = handler.WaitTimers(8);
  CIOThread::Instance()->KillTimer(&handler, 1001);
  EXPECT_TRUE(DrainIoThread());
  EXPECT_TRUE(fired);
  EXPECT_LT(win32::GetTickCount(), 0x80000000u);  // the run crossed the wrap
}

// Leaving the loop.
TEST(CIOThreadLoopTest, LoopEndsWhenItsPortIsClosed) {
  std::unique_ptr<CIOThread> pThread = CIOThread::CreateForTesting();
  ASSERT_EQ(pThread->Start(), 0);
  pThread->ClosePortForTesting();
  // The quit packet can no longer be posted; the loop must have left on its own.
  EXPECT_EQ(pThread->CABThread::Stop(5000), 0);
}

TEST(CIOThreadLoopTest, StartIsRefusedWithoutAPort) {
  std::unique_ptr<CIOThread> pThread = CIOThread::CreateForTesting();
  pThread->ClosePortForTesting();
  EXPECT_EQ(pThread->Start(), -1);
  EXPECT_EQ(pThread->Stop(100), 0);
}

TEST(CIOThreadLoopTest, StopWithoutThreadAndTwiceIsHarmless) {
  std::unique_ptr<CIOThread> pThread = CIOThread::CreateForTesting();
  EXPECT_EQ(pThread->Stop(100), 0);
  ASSERT_EQ(pThread->Start(), 0);
  EXPECT_EQ(pThread->Start(), -1);
  EXPECT_EQ(pThread->Stop(5000), 0);
  EXPECT_EQ(pThread->Stop(5000), 0);
}

}  // namespace
