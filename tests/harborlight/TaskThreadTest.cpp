// The task threads: start-up and the stop order, names, posting by id, the registry, StopSoon,
// a thread that cannot start, and the loop clock across the tick count's wrap.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "../common/SpawnChild.h"
#include "AsyncFrame/AsyncFrame.h"
#include "AsyncFrame/CThread.h"
#include "AsyncFrame/LoopClock.h"
#include "AsyncFrame/MessageLoop.h"
#include "AsyncFrame/MessageLoopProxyImpl.h"
#include "AsyncFrame/ThreadRegistry.h"
#include "AsyncFrameTestSupport.h"
#include "win32/sync.h"
#include "win32/time.h"

using namespace win32;
using namespace AsyncFrame;
using asyncframe_test::CEventLog;
using asyncframe_test::CountOf;
using asyncframe_test::Record;
using asyncframe_test::Runs;
using Strings = std::vector<std::string>;

namespace {

constexpr char kClockChildVariable[] = "LUMIDOCK_TEST_CLOCK_CHILD";
// The child's tick count as its layer loads: 2 s short of the wrap, and the delayed task it posts
// waits 2.5 s, so the wrap falls inside the wait.
constexpr DWORD kClockChildTickAtLoad = 0xFFFFF830u;

TEST(TaskThreads, StartNamedPostByIdAndStopInReverseOrder) {
  ASSERT_EQ(StartThreads(), 1);
  std::set<std::string> names = asyncframe_test::ThreadNames("/proc/self/task");
  EXPECT_TRUE(names.count("thread_file"));
  EXPECT_TRUE(names.count("thread_main_log"));  // the kernel keeps 15 bytes
  EXPECT_TRUE(names.count("thread_logic_lo"));
  EXPECT_EQ(CThreadRegistry::Find(kThreadMainLogic)->Name(), "thread_main_logic");
  EXPECT_EQ(CThreadRegistry::Find(kThreadMain)->ThreadId(), GetCurrentThreadId());

  CEventLog log;
  for (int id = kThreadFile; id <= kThreadLogicLongTask; ++id) {
    DWORD expected = CThreadRegistry::Find(id)->ThreadId();
    std::string name = "on" + std::to_string(id);
    ASSERT_TRUE(PostTaskToThread(id, FROM_HERE, Record(&log, name, [expected, &log] {
                                   if (GetCurrentThreadId() != expected) log.Add("wrong thread");
                                 })));
    // Not due before the end: deleted unrun when its thread stops.
    MessageLoopProxy* pProxy = GetThreadProxy(id);
    ASSERT_NE(pProxy, nullptr);
    EXPECT_TRUE(
        pProxy->PostDelayedTask(FROM_HERE, Record(&log, "late" + std::to_string(id)), 60000));
    pProxy->Release();
  }
  ASSERT_TRUE(log.WaitForCount(6));
  // Thread 0's tasks wait for the program's message loop, which this test never runs.
  ASSERT_TRUE(PostTaskToThread(kThreadMain, FROM_HERE, Record(&log, "main")));
  EXPECT_FALSE(PostTaskToThread(4, FROM_HERE, Record(&log, "four")));
  EXPECT_FALSE(PostTaskToThread(-1, FROM_HERE, Record(&log, "minus")));
  EXPECT_EQ(GetThreadProxy(4), nullptr);

  StopAllThreads();
  Strings events = log.Events();
  EXPECT_EQ(CountOf(events, "wrong thread"), 0u);
  EXPECT_EQ(Runs(events).size(), 3u);
  // Threads 3, 2, 1 in that order, then the main thread's loop; nothing ran after the stop.
  Strings deletions(events.end() - 4, events.end());
  EXPECT_EQ(deletions, (Strings{"~late3", "~late2", "~late1", "~main"}));
  EXPECT_EQ(CountOf(events, "~four"), 1u);
  EXPECT_EQ(CountOf(events, "~minus"), 1u);
  for (int id = 0; id < kThreadCount; ++id) {
    EXPECT_EQ(GetThreadProxy(id), nullptr);
    EXPECT_EQ(CThreadRegistry::Find(id), nullptr);
  }
  EXPECT_EQ(MessageLoop::Current(), nullptr);
  EXPECT_FALSE(PostTaskToThread(kThreadFile, FROM_HERE, Record(&log, "after")));
  EXPECT_EQ(log.Events().back(), "~after");

  // A second start-up after a full stop works again.
  ASSERT_EQ(StartThreads(), 1);
  MessageLoopProxy* pFile = GetThreadProxy(kThreadFile);
  ASSERT_NE(pFile, nullptr);
  EXPECT_TRUE(pFile->BelongsToCurrentThread() == false);
  pFile->Release();
  StopAllThreads();
}

TEST(TaskThreads, RegistrySlotStaysWithItsFirstOwner) {
  CTSThread first("first", 2, MessageLoop::kTypeUI);
  {
    CTSThread second("second", 2, MessageLoop::kTypeUI);
    EXPECT_EQ(CThreadRegistry::Find(2), &first);
  }
  EXPECT_EQ(CThreadRegistry::Find(2), &first);
  CTSThread unregistered("none", -1, MessageLoop::kTypeUI);
  EXPECT_EQ(CThreadRegistry::Find(-1), nullptr);
}

// The second StopSoon posts nothing: with one quit task, only the nested run ends.
TEST(TaskThreads, StopSoonTwicePostsOneQuitTask) {
  CEventLog log;  // outlives the thread, which records into it
  CTSThread thread("stop_twice", -1, MessageLoop::kTypeUI);
  ASSERT_TRUE(thread.Start(nullptr));
  MessageLoopProxyImpl* pProxy = thread.Loop()->Proxy();
  pProxy->AddRef();
  HANDLE hNested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  pProxy->PostTask(FROM_HERE, Record(&log, "outer", [&log, hNested] {
                     SetEvent(hNested);
                     MessageLoop::Current()->Run();
                     log.Add("nested-ended");
                   }));
  ASSERT_EQ(WaitForSingleObject(hNested, 10000), WAIT_OBJECT_0);
  thread.StopSoon();
  thread.StopSoon();
  ASSERT_TRUE(log.WaitForCount(3));
  // Still running: a task posted now runs.
  ASSERT_TRUE(pProxy->PostTask(FROM_HERE, Record(&log, "still-alive")));
  ASSERT_TRUE(log.WaitForCount(5));
  EXPECT_EQ(Runs(log.Events()), (Strings{"outer", "nested-ended", "still-alive"}));
  // Ending the outer run takes another quit task.
  pProxy->PostTask(FROM_HERE, new ThreadQuitTask);
  thread.Stop();
  EXPECT_EQ(thread.Loop(), nullptr);
  pProxy->Release();
  CloseHandle(hNested);
}

TEST(TaskThreadsDeathTest, WorkerThatCannotStartEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        CTSThread::FailStartsForTesting(true);
        StartThreads();
      },
      "RaiseException 0xDEADDEAD");
}

// --- The loop clock across the tick count's wrap ---

// A clock reading between two tick counts read in the same millisecond: the tick it was taken at.
struct TimedReading {
  DWORD tick;
  DWORD reading;
};

bool ReadInOneTick(TimedReading* pOut) {
  const DWORD before = GetTickCount();
  pOut->reading = LoopClockNow();
  pOut->tick = GetTickCount();
  return pOut->tick == before;
}

// Run only as the child of ReadingsStayOrderedAcrossTheTickWrap, whose tick count starts just
// below 2^32.
TEST(LoopClockChildProcess, AcrossTheWrap) {
  if (!getenv(kClockChildVariable)) GTEST_SKIP() << "runs as a child only";
  // The first reading sets the base; one taken within a single tick tells it exactly.
  TimedReading first;
  while (!ReadInOneTick(&first)) {
  }
  ASSERT_GE(first.tick, kClockChildTickAtLoad) << "the count wrapped before the case began";
  const DWORD base = first.tick - first.reading;

  CEventLog log;  // outlives the thread, which records into it
  CTSThread thread("clock_child", -1, MessageLoop::kTypeUI);
  ASSERT_TRUE(thread.Start(nullptr));
  auto started = std::chrono::steady_clock::now();
  thread.Loop()->Proxy()->PostDelayedTask(FROM_HERE, Record(&log, "delayed"), 2500);
  DWORD last = first.reading;
  int checkedAfterWrap = 0;
  while (!log.WaitForCount(1, std::chrono::milliseconds(20))) {
    TimedReading now;
    const bool exact = ReadInOneTick(&now);
    EXPECT_GE(now.reading, last);
    last = now.reading;
    if (!exact) continue;
    // After the wrap a reading is one less than the plain difference.
    const bool wrapped = now.tick < base;
    EXPECT_EQ(now.reading, now.tick - base - (wrapped ? 1 : 0)) << "at tick " << now.tick;
    checkedAfterWrap += wrapped;
  }
  EXPECT_GT(checkedAfterWrap, 0);
  // Due by the loop clock across the wrap, so not early by the steady one.
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2400));
}

TEST(LoopClock, ReadingsStayOrderedAcrossTheTickWrap) {
  std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  std::vector<std::string> args = {self, "--gtest_filter=LoopClockChildProcess.AcrossTheWrap"};
  pid_t pid =
      test_common::SpawnChild(args,
                              {"LUMIDOCK_TICK_AT_LOAD=" + std::to_string(kClockChildTickAtLoad),
                               std::string(kClockChildVariable) + "=1"},
                              {"LUMIDOCK_TICK_AT_LOAD="});
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
