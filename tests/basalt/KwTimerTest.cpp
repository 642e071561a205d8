// KwTimer: replacing and erasing by (call-back, id), one reference per timer, call-backs that
// change the table or drop their last reference, calls off the UI thread; on a manual clock and
// on a private GLib main context.

#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../common/TestFiles.h"
#include "Basalt/BasaltTesting.h"
#include "Basalt/CKwGLibTimerHost.h"
#include "Basalt/CKwManualTimerHost.h"
#include "Basalt/KwTimer.h"
#include "Basalt/Util.h"
#include "win32/thread.h"

// After the layer's headers.
#include <glib.h>

using namespace win32;

namespace {

// Records (id, clock) per call; an optional action runs inside OnTimer.
class CRecordingCallback final : public IKwTimerCallback {
 public:
  explicit CRecordingCallback(IKwTimerHost* pClock, std::atomic<int>* pDeaths = nullptr)
      : m_pClock(pClock), m_pDeaths(pDeaths) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refCount; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG count = --m_refCount;
    if (count == 0) delete this;
    return count;
  }
  HRESULT STDMETHODCALLTYPE OnTimer(UINT timerId) override {
    m_fired.emplace_back(timerId, m_pClock ? m_pClock->NowMs() : 0);
    if (m_action) m_action(this, timerId);
    // Still alive here even when the action dropped what the test held.
    m_afterAction = true;
    return S_OK;
  }

  ULONG RefCount() const { return m_refCount; }
  const std::vector<std::pair<UINT, uint64_t>>& Fired() const { return m_fired; }
  std::function<void(CRecordingCallback*, UINT)> m_action;

 private:
  ~CRecordingCallback() {
    if (m_pDeaths) ++*m_pDeaths;
  }

  std::atomic<ULONG> m_refCount{1};
  IKwTimerHost* m_pClock;
  std::atomic<int>* m_pDeaths;
  std::vector<std::pair<UINT, uint64_t>> m_fired;
  bool m_afterAction = false;
};

class KwTimerTest : public testing::Test {
 protected:
  void SetUp() override {
    // Assertions log into the sandbox, never into the user's state folder.
    m_root = test_files::MakeTempFolder("kwtimer-test");
    ASSERT_FALSE(m_root.empty());
    setenv("LUMIDOCK_ROOT", m_root.c_str(), 1);
    Util::Misc::SetMainAndLogicThreadId(GetCurrentThreadId(), 0);
    KwTimer::SetHost(&m_host);
    m_start = m_host.NowMs();
  }
  void TearDown() override {
    EXPECT_EQ(KwTimer::TimerCountForTesting(), 0u);
    KwTimer::SetHost(nullptr);
    BasaltTesting::Reset();
    unsetenv("LUMIDOCK_ROOT");  // a later log line must not bring the folder back
    std::filesystem::remove_all(m_root);
  }

  std::string m_root;
  CKwManualTimerHost m_host;
  uint64_t m_start = 0;
};

TEST_F(KwTimerTest, OneShotIntervalReplaceAndEraseAllOfACallback) {
  auto* pSink = new CRecordingCallback(&m_host);
  ASSERT_TRUE(KwTimer::SetTimeout(1000, pSink, 1000));
  ASSERT_TRUE(KwTimer::SetInterval(200, pSink, 6));
  ASSERT_TRUE(KwTimer::SetInterval(30, pSink, 7));
  EXPECT_EQ(pSink->RefCount(), 4u);  // ours and one per timer
  // The same pair again replaces: timer 7 now every 300 ms, counted from now.
  m_host.Advance(10);
  ASSERT_TRUE(KwTimer::SetInterval(300, pSink, 7));
  EXPECT_EQ(pSink->RefCount(), 4u);

  m_host.Advance(990);  // clock at start + 1000
  // At the same moment, the timer set first fires first.
  std::vector<std::pair<UINT, uint64_t>> expected = {
      {6, m_start + 200}, {7, m_start + 310},     {6, m_start + 400},
      {6, m_start + 600}, {7, m_start + 610},     {6, m_start + 800},
      {7, m_start + 910}, {1000, m_start + 1000}, {6, m_start + 1000}};
  EXPECT_EQ(pSink->Fired(), expected);
  EXPECT_EQ(pSink->RefCount(), 3u);  // the one-shot let go of its reference

  // Id 0 erases every timer of the call-back, and only of it.
  auto* pOther = new CRecordingCallback(&m_host);
  ASSERT_TRUE(KwTimer::SetTimeout(50, pOther, 6));
  EXPECT_TRUE(KwTimer::EraseTimerCallback(pSink, 0));
  EXPECT_EQ(pSink->RefCount(), 1u);
  EXPECT_FALSE(KwTimer::EraseTimerCallback(pSink, 6));
  size_t firedBefore = pSink->Fired().size();
  m_host.Advance(1000);
  EXPECT_EQ(pSink->Fired().size(), firedBefore);
  ASSERT_EQ(pOther->Fired().size(), 1u);
  EXPECT_EQ(m_host.WakeTime(), IKwTimerHost::kNever);
  pSink->Release();
  pOther->Release();
}

TEST_F(KwTimerTest, EqualDeadlinesFireInSettingOrderAndZeroDelayFiresNext) {
  auto* pSink = new CRecordingCallback(&m_host);
  KwTimer::SetTimeout(20, pSink, 3);
  KwTimer::SetTimeout(20, pSink, 1);
  KwTimer::SetTimeout(0, pSink, 103);
  m_host.Advance(20);
  ASSERT_EQ(pSink->Fired().size(), 3u);
  EXPECT_EQ(pSink->Fired()[0].first, 103u);
  EXPECT_EQ(pSink->Fired()[1].first, 3u);
  EXPECT_EQ(pSink->Fired()[2].first, 1u);
  pSink->Release();
}

// A 0 ms timer re-set from its own call-back, one-shot or interval, is due in the next pass, not
// again in the same one (which would never end).
TEST_F(KwTimerTest, TimersSetDuringAPassAreDueInALaterPass) {
  auto* pSink = new CRecordingCallback(&m_host);
  pSink->m_action = [](CRecordingCallback* pSelf, UINT id) {
    if (pSelf->Fired().size() >= 6) return;
    if (id == 1) KwTimer::SetTimeout(0, pSelf, 1);
    if (id == 2) KwTimer::SetInterval(0, pSelf, 2);
  };
  KwTimer::SetTimeout(0, pSink, 1);
  KwTimer::SetInterval(0, pSink, 2);
  for (size_t pass = 1; pass <= 3; ++pass) {
    KwTimer::RunDueTimers();
    EXPECT_EQ(pSink->Fired().size(), 2 * pass) << "pass " << pass;
  }
  EXPECT_TRUE(KwTimer::EraseTimerCallback(pSink, 0));
  pSink->Release();
}

TEST_F(KwTimerTest, CallbacksMayEraseTimersAndDropTheirLastReference) {
  std::atomic<int> deaths{0};
  // A call-back that erases all its timers (which held the only references left) from inside
  // its own OnTimer: it must live until OnTimer returns, then go.
  auto* pSelfEraser = new CRecordingCallback(&m_host, &deaths);
  pSelfEraser->m_action = [](CRecordingCallback* pSelf, UINT) {
    KwTimer::EraseTimerCallback(pSelf, 0);
  };
  KwTimer::SetInterval(10, pSelfEraser, 104);
  KwTimer::SetInterval(10, pSelfEraser, 102);
  pSelfEraser->Release();  // only the timers hold it now

  // A one-shot whose sink is held by nothing else dies right after its call.
  auto* pOneShot = new CRecordingCallback(&m_host, &deaths);
  KwTimer::SetTimeout(10, pOneShot, 101);
  pOneShot->Release();

  // A call-back that erases another sink's due timer: that timer does not fire.
  auto* pVictim = new CRecordingCallback(&m_host);
  auto* pKiller = new CRecordingCallback(&m_host);
  pKiller->m_action = [pVictim](CRecordingCallback*, UINT) {
    KwTimer::EraseTimerCallback(pVictim, 8);
  };
  KwTimer::SetTimeout(10, pKiller, 8);
  KwTimer::SetTimeout(10, pVictim, 8);

  m_host.Advance(100);
  EXPECT_EQ(deaths, 2);
  EXPECT_TRUE(pVictim->Fired().empty());
  EXPECT_EQ(pKiller->Fired().size(), 1u);
  pVictim->Release();
  pKiller->Release();
}

TEST_F(KwTimerTest, CallsOffTheUiThreadAssertAndDoNothing) {
  auto* pSink = new CRecordingCallback(&m_host);
  int assertsBefore = BasaltTesting::AssertCount();
  std::thread other([pSink] {
    EXPECT_FALSE(KwTimer::SetTimeout(10, pSink, 1));
    EXPECT_FALSE(KwTimer::EraseTimerCallback(pSink, 0));
  });
  other.join();
  EXPECT_EQ(BasaltTesting::AssertCount(), assertsBefore + 2);
  std::ifstream log(m_root + "/logs/basalt_tests.log");
  int logged = 0;
  for (std::string line; std::getline(log, line);) {
    logged += line.find("KwTimer called off the UI thread") != std::string::npos;
  }
  EXPECT_EQ(logged, 2);
  EXPECT_EQ(KwTimer::TimerCountForTesting(), 0u);
  EXPECT_EQ(pSink->RefCount(), 1u);
  pSink->Release();
}

// On a private main context: the timers wait in GLib's own loop, as on the UI thread.
TEST(KwTimerGLib, TimersFireFromTheMainContextIterations) {
  Util::Misc::SetMainAndLogicThreadId(GetCurrentThreadId(), 0);
  GMainContext* pContext = g_main_context_new();
  {
    CKwGLibTimerHost host(pContext);
    KwTimer::SetHost(&host);
    auto* pSink = new CRecordingCallback(&host);
    pSink->m_action = [](CRecordingCallback* pSelf, UINT id) {
      if (id == 2 && pSelf->Fired().size() >= 4) KwTimer::EraseTimerCallback(pSelf, 2);
    };
    uint64_t start = host.NowMs();
    KwTimer::SetTimeout(30, pSink, 1);
    KwTimer::SetInterval(10, pSink, 2);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (KwTimer::TimerCountForTesting() > 0 && std::chrono::steady_clock::now() < deadline) {
      g_main_context_iteration(pContext, TRUE);
    }
    EXPECT_EQ(KwTimer::TimerCountForTesting(), 0u);
    ASSERT_GE(pSink->Fired().size(), 4u);
    for (const auto& [id, at] : pSink->Fired()) {
      EXPECT_GE(at - start, id == 1 ? 30u : 10u);
    }
    EXPECT_EQ(pSink->RefCount(), 1u);
    pSink->Release();
    KwTimer::SetHost(nullptr);
  }
  // The host removed its source: nothing is left to dispatch.
  EXPECT_FALSE(g_main_context_iteration(pContext, FALSE));
  g_main_context_unref(pContext);
  BasaltTesting::Reset();
}

}  // namespace
