// The UI message queue and its hidden window: delivery on the window's thread, one message at a
// time, in posting order and exactly once; the drop at Stop with the one direct login-state
// message; nothing posted to a producer's own queue while there is no window.

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "Logic/LogicCenter.h"
#include "Logic/PhotoMessage.h"
#include "LogicTestSupport.h"

namespace {

using logic_test::HeadlessUiThread;
using logic_test::PumpUntil;
using logic_test::RecordingSink;
using logic_test::SinkRecord;

class CLogicCenterQueueTest : public logic_test::SandboxTest {
 protected:
  void TearDown() override {
    Center()->SetLogicSink(nullptr);
    Center()->ClearUiMessages();
    SandboxTest::TearDown();
  }

  static CLogicCenter* Center() { return CLogicCenter::Instance(); }

  // Outlives TearDown, which lets go of it.
  RecordingSink m_sink;
};

// Delivery on the UI thread
TEST_F(CLogicCenterQueueTest, ProducersDeliverInOrderExactlyOnceOnTheUiThread) {
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 250;
  RecordingSink& sink = m_sink;
  HeadlessUiThread ui;
  bool started = false;
  ui.Run([&] {
    Center()->SetLogicSink(&sink);
    started = Center()->Start();
  });
  ASSERT_TRUE(started);
  EXPECT_EQ(sink.References(), 1u);

  std::atomic<bool> go{false};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      while (!go.load()) std::this_thread::yield();
      for (int seq = 0; seq < kPerProducer; ++seq) {
        Center()->PostUiMessage(UIMsg_upload_progress, seq, p + 1, p, 0);
      }
    });
  }
  go.store(true);
  for (std::thread& t : producers) t.join();
  ASSERT_TRUE(sink.WaitForCount(kProducers * kPerProducer));

  std::vector<int> next(kProducers, 0);
  for (const SinkRecord& record : sink.Records()) {
    EXPECT_EQ(record.threadId, ui.ThreadId());
    EXPECT_EQ(record.type, UIMsg_upload_progress);
    ASSERT_GE(record.id, 1);
    ASSERT_LE(record.id, kProducers);
    EXPECT_EQ(record.value, next[record.id - 1]++);  // in order, none twice, none skipped
  }
  for (int count : next) EXPECT_EQ(count, kPerProducer);

  ui.Run([&] { Center()->Stop(); });
  std::vector<SinkRecord> records = sink.Records();
  ASSERT_EQ(records.size(), static_cast<size_t>(kProducers * kPerProducer + 1));
  EXPECT_EQ(records.back().type, UIMsg_login_state);
  EXPECT_EQ(records.back().value, 0);
  EXPECT_EQ(records.back().threadId, ui.ThreadId());
  EXPECT_EQ(Center()->WindowForTesting(), nullptr);
}

TEST_F(CLogicCenterQueueTest, PayloadAndCallerKeptMessagesArriveIntact) {
  RecordingSink& sink = m_sink;
  Center()->SetLogicSink(&sink);
  ASSERT_TRUE(Center()->Start());

  const std::string bytes("\x01\x00\x02zz", 5);
  Center()->PostUiMessagePayload(-1, 77, bytes.data(), bytes.size());
  CPhotoMessage* pKept = new CPhotoMessage(UIMsg_upload_begin, 0, 78, "rec", 3);
  Center()->QueueUiMessage(pKept);
  ASSERT_TRUE(PumpUntil([&] { return sink.Records().size() == 2; }));

  std::vector<SinkRecord> records = sink.Records();
  EXPECT_EQ(records[0].type, UIMsg_upload_finish);
  EXPECT_EQ(records[0].value, -1);
  EXPECT_EQ(records[0].id, 77);
  EXPECT_EQ(records[0].payload, bytes);
  EXPECT_EQ(records[1].type, UIMsg_upload_begin);
  EXPECT_EQ(records[1].payload, "rec");
  // The queue's reference was dropped after the call; the caller's is still there.
  EXPECT_EQ(pKept->AddRef(), 2u);
  EXPECT_EQ(pKept->Release(), 1u);
  pKept->Release();
  Center()->Stop();
}

// A sink may call back into the logic: the queue lock is not held while it runs.
TEST_F(CLogicCenterQueueTest, SinkMayPostWhileHandlingAMessage) {
  RecordingSink& sink = m_sink;
  std::atomic<int> calls{0};
  sink.SetHook([&](IOrbalynMessage*) {
    if (calls++ == 0) Center()->PostUiMessage(UIMsg_login_result, 0, 0, 0, 0);
  });
  Center()->SetLogicSink(&sink);
  ASSERT_TRUE(Center()->Start());
  Center()->PostUiMessage(UIMsg_login_state, 1, 0, 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return sink.Records().size() == 2; }));
  EXPECT_EQ(sink.Records()[1].type, UIMsg_login_result);
  Center()->Stop();
}

TEST_F(CLogicCenterQueueTest, DrainWithoutSinkReleasesEveryMessage) {
  ASSERT_TRUE(Center()->Start());
  CPhotoMessage* pKept = new CPhotoMessage(UIMsg_unbind, 1, 5, 0, 0, 0, 0);
  Center()->QueueUiMessage(pKept);
  Center()->PostUiMessage(UIMsg_unbind, 2, 0, 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return Center()->QueuedCountForTesting() == 0; }));
  EXPECT_EQ(pKept->AddRef(), 2u);
  pKept->Release();
  pKept->Release();
  Center()->Stop();
}

// Stop
TEST_F(CLogicCenterQueueTest, StopDropsTheQueueAndTellsTheSinkOnceOnTheStoppingThread) {
  RecordingSink& sink = m_sink;
  Center()->SetLogicSink(&sink);
  ASSERT_TRUE(Center()->Start());
  CPhotoMessage* pKept = new CPhotoMessage(UIMsg_upload_result, 0, 9, 1, 2, 0, 0);
  Center()->QueueUiMessage(pKept);
  Center()->PostUiMessage(UIMsg_login_state, 2, 0, 0, 0);
  Center()->PostUiMessage(UIMsg_login_state, 3, 0, 0, 0);

  Center()->Stop();  // nothing was pumped
  std::vector<SinkRecord> records = sink.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].type, UIMsg_login_state);
  EXPECT_EQ(records[0].value, 0);
  EXPECT_EQ(records[0].threadId, win32::GetCurrentThreadId());
  EXPECT_EQ(Center()->QueuedCountForTesting(), 0u);
  EXPECT_EQ(pKept->Release(), 0u);   // only the caller's reference was left
  EXPECT_EQ(sink.References(), 1u);  // still registered

  // The window's pending 1125s went with it.
  win32::MSG msg;
  EXPECT_FALSE(win32::PeekMessageW(&msg, nullptr, 0, 0, win32::PM_REMOVE));
}

// After Stop a producer must not post to its own thread's queue; the message waits for the
// next Start instead.
TEST_F(CLogicCenterQueueTest, WithoutWindowMessagesWaitForTheNextStart) {
  RecordingSink& sink = m_sink;
  Center()->SetLogicSink(&sink);
  ASSERT_TRUE(Center()->Start());
  Center()->Stop();
  ASSERT_EQ(sink.Records().size(), 1u);

  Center()->PostUiMessage(UIMsg_device_local_state, 2, 42, 0, 0);
  win32::MSG msg;
  EXPECT_FALSE(win32::PeekMessageW(&msg, nullptr, 0, 0, win32::PM_REMOVE));
  EXPECT_EQ(Center()->QueuedCountForTesting(), 1u);

  ASSERT_TRUE(Center()->Start());
  ASSERT_TRUE(PumpUntil([&] { return sink.Records().size() == 2; }));
  EXPECT_EQ(sink.Records()[1].type, UIMsg_device_local_state);
  EXPECT_EQ(sink.Records()[1].id, 42);
  Center()->Stop();
}

TEST_F(CLogicCenterQueueTest, SecondStartKeepsTheWindow) {
  ASSERT_TRUE(Center()->Start());
  win32::HWND hWnd = Center()->WindowForTesting();
  ASSERT_NE(hWnd, nullptr);
  EXPECT_TRUE(Center()->Start());
  EXPECT_EQ(Center()->WindowForTesting(), hWnd);
  Center()->Stop();
  EXPECT_FALSE(win32::IsWindow(hWnd));
}

}  // namespace
