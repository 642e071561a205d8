#include <atomic>
#include <thread>
#include <vector>

#include "NetEngine/ABThread.h"
#include "Common/Singleton.h"
#include "NetEngineTestUtil.h"
#include "win32/sync.h"
#include "win32/thread.h"

using netengine_test::Waiter;

namespace {

// Singleton: many first users at once get one instance, built once.
class RaceProbe : public Singleton<RaceProbe> {
 public:
  static inline std::atomic<int> s_constructed{0};
  int Value() const { return m_value; }

 private:
  friend class Singleton<RaceProbe>;
  RaceProbe() {
    ++s_constructed;
    // Keeps the building window open while the other threads arrive.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    m_value = 42;
  }
  int m_value = 0;
};

TEST(SingletonTest, ConcurrentFirstUseConstructsOnce) {
  constexpr int kThreads = 8;
  std::atomic<bool> go{false};
  std::vector<RaceProbe*> seen(kThreads, nullptr);
  std::vector<int> values(kThreads, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      while (!go.load()) std::this_thread::yield();
      seen[i] = RaceProbe::Instance();
      values[i] = seen[i]->Value();  // fully built when handed out
    });
  }
  go.store(true);
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(RaceProbe::s_constructed.load(), 1);
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(seen[i], seen[0]);
    EXPECT_EQ(values[i], 42);
  }
  EXPECT_EQ(RaceProbe::Instance(), seen[0]);
}

// CABThread: start and stop rules.
class ProbeThread : public CABThread {
 public:
  // When true, Run ignores the stop event and waits for Release instead.
  explicit ProbeThread(bool ignoreStop) : m_ignoreStop(ignoreStop) {}
  ~ProbeThread() override { Release(); }

  void Run() override {
    m_waiter.Signal([&] {
      m_runs++;
      m_idKnown = ThreadId() == win32::GetCurrentThreadId();
      m_stopClearAtStart = win32::WaitForSingleObject(StopEvent(), 0) == win32::WAIT_TIMEOUT;
    });
    if (m_ignoreStop) {
      m_waiter.WaitFor([&] { return m_released; }, std::chrono::seconds(30));
    } else {
      win32::WaitForSingleObject(StopEvent(), win32::INFINITE);
    }
  }

  bool WaitRuns(int count) {
    return m_waiter.WaitFor([&] { return m_runs >= count; });
  }
  void Release() {
    m_waiter.Signal([&] { m_released = true; });
  }
  bool IdKnown() {
    std::lock_guard<std::mutex> lock(m_waiter.Mutex());
    return m_idKnown;
  }
  bool StopClearAtStart() {
    std::lock_guard<std::mutex> lock(m_waiter.Mutex());
    return m_stopClearAtStart;
  }

 private:
  const bool m_ignoreStop;
  Waiter m_waiter;
  int m_runs = 0;
  bool m_released = false;
  bool m_idKnown = false;
  bool m_stopClearAtStart = false;
};

TEST(CABThreadTest, StartTwiceGivesZeroThenMinusOne) {
  ProbeThread thread(false);
  EXPECT_EQ(thread.Stop(0), 0);  // nothing to stop
  EXPECT_EQ(thread.Start(), 0);
  EXPECT_EQ(thread.Start(), -1);
  ASSERT_TRUE(thread.WaitRuns(1));
  EXPECT_TRUE(thread.IdKnown());
  EXPECT_EQ(thread.Stop(5000), 0);
  EXPECT_EQ(thread.ThreadId(), 0u);
}

TEST(CABThreadTest, StopTimesOutOnABodyThatIgnoresTheStopEventAndCanBeRetried) {
  ProbeThread thread(true);
  ASSERT_EQ(thread.Start(), 0);
  ASSERT_TRUE(thread.WaitRuns(1));
  EXPECT_EQ(thread.Stop(100), -1);
  EXPECT_NE(thread.ThreadId(), 0u);  // still running
  EXPECT_EQ(thread.Start(), -1);
  thread.Release();
  EXPECT_EQ(thread.Stop(5000), 0);
  EXPECT_EQ(thread.ThreadId(), 0u);
}

TEST(CABThreadTest, RestartAfterStopRunsWithTheStopEventCleared) {
  ProbeThread thread(false);
  ASSERT_EQ(thread.Start(), 0);
  ASSERT_TRUE(thread.WaitRuns(1));
  ASSERT_EQ(thread.Stop(5000), 0);
  ASSERT_EQ(thread.Start(), 0);
  ASSERT_TRUE(thread.WaitRuns(2));
  EXPECT_TRUE(thread.StopClearAtStart());
  EXPECT_EQ(thread.Stop(5000), 0);
}

}  // namespace
