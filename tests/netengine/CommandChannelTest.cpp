#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "Common/ObjectLifecycleMgr.h"
#include "LoopbackTestUtil.h"
#include "NetEngine/ABConnectionThread.h"
#include "NetEngine/Command.h"
#include "NetEngine/CommandChannel.h"
#include "NetEngine/CommandChannelHandler.h"
#include "NetEngine/IOOperation.h"
#include "NetEngine/IOThread.h"
#include "NetEngineTestUtil.h"

using netengine_test::DrainIoThread;
using netengine_test::Listener;
using netengine_test::LogText;
using netengine_test::MakeSocketPair;
using netengine_test::PollUntil;
using netengine_test::RecvAll;
using netengine_test::RefusingAddress;
using netengine_test::SendAll;
using netengine_test::SocketPair;
using netengine_test::Waiter;

namespace {

// Bytes the channel has handed to its commands' ParseFrom, so a test can wait for a read.
struct ParseLog {
  std::atomic<uint64_t> bytes{0};
};

// A small frame for these tests: u16 magic, u16 total length (header included), payload.
class TestFrame final : public CCommand {
 public:
  static constexpr uint16_t kMagic = 0x7E57;
  static constexpr uint32_t kHeaderSize = 4;
  static constexpr uint32_t kMaxTotal = 8192;

  explicit TestFrame(ParseLog* pLog = nullptr) : CCommand(1), m_pLog(pLog) {}

  static std::string Encode(const std::string& payload, uint16_t magic = kMagic) {
    const uint32_t total = kHeaderSize + static_cast<uint32_t>(payload.size());
    std::string frame = {static_cast<char>(magic >> 8), static_cast<char>(magic & 0xFF),
                         static_cast<char>(total >> 8), static_cast<char>(total & 0xFF)};
    return frame + payload;
  }
  // A built frame with one reference.
  static TestFrame* Make(const std::string& payload) {
    auto* pFrame = new TestFrame();
    const std::string bytes = Encode(payload);
    pFrame->Reserve(static_cast<uint32_t>(bytes.size()));
    CIOOperation::Append(pFrame->Buffer(), bytes.data(), static_cast<uint32_t>(bytes.size()));
    return pFrame;
  }

  int ParseFrom(const uint8_t** ppData, uint32_t* pRemaining) override {
    const uint32_t before = *pRemaining;
    int result = Parse(ppData, pRemaining);
    if (m_pLog) m_pLog->bytes += before - *pRemaining;
    return result;
  }
  bool SerializeTo(CIOOperation* pOp) override {
    const uint32_t length = Buffer()->Length();
    return CIOOperation::Append(pOp, Buffer()->Data(), length) == length;
  }

  std::string Payload() const {
    return std::string(reinterpret_cast<const char*>(Buffer()->Data()) + kHeaderSize,
                       Buffer()->Length() - kHeaderSize);
  }

 private:
  ~TestFrame() override = default;

  uint32_t Field(uint32_t offset) const {
    const uint8_t* p = Buffer()->Data() + offset;
    return (uint32_t{p[0]} << 8) | p[1];
  }

  int Parse(const uint8_t** ppData, uint32_t* pRemaining) {
    while (*pRemaining > 0) {
      const uint32_t have = Buffer() ? Buffer()->Length() : 0;
      const uint32_t want = have < kHeaderSize ? kHeaderSize : Field(2);
      if (!Reserve(want)) return -1;
      const uint32_t take = std::min(want - have, *pRemaining);
      CIOOperation::Append(Buffer(), *ppData, take);
      *ppData += take;
      *pRemaining -= take;
      if (have < kHeaderSize && Buffer()->Length() == kHeaderSize &&
          (Field(0) != kMagic || Field(2) < kHeaderSize || Field(2) > kMaxTotal)) {
        return -1;
      }
      if (Buffer()->Length() >= kHeaderSize && Buffer()->Length() == Field(2)) return 0;
    }
    return 1;
  }

  ParseLog* const m_pLog;
};

class TestChannel final : public CCommandChannel {
 public:
  TestChannel(CCommandChannelHandler* pHandler, ParseLog* pLog)
      : CCommandChannel(pHandler, 7, 3), m_pLog(pLog) {}
  ~TestChannel() override {
    if (onDestroy) onDestroy();
  }

  void OnIoComplete(CIOOperation* pOp) override {
    completions.fetch_add(1);
    CCommandChannel::OnIoComplete(pOp);
  }

  // Runs when the last reference is gone, before the channel closes.
  std::function<void()> onDestroy;
  std::atomic<int> completions{0};

 protected:
  CCommand* NewCommand() override { return new (std::nothrow) TestFrame(m_pLog); }

 private:
  ParseLog* const m_pLog;
};

// Records what the channels tell their owner.
class TestHandler : public CIOHandler, public CCommandChannelHandler {
 public:
  enum Kind { kConnected, kCommand, kFinish };
  struct Event {
    Kind kind;
    CCommandChannel* pChannel;
    std::string payload;
    uint32_t operation;
    uint32_t error;
    win32::DWORD threadId;
  };

  // Stops the callbacks before the members they touch go away.
  ~TestHandler() override {
    CObjectLifecycleMgr::Instance()->Unregister(static_cast<CIOHandler*>(this));
  }

  void OnConnected(CCommandChannel* pChannel) override {
    Record({kConnected, pChannel, {}, 0, 0, 0});
  }
  int OnCommand(CCommandChannel* pChannel, CCommand* pCommand) override {
    std::string payload = static_cast<TestFrame*>(pCommand)->Payload();
    int result = commandResult ? commandResult(payload) : 0;
    Record({kCommand, pChannel, payload, 0, 0, 0});
    return result;
  }
  void OnFinish(CCommandChannel* pChannel, uint32_t operation, uint32_t error) override {
    Record({kFinish, pChannel, {}, operation, error, 0});
    if (onFinish) onFinish(pChannel);
  }

  bool WaitEvents(size_t count) {
    return m_waiter.WaitFor([&] { return m_events.size() >= count; });
  }
  std::vector<Event> Events() {
    std::lock_guard<std::mutex> lock(m_waiter.Mutex());
    return m_events;
  }
  std::vector<std::string> Payloads() {
    std::vector<std::string> payloads;
    for (const Event& event : Events()) {
      if (event.kind == kCommand) payloads.push_back(event.payload);
    }
    return payloads;
  }

  std::function<int(const std::string&)> commandResult;
  std::function<void(CCommandChannel*)> onFinish;

 private:
  void Record(Event event) {
    event.threadId = win32::GetCurrentThreadId();
    m_waiter.Signal([&] { m_events.push_back(event); });
  }

  Waiter m_waiter;
  std::vector<Event> m_events;
};

class CCommandChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_inUseAtStart = CIOOperation::Allocator::Instance()->InUseCountForTesting();
    ASSERT_EQ(CIOThread::Instance()->Start(), 0);
    ASSERT_EQ(CABConnectionThread::Instance()->Start(), 0);
  }
  // Channels are released and every operation is back in the pool.
  void TearDown() override {
    for (CCommandChannel* pChannel : m_channels) pChannel->Release();
    for (int fd : m_peers) ::close(fd);
    EXPECT_EQ(CABConnectionThread::Instance()->Stop(5000), 0);
    EXPECT_TRUE(DrainIoThread());
    EXPECT_EQ(CIOThread::Instance()->Stop(5000), 0);
    EXPECT_EQ(CIOOperation::Allocator::Instance()->InUseCountForTesting(), m_inUseAtStart);
  }

  // Released by TearDown.
  TestChannel* NewChannel() {
    m_channels.push_back(new TestChannel(&m_handler, &m_parseLog));
    return static_cast<TestChannel*>(m_channels.back());
  }
  TestChannel* NewAttachedChannel(int* pPeerFd) {
    SocketPair pair = MakeSocketPair();
    EXPECT_NE(pair.engineSide, win32::INVALID_SOCKET);
    TestChannel* pChannel = NewChannel();
    EXPECT_TRUE(pChannel->Attach(pair.engineSide));
    m_peers.push_back(pair.peerFd);
    *pPeerFd = pair.peerFd;
    return pChannel;
  }
  static bool ReadFrame(int fd, std::string* pPayload) {
    uint8_t header[TestFrame::kHeaderSize];
    if (!RecvAll(fd, header, sizeof(header))) return false;
    pPayload->assign((size_t{header[2]} << 8 | header[3]) - TestFrame::kHeaderSize, '\0');
    return RecvAll(fd, pPayload->data(), pPayload->size());
  }
  bool Send(CCommandChannel* pChannel, const std::string& payload) {
    TestFrame* pFrame = TestFrame::Make(payload);
    int sent = pChannel->Send(pFrame);
    pFrame->Release();
    return sent == 1;
  }

  size_t m_inUseAtStart = 0;
  TestHandler m_handler;
  ParseLog m_parseLog;
  std::vector<CCommandChannel*> m_channels;
  std::vector<int> m_peers;
};

// Connecting: the outcome reaches the handler on the I/O thread.
TEST_F(CCommandChannelTest, ConnectReportsOnConnectedAndExchangesFrames) {
  Listener listener;
  TestChannel* pChannel = NewChannel();
  ASSERT_TRUE(pChannel->Connect(htonl(INADDR_LOOPBACK), listener.Port()));
  ASSERT_TRUE(m_handler.WaitEvents(1));
  EXPECT_EQ(m_handler.Events()[0].kind, TestHandler::kConnected);
  EXPECT_EQ(m_handler.Events()[0].threadId, CIOThread::Instance()->ThreadId());
  EXPECT_EQ(pChannel->GetState(), CCommandChannel::kConnected);
  int peer = listener.Accept();
  ASSERT_GE(peer, 0);
  m_peers.push_back(peer);
  EXPECT_NE(LogText().find("CommandChannel[" + netengine_test::PointerText(pChannel) + ", id:" +
                           std::to_string(pChannel->Id()) + ", class:7, Tag:3]::OnConnected"),
            std::string::npos);

  // A channel that has a device refuses a second connect and stays as it was.
  EXPECT_FALSE(pChannel->Connect(htonl(INADDR_LOOPBACK), listener.Port()));
  EXPECT_EQ(pChannel->GetState(), CCommandChannel::kConnected);

  ASSERT_TRUE(Send(pChannel, "to peer"));
  std::string payload;
  ASSERT_TRUE(ReadFrame(peer, &payload));
  EXPECT_EQ(payload, "to peer");
  ASSERT_TRUE(SendAll(peer, TestFrame::Encode("to channel").data(), 14));
  ASSERT_TRUE(m_handler.WaitEvents(2));
  EXPECT_EQ(m_handler.Payloads(), std::vector<std::string>{"to channel"});
}

TEST_F(CCommandChannelTest, RefusedConnectFinishesWithOperation6AndTheRefusal) {
  sockaddr_in refusing = RefusingAddress();
  TestChannel* pChannel = NewChannel();
  ASSERT_TRUE(pChannel->Connect(refusing.sin_addr.s_addr, ntohs(refusing.sin_port)));
  ASSERT_TRUE(m_handler.WaitEvents(1));
  auto event = m_handler.Events()[0];
  EXPECT_EQ(event.kind, TestHandler::kFinish);
  EXPECT_EQ(event.operation, 6u);
  EXPECT_EQ(event.error, static_cast<uint32_t>(win32::WSAECONNREFUSED));
  EXPECT_EQ(pChannel->GetState(), CCommandChannel::kIdle);
}

// Cutting the stream: frames split or packed any way arrive whole and in order.
TEST_F(CCommandChannelTest, FrameFedOneBytePerReadIsDeliveredOnceAfterItsLastByte) {
  int peer = -1;
  NewAttachedChannel(&peer);
  const std::string frame = TestFrame::Encode("one byte at a time");
  for (size_t i = 0; i < frame.size(); ++i) {
    ASSERT_TRUE(SendAll(peer, &frame[i], 1));
    // The next byte goes only once this one has been read and parsed on its own.
    ASSERT_TRUE(PollUntil([&] { return m_parseLog.bytes.load() == i + 1; }));
    if (i + 1 < frame.size()) {
      ASSERT_TRUE(m_handler.Events().empty()) << i;
    }
  }
  ASSERT_TRUE(m_handler.WaitEvents(1));
  ASSERT_TRUE(DrainIoThread());
  EXPECT_EQ(m_handler.Payloads(), std::vector<std::string>{"one byte at a time"});
}

TEST_F(CCommandChannelTest, TwoAndAHalfFramesInOneReadGiveTwoThenTheThirdWithTheNextRead) {
  int peer = -1;
  NewAttachedChannel(&peer);
  const std::string third = TestFrame::Encode("third frame");
  const std::string burst =
      TestFrame::Encode("first") + TestFrame::Encode("second") + third.substr(0, 7);
  ASSERT_TRUE(SendAll(peer, burst.data(), burst.size()));
  ASSERT_TRUE(m_handler.WaitEvents(2));
  ASSERT_TRUE(PollUntil([&] { return m_parseLog.bytes.load() == burst.size(); }));
  ASSERT_TRUE(DrainIoThread());
  EXPECT_EQ(m_handler.Payloads(), (std::vector<std::string>{"first", "second"}));

  ASSERT_TRUE(SendAll(peer, third.data() + 7, third.size() - 7));
  ASSERT_TRUE(m_handler.WaitEvents(3));
  EXPECT_EQ(m_handler.Payloads(), (std::vector<std::string>{"first", "second", "third frame"}));
  for (const auto& event : m_handler.Events()) {
    EXPECT_EQ(event.threadId, CIOThread::Instance()->ThreadId());
  }
}

TEST_F(CCommandChannelTest, NegativeHandlerResultHoldsTheRestOfTheReadUntilTheNextRead) {
  int peer = -1;
  NewAttachedChannel(&peer);
  m_handler.commandResult = [](const std::string& payload) { return payload == "first" ? -1 : 0; };
  const std::string burst = TestFrame::Encode("first") + TestFrame::Encode("second");
  ASSERT_TRUE(SendAll(peer, burst.data(), burst.size()));
  ASSERT_TRUE(m_handler.WaitEvents(1));
  ASSERT_TRUE(PollUntil([&] { return m_parseLog.bytes.load() == burst.size(); }));
  ASSERT_TRUE(DrainIoThread());
  EXPECT_EQ(m_handler.Payloads(), std::vector<std::string>{"first"});

  const std::string next = TestFrame::Encode("third");
  ASSERT_TRUE(SendAll(peer, next.data(), next.size()));
  ASSERT_TRUE(m_handler.WaitEvents(3));
  EXPECT_EQ(m_handler.Payloads(), (std::vector<std::string>{"first", "second", "third"}));
}

// Ends: each gives exactly one OnFinish, after which the handler hears nothing more.
TEST_F(CCommandChannelTest, PeerCloseFinishesOnceWith10054) {
  int peer = -1;
  TestChannel* pChannel = NewAttachedChannel(&peer);
  ASSERT_TRUE(Send(pChannel, "pending write"));
  ::shutdown(peer, SHUT_WR);
  ASSERT_TRUE(m_handler.WaitEvents(1));
  ASSERT_TRUE(DrainIoThread());
  auto events = m_handler.Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, TestHandler::kFinish);
  EXPECT_EQ(events[0].operation, 3u);
  EXPECT_EQ(events[0].error, static_cast<uint32_t>(win32::WSAECONNRESET));
  EXPECT_EQ(pChannel->GetState(), CCommandChannel::kIdle);
  EXPECT_EQ(Send(pChannel, "after the end"), false);
  EXPECT_NE(LogText().find("CommandChannel[" + netengine_test::PointerText(pChannel) +
                           ", id:" + std::to_string(pChannel->Id()) +
                           ", class:7, Tag:3]::OnFinish: OP=3, Error=10054"),
            std::string::npos);
}

TEST_F(CCommandChannelTest, MalformedFrameFinishesWithInvalidArg) {
  const std::string badFrames[] = {TestFrame::Encode("bad magic", 0x1234),
                                   std::string("\x7E\x57\xFF\xFF", 4) + "too long"};
  for (const std::string& bad : badFrames) {
    int peer = -1;
    NewAttachedChannel(&peer);
    const std::string stream = TestFrame::Encode("good") + bad + TestFrame::Encode("never");
    ASSERT_TRUE(SendAll(peer, stream.data(), stream.size()));
  }
  ASSERT_TRUE(PollUntil([&] { return m_handler.Events().size() >= 2; }));
  ASSERT_TRUE(DrainIoThread());
  int finishes = 0;
  for (const auto& event : m_handler.Events()) {
    EXPECT_NE(event.payload, "never");
    if (event.kind != TestHandler::kFinish) continue;
    ++finishes;
    EXPECT_EQ(event.operation, 3u);
    EXPECT_EQ(event.error, 0x80070057u);
  }
  EXPECT_EQ(finishes, 2);
}

TEST_F(CCommandChannelTest, AsyncCloseFinishesWithOperation9OnTheIoThread) {
  int peer = -1;
  TestChannel* pChannel = NewAttachedChannel(&peer);
  EXPECT_EQ(pChannel->AsyncClose(), 1);
  ASSERT_TRUE(m_handler.WaitEvents(1));
  auto event = m_handler.Events()[0];
  EXPECT_EQ(event.kind, TestHandler::kFinish);
  EXPECT_EQ(event.operation, 9u);
  EXPECT_EQ(event.error, 0u);
  EXPECT_EQ(event.threadId, CIOThread::Instance()->ThreadId());
  char byte;
  EXPECT_EQ(::recv(peer, &byte, 1, 0), 0);  // the socket is closed
}

TEST_F(CCommandChannelTest, OwnerCloseTellsNoOneAndTheChannelCanAttachAgain) {
  int peer = -1;
  TestChannel* pChannel = NewAttachedChannel(&peer);
  EXPECT_EQ(pChannel->Close(), 1);
  ASSERT_TRUE(DrainIoThread());
  EXPECT_TRUE(m_handler.Events().empty());
  // Dropped: the channel is no longer registered, or no longer the read's owner.
  EXPECT_NE(LogText().find("] abort: OpType=3, Error=995"), std::string::npos);

  SocketPair pair = MakeSocketPair();
  m_peers.push_back(pair.peerFd);
  ASSERT_TRUE(pChannel->Attach(pair.engineSide));
  const std::string frame = TestFrame::Encode("again");
  ASSERT_TRUE(SendAll(pair.peerFd, frame.data(), frame.size()));
  ASSERT_TRUE(m_handler.WaitEvents(1));
  EXPECT_EQ(m_handler.Payloads(), std::vector<std::string>{"again"});
}

// Lifetimes: closes and releases racing the I/O thread.
TEST_F(CCommandChannelTest, HandlerMayDropTheLastReferenceInsideOnFinish) {
  int peer = -1;
  TestChannel* pChannel = NewAttachedChannel(&peer);
  m_channels.pop_back();  // the handler's now
  m_handler.onFinish = [](CCommandChannel* pFinished) { pFinished->Release(); };
  ::close(peer);
  m_peers.pop_back();
  ASSERT_TRUE(m_handler.WaitEvents(1));
  ASSERT_TRUE(DrainIoThread());
  EXPECT_EQ(m_handler.Events()[0].pChannel, pChannel);
}

TEST_F(CCommandChannelTest, CloseFromAnotherThreadWaitsForTheCallbackInFlight) {
  int peer = -1;
  TestChannel* pChannel = NewAttachedChannel(&peer);
  std::promise<void> entered;
  std::promise<void> leave;
  std::shared_future<void> leaveSignal = leave.get_future().share();
  m_handler.commandResult = [&](const std::string&) {
    entered.set_value();
    leaveSignal.wait();
    return 0;
  };
  const std::string frame = TestFrame::Encode("slow");
  ASSERT_TRUE(SendAll(peer, frame.data(), frame.size()));
  ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);

  std::future<int> closed = std::async(std::launch::async, [&] { return pChannel->Close(); });
  EXPECT_EQ(closed.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  leave.set_value();
  ASSERT_EQ(closed.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(closed.get(), 1);
  ASSERT_TRUE(DrainIoThread());
  EXPECT_EQ(m_handler.Payloads(), std::vector<std::string>{"slow"});
}

// The last Release on another thread while a frame arrives: the I/O thread may still enter a
// callback before the destructor closes the socket, and must hand nothing to the handler, which
// would take a reference on a dying channel and free it a second time later.
TEST_F(CCommandChannelTest, FrameArrivingDuringTheLastReleaseReachesNoHandler) {
  int peer = -1;
  TestChannel* pChannel = NewAttachedChannel(&peer);
  m_channels.pop_back();
  ASSERT_TRUE(Send(pChannel, "hello"));
  std::string payload;
  ASSERT_TRUE(ReadFrame(peer, &payload));
  const std::string frame = TestFrame::Encode("late");
  bool delivered = false;
  pChannel->onDestroy = [&] {
    const int before = pChannel->completions.load();
    if (!SendAll(peer, frame.data(), frame.size())) return;
    delivered = PollUntil([&] { return pChannel->completions.load() > before; });
  };
  pChannel->Release();
  ASSERT_TRUE(delivered);
  ASSERT_TRUE(DrainIoThread());
  EXPECT_TRUE(m_handler.Payloads().empty());
  EXPECT_TRUE(m_handler.Events().empty());
}

// Sending: one overlapped send per call, whole frames in call order, from any thread.
TEST_F(CCommandChannelTest, SendsFromTwoThreadsLeaveAsWholeFramesInCallOrder) {
  int peer = -1;
  TestChannel* pChannel = NewAttachedChannel(&peer);
  constexpr int kPerThread = 300;
  auto sender = [&](char tag) {
    for (int i = 0; i < kPerThread; ++i) {
      std::string payload = std::string(1, tag) + std::to_string(i) + std::string(700 + i, tag);
      EXPECT_TRUE(Send(pChannel, payload));
    }
  };
  std::thread first(sender, 'a');
  std::thread second(sender, 'b');
  int next[2] = {0, 0};
  for (int i = 0; i < 2 * kPerThread; ++i) {
    std::string payload;
    ASSERT_TRUE(ReadFrame(peer, &payload)) << i;
    int source = payload[0] - 'a';
    ASSERT_TRUE(source == 0 || source == 1);
    const std::string expected = std::string(1, payload[0]) + std::to_string(next[source]) +
                                 std::string(700 + next[source], payload[0]);
    ASSERT_EQ(payload, expected);
    ++next[source];
  }
  first.join();
  second.join();
}

TEST_F(CCommandChannelTest, SendRefusesWithoutADeviceAndIdsAreDistinctAndNonZero) {
  TestChannel* pIdle = NewChannel();
  EXPECT_FALSE(Send(pIdle, "nowhere"));
  TestChannel* pOther = NewChannel();
  EXPECT_NE(pIdle->Id(), 0u);
  EXPECT_NE(pOther->Id(), pIdle->Id());
}

}  // namespace
