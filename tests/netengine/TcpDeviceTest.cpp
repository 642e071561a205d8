#include <cstring>
#include <memory>
#include <string>

#include "LoopbackTestUtil.h"
#include "NetEngine/ABConnectionThread.h"
#include "NetEngine/IOOperation.h"
#include "NetEngine/IOThread.h"
#include "NetEngine/TcpDevice.h"
#include "NetEngineTestUtil.h"

using netengine_test::DrainIoThread;
using netengine_test::Listener;
using netengine_test::LogText;
using netengine_test::MakeSocketPair;
using netengine_test::RecordingHandler;
using netengine_test::RecvAll;
using netengine_test::SendAll;
using netengine_test::SocketPair;

namespace {

class CTcpDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_inUseAtStart = CIOOperation::Allocator::Instance()->InUseCountForTesting();
    ASSERT_EQ(CIOThread::Instance()->Start(), 0);
    ASSERT_EQ(CABConnectionThread::Instance()->Start(), 0);
  }
  void TearDown() override {
    EXPECT_EQ(CABConnectionThread::Instance()->Stop(5000), 0);
    EXPECT_TRUE(DrainIoThread());
    EXPECT_EQ(CIOThread::Instance()->Stop(5000), 0);
    EXPECT_EQ(CIOOperation::Allocator::Instance()->InUseCountForTesting(), m_inUseAtStart);
  }

  CIOOperation* NewOp(uint32_t code, uint32_t size = 0) {
    return CIOOperation::Create(&m_handler, code, size);
  }
  // The single completion expected so far, after the I/O thread has caught up.
  RecordingHandler::Completion Only() {
    EXPECT_TRUE(DrainIoThread());
    auto completions = m_handler.Completions();
    EXPECT_EQ(completions.size(), 1u);
    return completions.empty() ? RecordingHandler::Completion{} : completions[0];
  }

  size_t m_inUseAtStart = 0;
  RecordingHandler m_handler;
};

// Refusals: each completes the operation exactly once with its error, through the I/O thread.
TEST_F(CTcpDeviceTest, ConnectWithoutAnAddressCompletesWithInvalidArg) {
  CTcpDevice device;
  sockaddr_in address = netengine_test::LoopbackAddress(1);
  CIOOperation* pNull = NewOp(1);
  CIOOperation* pEmpty = NewOp(2);
  EXPECT_EQ(device.Connect(nullptr, sizeof(address), pNull), 0);
  EXPECT_EQ(device.Connect(reinterpret_cast<sockaddr*>(&address), 0, pEmpty), 0);
  CIOOperation::Release(pNull);
  CIOOperation::Release(pEmpty);
  ASSERT_TRUE(m_handler.WaitCompletions(2));
  ASSERT_TRUE(DrainIoThread());
  auto completions = m_handler.Completions();
  ASSERT_EQ(completions.size(), 2u);
  for (const auto& completion : completions) {
    EXPECT_EQ(completion.error, static_cast<uint32_t>(win32::E_INVALIDARG));
    EXPECT_EQ(completion.threadId, CIOThread::Instance()->ThreadId());
  }
}

TEST_F(CTcpDeviceTest, ConnectingADeviceThatHasASocketCompletesWith10037) {
  Listener listener;
  sockaddr_in address = listener.Address();
  CTcpDevice device;
  CIOOperation* pFirst = NewOp(1);
  device.Connect(reinterpret_cast<sockaddr*>(&address), sizeof(address), pFirst);
  CIOOperation::Release(pFirst);
  ASSERT_TRUE(m_handler.WaitCompletions(1));
  CIOOperation* pSecond = NewOp(2);
  EXPECT_EQ(device.Connect(reinterpret_cast<sockaddr*>(&address), sizeof(address), pSecond), 0);
  CIOOperation* pAttach = NewOp(3);
  EXPECT_FALSE(device.Attach(win32::INVALID_SOCKET, pAttach));
  CIOOperation::Release(pSecond);
  CIOOperation::Release(pAttach);
  ASSERT_TRUE(m_handler.WaitCompletions(3));
  auto completions = m_handler.Completions();
  EXPECT_EQ(completions[0].error, 0u);
  EXPECT_EQ(completions[1].error, 10037u);
  EXPECT_EQ(completions[2].error, 10037u);
}

TEST_F(CTcpDeviceTest, ReadOnAClosedDeviceCompletesWith10038AndLogsIt) {
  CTcpDevice device;
  CIOOperation* pRead = NewOp(3, 100);
  EXPECT_EQ(device.Read(pRead), 0);
  CIOOperation::Release(pRead);
  EXPECT_EQ(Only().error, 10038u);
  EXPECT_NE(LogText().find("TcpDevice Read Error: INVALID_SOCKET"), std::string::npos);
}

// Data: a read fills the free area behind the length; a write sends the data area.
TEST_F(CTcpDeviceTest, AttachedDeviceReadsBehindTheLengthAndWritesItsData) {
  SocketPair pair = MakeSocketPair();
  ASSERT_NE(pair.engineSide, win32::INVALID_SOCKET);
  CTcpDevice device;
  CIOOperation* pAttach = NewOp(12);
  ASSERT_TRUE(device.Attach(pair.engineSide, pAttach));
  CIOOperation::Release(pAttach);
  ASSERT_TRUE(m_handler.WaitCompletions(1));

  std::string received;
  m_handler.onIoComplete = [&](CIOOperation* pOp) {
    if (pOp->Code() == 3)
      received.assign(reinterpret_cast<char*>(pOp->Data()), 4 + pOp->BytesTransferred());
  };
  CIOOperation* pRead = NewOp(3, 100);
  CIOOperation::Append(pRead, "kept", 4);
  EXPECT_EQ(device.Read(pRead), 1);
  ASSERT_TRUE(SendAll(pair.peerFd, "hello", 5));
  ASSERT_TRUE(m_handler.WaitCompletions(2));
  EXPECT_EQ(received, "kepthello");
  CIOOperation::Release(pRead);

  CIOOperation* pWrite = NewOp(2, 2000);
  std::string payload(1500, 'x');
  CIOOperation::Append(pWrite, payload.data(), static_cast<uint32_t>(payload.size()));
  EXPECT_EQ(device.Write(pWrite), 1);
  CIOOperation::Release(pWrite);
  std::string echoed(payload.size(), '\0');
  ASSERT_TRUE(RecvAll(pair.peerFd, echoed.data(), echoed.size()));
  EXPECT_EQ(echoed, payload);
  ASSERT_TRUE(m_handler.WaitCompletions(3));
  EXPECT_EQ(m_handler.Completions()[2].bytes, 1500u);

  // Closing ends a pending read once, with 995.
  CIOOperation* pPending = NewOp(3, 100);
  device.Read(pPending);
  CIOOperation::Release(pPending);
  device.Close();
  ASSERT_TRUE(m_handler.WaitCompletions(4));
  ASSERT_TRUE(DrainIoThread());
  auto completions = m_handler.Completions();
  ASSERT_EQ(completions.size(), 4u);
  EXPECT_EQ(completions[3].error, win32::ERROR_OPERATION_ABORTED);
  ::close(pair.peerFd);
}

}  // namespace
