// The session's timers around the ends of a login attempt: the step timer (1) never outlives
// the attempt that armed it, the retry timer (2) starts the next one, and Stop leaves no timer
// behind however the timers are firing at that moment.

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "../common/Polling.h"
#include "Common/ObjectLifecycleMgr.h"
#include "NetEngine/IOHandler.h"
#include "NetEngine/IOThread.h"
#include "NetEngine/IOTimerTable.h"
#include "ServerSessionFixture.h"
#include "msg.pb.h"

namespace server_road_test {
namespace {

using Values = std::vector<int>;

// Runs a function on the I/O thread, as the session's own callbacks run, and waits for it.
class IoThreadCall : public CIOHandler {
 public:
  ~IoThreadCall() override {
    CObjectLifecycleMgr::Instance()->Unregister(static_cast<CIOHandler*>(this));
  }
  bool Run(std::function<void()> function) {
    m_function = std::move(function);
    CIOOperation* pOp = CIOOperation::Create(this, 0xCA11, 0);
    if (!pOp || !CIOOperation::Post(pOp)) return false;
    CIOOperation::Release(pOp);
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::seconds(20), [&] { return m_done; });
  }
  void OnIoComplete(CIOOperation* /*pOp*/) override {
    m_function();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_done = true;
    m_changed.notify_all();
  }

 private:
  std::function<void()> m_function;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_done = false;
};

bool OnIoThread(std::function<void()> function) {
  IoThreadCall call;
  return call.Run(std::move(function));
}

bool SessionTimerArmed(uint32_t timerId) {
  return CIOThread::Instance()->TimerTable()->HasTimerForTesting(CLogicCenter::Instance(), timerId);
}

size_t CountOf(const std::vector<UiRecord>& records, int type, int value) {
  return std::count_if(records.begin(), records.end(), [&](const UiRecord& record) {
    return record.type == type && record.value == value;
  });
}

// A retry attempt (state 3) that fails at any step ends with timer 1 killed: left armed, it
// would report a time-out and close every server channel of whatever came after.
struct RetryFault {
  const char* pFault;  // hits the first two attempts; null: the entry server never resolves
  bool registered;
  Values results;  // a retry's failure at the communication server posts no result
};

void PrintTo(const RetryFault& fault, std::ostream* pOut) {
  *pOut << (fault.pFault ? fault.pFault : "unresolvable");
}

class RetryStepFailureTest : public ServerSessionTest,
                             public ::testing::WithParamInterface<RetryFault> {};

TEST_P(RetryStepFailureTest, EndsWithTheStepTimerKilled) {
  const RetryFault& fault = GetParam();
  // The step timer is shorter than the retry, so one left armed fires before the next attempt;
  // both leave room for a step's round trip on a machine the parallel suite keeps busy.
  m_periods.stepTimeoutMs = 1500;
  m_periods.retryMs = 4000;
  StartSim();
  if (fault.pFault) AddFault(fault.pFault, 2);
  StartHost(fault.registered ? SeededPc(false) : Seed{});
  if (!fault.pFault) Session()->SetEntryServerForTesting("::1", 443);
  Session()->Login();
  ASSERT_TRUE(m_sink.WaitFor([](const std::vector<UiRecord>& records) {
    return CountOf(records, UIMsg_login_state, CLogicCenter::kStateOffline) >= 2;
  }));
  ASSERT_TRUE(DrainIoThread());
  EXPECT_FALSE(SessionTimerArmed(CLogicCenter::kTimerStep));
  EXPECT_TRUE(SessionTimerArmed(CLogicCenter::kTimerRetry));
  if (!fault.pFault) {
    EXPECT_EQ(m_sink.Values(UIMsg_login_result), fault.results);
    return;
  }
  ASSERT_TRUE(m_sink.WaitMessage(UIMsg_login_state, CLogicCenter::kStateOnline));
  EXPECT_EQ(m_sink.Values(UIMsg_login_result), fault.results);
  EXPECT_EQ(m_sink.Values(UIMsg_login_state), (Values{1, 3, 3, 2}));
  EXPECT_FALSE(SessionTimerArmed(CLogicCenter::kTimerStep));
  EXPECT_FALSE(SessionTimerArmed(CLogicCenter::kTimerRetry));
}

INSTANTIATE_TEST_SUITE_P(Steps, RetryStepFailureTest,
                         ::testing::Values(RetryFault{nullptr, true, {1, 1}},
                                           RetryFault{"refuse", false, {2, 2}},
                                           RetryFault{"close-mid-frame:5001", true, {3, 3}},
                                           RetryFault{"close-mid-frame:1007", true, {4, 4}},
                                           RetryFault{"refuse-comm", true, {5}}));

// Timer 1 after success, and a login reply while online: neither touches the session.
TEST_F(ServerSessionTest, OnlineSessionIgnoresALateStepTimerAndASecondLoginReply) {
  StartSim();
  StartHost(SeededPc(false));
  LoginOnline();
  ASSERT_TRUE(m_sim->WaitForEvent("get-unbind-info", 1, 10000));
  ASSERT_TRUE(Eventually([] { return Session()->ChannelCountForTesting() == 1; }));
  EXPECT_FALSE(SessionTimerArmed(CLogicCenter::kTimerStep));
  EXPECT_TRUE(SessionTimerArmed(CLogicCenter::kTimerHeartbeat));
  m_sink.Clear();

  ASSERT_TRUE(OnIoThread([] { Session()->OnTimer(CLogicCenter::kTimerStep); }));
  protocol::C2SPcLoginResp reply;
  reply.set_id_pc(kPcId);
  reply.set_pc_onsvr_secs(1);
  ASSERT_TRUE(m_sim->SendToPc(kPcId, protocol::C2S_pc_login, reply.SerializeAsString()));
  ASSERT_TRUE(m_sink.WaitMessage(UIMsg_login_state, CLogicCenter::kStateOnline));
  ASSERT_TRUE(DrainIoThread());
  EXPECT_EQ(State(), CLogicCenter::kStateOnline);
  EXPECT_TRUE(m_sink.Values(UIMsg_login_result).empty());
  EXPECT_EQ(m_sink.Values(UIMsg_login_state), Values{2});
  EXPECT_EQ(Session()->ChannelCountForTesting(), 1u);
  EXPECT_EQ(m_sim->EventCount("get-unbind-info"), 1u);
  EXPECT_EQ(m_sim->EventCount("comm-closed"), 0u);
  EXPECT_TRUE(SessionTimerArmed(CLogicCenter::kTimerHeartbeat));
  EXPECT_FALSE(SessionTimerArmed(CLogicCenter::kTimerRetry));
}

// Logout leaves state 3 with only the retry timer armed; when it fires the PC logs in again.
TEST_F(ServerSessionTest, LogoutThenTheRetryTimerLogsInAgain) {
  m_periods.retryMs = 1500;
  StartSim();
  StartHost(SeededPc(false));
  LoginOnline();
  ASSERT_EQ(Session()->Logout(), win32::S_OK);
  ASSERT_TRUE(m_sink.WaitMessage(UIMsg_login_state, CLogicCenter::kStateOffline));
  ASSERT_TRUE(DrainIoThread());
  EXPECT_FALSE(SessionTimerArmed(CLogicCenter::kTimerStep));
  EXPECT_FALSE(SessionTimerArmed(CLogicCenter::kTimerHeartbeat));
  EXPECT_TRUE(SessionTimerArmed(CLogicCenter::kTimerRetry));
  EXPECT_EQ(m_sim->EventCount("login"), 1u);

  ASSERT_TRUE(m_sim->WaitForEvent("login", 2, 10000));
  ASSERT_TRUE(m_sink.WaitFor([](const std::vector<UiRecord>& records) {
    return CountOf(records, UIMsg_login_state, CLogicCenter::kStateOnline) == 2;
  }));
  // Only the first login is a login result; the retry's is not.
  EXPECT_EQ(m_sink.Values(UIMsg_login_result), Values{0});
  EXPECT_EQ(m_sink.Values(UIMsg_login_state), (Values{1, 2, 3, 2}));
}

// Stop while the step timer's callback runs on the I/O thread: what the callback arms must not
// outlive the session and fire into the next Start.
TEST_F(ServerSessionTest, StopWhileATimeoutRunsLeavesNoTimerBehind) {
  StartHost(SeededPc(false));
  void* const pHandler = static_cast<CIOHandler*>(Session());
  auto gone = [pHandler] {
    CLifecycleGuard probe;
    return CObjectLifecycleMgr::Instance()->Use(pHandler, &probe) == nullptr;
  };
  std::thread stopper;
  bool stopBegan = false;
  ASSERT_TRUE(OnIoThread([&] {
    // Inside a callback of the session, as the timer table calls it.
    CLifecycleGuard guard;
    if (!CObjectLifecycleMgr::Instance()->Use(pHandler, &guard)) return;
    stopper = std::thread([&] { m_host.Ui().Run([] { Session()->Stop(); }); });
    stopBegan =
        test_common::PollUntil(gone, std::chrono::seconds(20), std::chrono::milliseconds(1));
    Session()->OnTimer(CLogicCenter::kTimerStep);  // sets state 3, which arms the retry timer
  }));
  ASSERT_TRUE(stopper.joinable());
  stopper.join();
  ASSERT_TRUE(stopBegan);
  for (uint32_t timerId = CLogicCenter::kTimerStep; timerId <= CLogicCenter::kTimerSideChannels;
       ++timerId) {
    EXPECT_FALSE(SessionTimerArmed(timerId)) << "timer " << timerId;
  }
  EXPECT_EQ(State(), CLogicCenter::kStateStopped);
}

}  // namespace
}  // namespace server_road_test
