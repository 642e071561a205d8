// The server command frame as the channel cuts it, and the entry server's configuration text.

#include <gtest/gtest.h>

#include <string>

#include "Common/ServerAddress.h"
#include "Logic/LogicCenter.h"
#include "Logic/ServerCommand.h"
#include "NetEngine/IOOperation.h"

namespace {

// Built by hand, apart from the class under test.
std::string Frame(uint16_t cmd, const std::string& body, uint16_t magic = 0x67DE,
                  uint32_t total = 0) {
  if (total == 0) total = static_cast<uint32_t>(12 + body.size());
  std::string frame;
  for (int shift : {8, 0}) frame.push_back(static_cast<char>(magic >> shift));
  for (int shift : {8, 0}) frame.push_back(static_cast<char>(cmd >> shift));
  for (int shift : {24, 16, 8, 0}) frame.push_back(static_cast<char>(total >> shift));
  frame += "\x12\x34\x56\x78";  // reserved: ignored on receipt
  return frame + body;
}

// Feeds `bytes` in pieces of `piece` bytes; the last parse result.
int Feed(CServerCommand* pCommand, const std::string& bytes, size_t piece, size_t* pConsumed) {
  int result = 1;
  size_t offset = 0;
  while (offset < bytes.size() && result == 1) {
    const uint32_t length = static_cast<uint32_t>(std::min(piece, bytes.size() - offset));
    const uint8_t* pData = reinterpret_cast<const uint8_t*>(bytes.data()) + offset;
    uint32_t remaining = length;
    result = pCommand->ParseFrom(&pData, &remaining);
    offset += length - remaining;
  }
  if (pConsumed) *pConsumed = offset;
  return result;
}

std::string BodyOf(CServerCommand* pCommand) {
  const uint8_t* pBody = nullptr;
  uint32_t length = 0;
  if (!pCommand->GetBody(&pBody, &length)) return "<none>";
  return std::string(reinterpret_cast<const char*>(pBody), length);
}

class ServerCommandTest : public ::testing::Test {
 protected:
  void SetUp() override { m_inUse = CIOOperation::Allocator::Instance()->InUseCountForTesting(); }
  void TearDown() override {
    if (m_pCommand) m_pCommand->Release();
    EXPECT_EQ(CIOOperation::Allocator::Instance()->InUseCountForTesting(), m_inUse);
  }
  CServerCommand* Reading() {
    if (m_pCommand) m_pCommand->Release();
    m_pCommand = CServerCommand::CreateForReading(7);
    return m_pCommand;
  }

  CServerCommand* m_pCommand = nullptr;
  size_t m_inUse = 0;
};

// Parsing: split and merged frames parse the same; bad lengths and magic fail the stream.
TEST_F(ServerCommandTest, SplitHeaderIsAssembledBeforeItIsTested) {
  const std::string frame = Frame(5001, "abcdef");
  for (size_t piece : {size_t{1}, size_t{5}, size_t{11}, size_t{13}, frame.size()}) {
    CServerCommand* pCommand = Reading();
    size_t consumed = 0;
    EXPECT_EQ(Feed(pCommand, frame, piece, &consumed), 0) << piece;
    EXPECT_EQ(consumed, frame.size());
    EXPECT_EQ(pCommand->GetCommandId(), 5001);
    EXPECT_EQ(pCommand->ChannelId(), 7u);
    EXPECT_EQ(BodyOf(pCommand), "abcdef");
  }
}

TEST_F(ServerCommandTest, EmptyBodyAndMergedFramesLeaveTheRest) {
  const std::string bytes = Frame(1009, "") + Frame(1003, "xy");
  size_t consumed = 0;
  EXPECT_EQ(Feed(Reading(), bytes, bytes.size(), &consumed), 0);
  EXPECT_EQ(consumed, 12u);
  EXPECT_EQ(BodyOf(m_pCommand), "");
  EXPECT_EQ(Feed(Reading(), bytes.substr(12), 100, &consumed), 0);
  EXPECT_EQ(BodyOf(m_pCommand), "xy");
}

TEST_F(ServerCommandTest, BadLengthsAndMagicFailTheStream) {
  EXPECT_EQ(Feed(Reading(), Frame(1001, "", 0x67DE, 11), 100, nullptr), -1);
  EXPECT_EQ(Feed(Reading(), Frame(1001, "", 0x67DE, 65537), 100, nullptr), -1);
  EXPECT_EQ(Feed(Reading(), Frame(1001, "body", 0x67DF), 100, nullptr), -1);
  // The magic is judged once the header is whole, not before.
  EXPECT_EQ(Feed(Reading(), Frame(1001, "", 0x67DF).substr(0, 11), 1, nullptr), 1);
}

TEST_F(ServerCommandTest, LargeFrameGrowsTheBufferAndPartialHasNoBody) {
  const std::string body(40000, 'q');
  const std::string frame = Frame(3001, body);
  size_t consumed = 0;
  EXPECT_EQ(Feed(Reading(), frame.substr(0, 30000), 4096, &consumed), 1);
  EXPECT_EQ(BodyOf(m_pCommand), "<none>");
  EXPECT_EQ(Feed(m_pCommand, frame.substr(30000), 4096, &consumed), 0);
  EXPECT_EQ(BodyOf(m_pCommand), body);
  EXPECT_GE(m_pCommand->Buffer()->Capacity(), frame.size());
}

// Sending: network order, reserved fields 0, the body behind the header.
TEST_F(ServerCommandTest, SerializeWritesNetworkOrderWithZeroReserved) {
  CServerCommand* pCommand = CServerCommand::Create(1007, CServerCommand::kRequestBufferSize);
  ASSERT_NE(pCommand, nullptr);
  EXPECT_EQ(BodyOf(pCommand), "");  // a new command is a whole, empty one
  ASSERT_TRUE(pCommand->SetBody("xyz", 3));
  CIOOperation* pOp = CIOOperation::Create(nullptr, 0, pCommand->FrameLength());
  ASSERT_TRUE(pCommand->SerializeTo(pOp));
  const std::string wire(reinterpret_cast<const char*>(pOp->Data()), pOp->Length());
  EXPECT_EQ(wire, std::string("\x67\xDE\x03\xEF\x00\x00\x00\x0F\x00\x00\x00\x00xyz", 15));
  // The command itself keeps its header in host order.
  EXPECT_EQ(pCommand->GetTotalLength(), 15u);
  CIOOperation::Release(pOp);
  // A body past the frame limit is refused.
  const std::string huge(65525, 'h');
  EXPECT_FALSE(pCommand->SetBody(huge.data(), static_cast<uint32_t>(huge.size())));
  EXPECT_TRUE(pCommand->SetBody(huge.data(), 65524));
  pCommand->Release();
}

// The entry server's "host[:port]" is taken strictly; anything else keeps the default.
TEST_F(ServerCommandTest, ServerAddressIsParsedStrictly) {
  std::string host = "kept";
  uint16_t port = 7;
  EXPECT_TRUE(ParseServerAddress("127.0.0.1:34443", &host, &port));
  EXPECT_EQ(host, "127.0.0.1");
  EXPECT_EQ(port, 34443);
  EXPECT_TRUE(ParseServerAddress("entry.example-1.test", &host, &port));
  EXPECT_EQ(port, 443);
  for (const char* pBad : {"", ":443", "host:", "host:0", "host:65536", "host:12a", "host:+1",
                           "a b:1", "host:1:2", "host:0044300", "[::1]:443"}) {
    host = "kept";
    port = 7;
    EXPECT_FALSE(ParseServerAddress(pBad, &host, &port)) << pBad;
    EXPECT_EQ(host, "kept");
    EXPECT_EQ(port, 7);
  }
  EXPECT_FALSE(ParseServerAddress(nullptr, &host, &port));
}

}  // namespace
