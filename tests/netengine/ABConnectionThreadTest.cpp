#include <memory>
#include <vector>

#include "LoopbackTestUtil.h"
#include "NetEngine/ABConnectionThread.h"
#include "NetEngine/IOOperation.h"
#include "NetEngine/IOThread.h"
#include "NetEngine/TcpDevice.h"
#include "NetEngineTestUtil.h"

using netengine_test::DrainIoThread;
using netengine_test::Listener;
using netengine_test::PollUntil;
using netengine_test::RecordingHandler;
using netengine_test::RefusingAddress;
using netengine_test::StuckListener;

namespace {

constexpr uint32_t kConnectSlots = CABConnectionThread::kMaxEvents - 2;  // 62

CABConnectionThread* Thread() { return CABConnectionThread::Instance(); }

class CABConnectionThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_inUseAtStart = CIOOperation::Allocator::Instance()->InUseCountForTesting();
    ASSERT_EQ(CIOThread::Instance()->Start(), 0);
    ASSERT_EQ(Thread()->Start(), 0);
  }
  // Every case leaves the slots empty, the queue empty and every operation back in the pool.
  void TearDown() override {
    m_devices.clear();
    EXPECT_TRUE(PollUntil([] { return Thread()->WaitCountForTesting() == 2; }));
    EXPECT_EQ(Thread()->Stop(5000), 0);
    EXPECT_EQ(Thread()->QueuedCountForTesting(), 0u);
    EXPECT_TRUE(DrainIoThread());
    EXPECT_EQ(CIOThread::Instance()->Stop(5000), 0);
    EXPECT_EQ(CIOOperation::Allocator::Instance()->InUseCountForTesting(), m_inUseAtStart);
  }

  // Starts a connect whose completion reaches m_handler with `code`.
  CTcpDevice* Connect(const sockaddr_in& address, uint32_t code) {
    m_devices.push_back(std::make_unique<CTcpDevice>());
    CIOOperation* pOp = CIOOperation::Create(&m_handler, code, 0);
    m_devices.back()->Connect(reinterpret_cast<const sockaddr*>(&address), sizeof(address), pOp);
    CIOOperation::Release(pOp);
    return m_devices.back().get();
  }
  // The error of the completion with `code`, once it has arrived; -1 when it has not.
  int64_t ErrorOf(uint32_t code) {
    for (const auto& completion : m_handler.Completions()) {
      if (completion.code == code) return completion.error;
    }
    return -1;
  }
  bool WaitFor(uint32_t code) {
    return PollUntil([&] { return ErrorOf(code) >= 0; });
  }

  size_t m_inUseAtStart = 0;
  RecordingHandler m_handler;
  std::vector<std::unique_ptr<CTcpDevice>> m_devices;  // closed before m_handler goes
};

// Outcomes: every request ends in exactly one completion with the connect's own result.
TEST_F(CABConnectionThreadTest, RefusedConnectCompletesWithTheRefusalNot10035) {
  CTcpDevice* pRefused = Connect(RefusingAddress(), 101);
  ASSERT_TRUE(WaitFor(101));
  EXPECT_EQ(ErrorOf(101), win32::WSAECONNREFUSED);

  // The slot's event now serves another connect; closing the refused socket must not signal it.
  StuckListener stuck;
  ASSERT_TRUE(stuck.Ready());
  CTcpDevice* pStuck = Connect(stuck.Address(), 102);
  ASSERT_TRUE(PollUntil([] { return Thread()->WaitCountForTesting() == 3; }));
  pRefused->Close();
  EXPECT_FALSE(PollUntil([&] { return ErrorOf(102) >= 0; }, std::chrono::milliseconds(200)));
  pStuck->Close();
  ASSERT_TRUE(WaitFor(102));
  EXPECT_EQ(ErrorOf(102), win32::WSAENOTSOCK);
}

// Slots: 62 connects at once, the rest queued; a finished connect frees its slot.
TEST_F(CABConnectionThreadTest, SixtyThirdConnectWaitsUntilOneOfTheSixtyTwoEnds) {
  StuckListener stuck;
  ASSERT_TRUE(stuck.Ready());
  Listener open;
  std::vector<CTcpDevice*> inFlight;
  for (uint32_t i = 0; i < kConnectSlots; ++i)
    inFlight.push_back(Connect(stuck.Address(), 200 + i));
  Connect(open.Address(), 300);
  ASSERT_TRUE(PollUntil([] {
    return Thread()->WaitCountForTesting() == CABConnectionThread::kMaxEvents &&
           Thread()->QueuedCountForTesting() == 1;
  }));
  ASSERT_TRUE(DrainIoThread());
  EXPECT_TRUE(m_handler.Completions().empty());  // all 62 still in progress, the 63rd not started

  // A socket closed during its connect signals its slot, which the queued connect then takes.
  inFlight[7]->Close();
  ASSERT_TRUE(WaitFor(207));
  EXPECT_EQ(ErrorOf(207), win32::WSAENOTSOCK);
  ASSERT_TRUE(WaitFor(300));
  EXPECT_EQ(ErrorOf(300), 0);
  EXPECT_EQ(Thread()->QueuedCountForTesting(), 0u);
  EXPECT_TRUE(PollUntil([] { return Thread()->WaitCountForTesting() == 2 + kConnectSlots - 1; }));

  // Closing the rest frees every slot, each with one completion.
  for (CTcpDevice* pDevice : inFlight) pDevice->Close();
  ASSERT_TRUE(PollUntil([&] { return m_handler.Completions().size() == kConnectSlots + 1; }));
  EXPECT_TRUE(PollUntil([] { return Thread()->WaitCountForTesting() == 2; }));
  ASSERT_TRUE(DrainIoThread());
  EXPECT_EQ(m_handler.Completions().size(), kConnectSlots + 1);
}

TEST_F(CABConnectionThreadTest, QueuedConnectOfAClosedDeviceEndsWith995AndNeverStarts) {
  StuckListener stuck;
  ASSERT_TRUE(stuck.Ready());
  for (uint32_t i = 0; i < kConnectSlots; ++i) Connect(stuck.Address(), 200 + i);
  Listener open;
  CTcpDevice* pQueued = Connect(open.Address(), 300);
  ASSERT_TRUE(PollUntil([] { return Thread()->QueuedCountForTesting() == 1; }));

  pQueued->Close();
  EXPECT_EQ(Thread()->QueuedCountForTesting(), 0u);
  ASSERT_TRUE(WaitFor(300));
  EXPECT_EQ(ErrorOf(300), win32::ERROR_OPERATION_ABORTED);
  EXPECT_EQ(open.Accept(100), -1);  // it never reached the listener
}

TEST_F(CABConnectionThreadTest, SlotTwoEndingFirstLeavesSlotsThreeAndFourToComplete) {
  StuckListener stuck;
  ASSERT_TRUE(stuck.Ready());
  Listener open;
  // Queued while the thread is stopped, so one wake starts all three: slot 2 to the open
  // listener (done at once), slots 3 and 4 to the stuck one.
  ASSERT_EQ(Thread()->Stop(5000), 0);
  Connect(open.Address(), 400);
  Connect(stuck.Address(), 401);
  Connect(stuck.Address(), 402);
  ASSERT_EQ(Thread()->Start(), 0);

  ASSERT_TRUE(WaitFor(400));
  EXPECT_EQ(ErrorOf(400), 0);
  ASSERT_TRUE(PollUntil([] { return Thread()->WaitCountForTesting() == 4; }));
  EXPECT_EQ(ErrorOf(401), -1);
  EXPECT_EQ(ErrorOf(402), -1);

  stuck.Release();  // the retried SYNs are answered now
  ASSERT_TRUE(WaitFor(401));
  ASSERT_TRUE(WaitFor(402));
  EXPECT_EQ(ErrorOf(401), 0);
  EXPECT_EQ(ErrorOf(402), 0);
  EXPECT_TRUE(PollUntil([] { return Thread()->WaitCountForTesting() == 2; }));
}

// Stop and start: connects in progress are dropped without a completion, the slots start over.
TEST_F(CABConnectionThreadTest, StopForgetsTheSlotsSoASecondStartServesNewConnects) {
  StuckListener stuck;
  ASSERT_TRUE(stuck.Ready());
  for (uint32_t i = 0; i < 3; ++i) Connect(stuck.Address(), 500 + i);
  ASSERT_TRUE(PollUntil([] { return Thread()->WaitCountForTesting() == 5; }));

  ASSERT_EQ(Thread()->Stop(5000), 0);
  EXPECT_EQ(Thread()->WaitCountForTesting(), 2u);
  ASSERT_EQ(Thread()->Start(), 0);

  Listener open;
  Connect(open.Address(), 510);
  ASSERT_TRUE(WaitFor(510));
  EXPECT_EQ(ErrorOf(510), 0);
  // The old sockets' events were closed with the old slots: closing them disturbs nothing.
  for (size_t i = 0; i < 3; ++i) m_devices[i]->Close();
  Connect(open.Address(), 511);
  ASSERT_TRUE(WaitFor(511));
  EXPECT_EQ(ErrorOf(511), 0);
  ASSERT_TRUE(DrainIoThread());
  for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(ErrorOf(500 + i), -1);
}

TEST_F(CABConnectionThreadTest, RequestsAddedWhileStoppedAreServedAtStart) {
  ASSERT_EQ(Thread()->Stop(5000), 0);
  Listener open;
  Connect(open.Address(), 600);
  ASSERT_TRUE(DrainIoThread());
  EXPECT_EQ(Thread()->QueuedCountForTesting(), 1u);
  ASSERT_EQ(Thread()->Start(), 0);
  ASSERT_TRUE(WaitFor(600));
  EXPECT_EQ(ErrorOf(600), 0);
}

}  // namespace
