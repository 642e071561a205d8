// The phone frame, its body cipher and the decode/encode rules, without sockets.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "Logic/ClientCommand.h"
#include "Logic/CommandKey.h"
#include "NetEngine/IOOperation.h"
#include "TestPhone.h"

#if __has_include("GoldenFrames.h")
#include "GoldenFrames.h"
#define PHONE_ROAD_HAVE_GOLDEN 1
#endif

using phone_road_test::BuildFrame;
using phone_road_test::EncipherBody;

namespace {

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::string Pattern(size_t length, uint8_t start = 0) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(start + i);
  return bytes;
}

// Key tables standing in for the store.
std::map<int64_t, std::string> g_deviceKeys;
std::string g_bindKey;

bool FindTestKey(int64_t id, std::string* pKey) {
  auto it = g_deviceKeys.find(id);
  if (it == g_deviceKeys.end()) return false;
  *pKey = it->second;
  return true;
}
std::string TestBindKey() { return g_bindKey; }
const CommandKeySource kTestKeys{&FindTestKey, &TestBindKey};

// A command released at scope end.
struct CommandRef {
  explicit CommandRef(CClientCommand* p = nullptr) : pCommand(p) {}
  CommandRef(const CommandRef&) = delete;
  CommandRef& operator=(const CommandRef&) = delete;
  ~CommandRef() {
    if (pCommand) pCommand->Release();
  }
  CClientCommand* operator->() const { return pCommand; }
  CClientCommand* get() const { return pCommand; }
  CClientCommand* pCommand;
};

std::string BodyOf(CClientCommand* pCommand) {
  const uint8_t* pBody = nullptr;
  uint32_t length = 0;
  if (!pCommand->GetBody(&pBody, &length)) return "<none>";
  return std::string(reinterpret_cast<const char*>(pBody), length);
}

// Feeds `bytes` into a new command; returns the last ParseFrom result and the bytes it left.
int ParseAll(CClientCommand* pCommand, const std::string& bytes, uint32_t* pLeft = nullptr) {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  uint32_t remaining = static_cast<uint32_t>(bytes.size());
  int result = pCommand->ParseFrom(&p, &remaining);
  if (pLeft) *pLeft = remaining;
  return result;
}

peer::PhoneFrameHeader SampleHeader(uint16_t command = 6011, uint16_t encode = 2) {
  peer::PhoneFrameHeader header;
  header.destId = 0x0011223344556677;
  header.srcId = -5;  // sign survives the 64-bit swap
  header.command = command;
  header.sequence = 0xA1B2C3D4;
  header.echo = 0x01020304;
  header.result = 0;
  header.encodeType = encode;
  header.reserved = 0xFFFFFFFF;  // ignored on receipt
  return header;
}

class ClientCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_poolInUse = CIOOperation::Allocator::Instance()->InUseCountForTesting();
    g_deviceKeys.clear();
    g_bindKey.clear();
  }
  void TearDown() override {
    EXPECT_EQ(CIOOperation::Allocator::Instance()->InUseCountForTesting(), m_poolInUse);
  }

 private:
  size_t m_poolInUse = 0;
};

// Stream cutting: split anywhere, merged, bounds of the total length.

TEST_F(ClientCommandTest, FrameSplitAtEveryByteParsesTheSame) {
  const std::string body = Pattern(100, 7);
  const std::string frame = BuildFrame(SampleHeader(), body);
  for (size_t split = 0; split <= frame.size(); ++split) {
    CommandRef command(CClientCommand::Create(CClientCommand::kDefaultBufferSize));
    uint32_t left = 0;
    const int first = ParseAll(command.get(), frame.substr(0, split), &left);
    ASSERT_EQ(left, 0u) << split;
    if (split < frame.size()) {
      ASSERT_EQ(first, 1) << split;
      ASSERT_EQ(ParseAll(command.get(), frame.substr(split), &left), 0) << split;
      ASSERT_EQ(left, 0u);
    } else {
      ASSERT_EQ(first, 0);
    }
    ASSERT_EQ(BodyOf(command.get()), body) << split;
    EXPECT_EQ(command->GetSourceId(), -5);
  }
  // One byte at a time.
  CommandRef command(CClientCommand::Create(CClientCommand::kDefaultBufferSize));
  for (size_t i = 0; i < frame.size(); ++i) {
    ASSERT_EQ(ParseAll(command.get(), frame.substr(i, 1)), i + 1 < frame.size() ? 1 : 0) << i;
  }
  ASSERT_TRUE(command->IsValid());
  const ClientCommandHeader header = command->GetHeader();
  EXPECT_EQ(header.destId, 0x0011223344556677);
  EXPECT_EQ(header.commandId, 6011);
  EXPECT_EQ(header.sequence, 0xA1B2C3D4u);
  EXPECT_EQ(header.totalLength, 140u);
  EXPECT_EQ(header.echo, 0x01020304u);
  EXPECT_EQ(header.encodeType, 2);
}

TEST_F(ClientCommandTest, MergedFramesLeaveTheRestForTheNextCommand) {
  const std::string a = BuildFrame(SampleHeader(6001), Pattern(3));
  const std::string b = BuildFrame(SampleHeader(6002), "");
  const std::string c = BuildFrame(SampleHeader(6003), Pattern(2000));  // grows the buffer
  const std::string stream = a + b + c;
  const auto* p = reinterpret_cast<const uint8_t*>(stream.data());
  uint32_t remaining = static_cast<uint32_t>(stream.size());
  for (uint16_t expected : {6001, 6002, 6003}) {
    CommandRef command(CClientCommand::Create(CClientCommand::kDefaultBufferSize));
    ASSERT_EQ(command->ParseFrom(&p, &remaining), 0);
    EXPECT_EQ(command->GetCommandId(), expected);
  }
  EXPECT_EQ(remaining, 0u);
}

TEST_F(ClientCommandTest, TotalLengthBoundsAndMagic) {
  auto parse = [](uint32_t total, const std::string& body, uint16_t magic = 0x77DE) {
    peer::PhoneFrameHeader header = SampleHeader();
    header.totalLength = total;
    header.magic = magic;
    CommandRef command(CClientCommand::Create(CClientCommand::kDefaultBufferSize));
    return ParseAll(command.get(), BuildFrame(header, body));
  };
  EXPECT_EQ(parse(39, ""), -1);
  EXPECT_EQ(parse(40, ""), 0);
  EXPECT_EQ(parse(65536, Pattern(65536 - 40)), 0);
  EXPECT_EQ(parse(65537, Pattern(65537 - 40)), -1);
  EXPECT_EQ(parse(0xFFFFFFFF, ""), -1);
  EXPECT_EQ(parse(50, Pattern(10), 0xDE77), -1);
  // A short header is only "more needed", never a read past the bytes given.
  CommandRef command(CClientCommand::Create(CClientCommand::kDefaultBufferSize));
  EXPECT_EQ(ParseAll(command.get(), std::string("\x77", 1)), 1);
  EXPECT_FALSE(command->IsValid());
  const uint8_t* pNull = nullptr;
  uint32_t zero = 0;
  EXPECT_EQ(command->ParseFrom(&pNull, &zero), 1);
}

TEST_F(ClientCommandTest, SerializeWritesTheWireBytesBack) {
  const std::string frame = BuildFrame(SampleHeader(), Pattern(1000));
  CommandRef command(CClientCommand::Create(16));  // too small at first: grows while parsing
  ASSERT_EQ(ParseAll(command.get(), frame), 0);
  ASSERT_EQ(command->FrameLength(), frame.size());
  CIOOperation* pSmall = CIOOperation::Create(nullptr, 0, 16);
  ASSERT_LT(pSmall->Capacity(), frame.size());
  EXPECT_FALSE(command->SerializeTo(pSmall));
  CIOOperation::Release(pSmall);
  CIOOperation* pOp = CIOOperation::Create(nullptr, 0, command->FrameLength());
  ASSERT_TRUE(command->SerializeTo(pOp));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(pOp->Data()), pOp->Length()), frame);
  CIOOperation::Release(pOp);
}

// Replies and bodies.

TEST_F(ClientCommandTest, ReplyHeaderMirrorsTheRequest) {
  CommandRef request(CClientCommand::Create(CClientCommand::kDefaultBufferSize));
  ASSERT_EQ(ParseAll(request.get(), BuildFrame(SampleHeader(6004, 3), Pattern(20))), 0);
  request->SetChannelId(77);
  request->SetRelayed(true);
  CommandRef reply(CClientCommand::CreateReply(request.get()));
  ASSERT_NE(reply.get(), nullptr);
  const ClientCommandHeader header = reply->GetHeader();
  EXPECT_EQ(header.magic, CClientCommand::kMagic);
  EXPECT_EQ(header.destId, -5);
  EXPECT_EQ(header.sourceId, 0x0011223344556677);
  EXPECT_EQ(header.commandId, 6004);
  EXPECT_EQ(header.sequence, 0xA1B2C3D4u);
  EXPECT_EQ(header.echo, 0x01020304u);
  EXPECT_EQ(header.encodeType, 3);
  EXPECT_EQ(header.result, 0);
  EXPECT_EQ(header.reserved, 0u);
  EXPECT_EQ(header.totalLength, 40u);
  EXPECT_EQ(reply->ChannelId(), 77u);
  EXPECT_TRUE(reply->IsRelayed());

  const std::string big = Pattern(5000);  // beyond the reply's first buffer
  ASSERT_TRUE(reply->SetBody(big.data(), static_cast<uint32_t>(big.size())));
  EXPECT_EQ(BodyOf(reply.get()), big);
  EXPECT_EQ(reply->GetHeader().totalLength, 5040u);
  ASSERT_TRUE(reply->SetBody(nullptr, 123));
  EXPECT_EQ(BodyOf(reply.get()), "");

  CommandRef empty(CClientCommand::Create(64));
  EXPECT_EQ(CClientCommand::CreateReply(empty.get()), nullptr);
  EXPECT_FALSE(empty->SetBody("x", 1));
}

TEST_F(ClientCommandTest, PartialFrameHasNoBody) {
  const std::string frame = BuildFrame(SampleHeader(), Pattern(30));
  CommandRef command(CClientCommand::Create(CClientCommand::kDefaultBufferSize));
  ASSERT_EQ(ParseAll(command.get(), frame.substr(0, 50)), 1);
  const uint8_t* pBody = reinterpret_cast<const uint8_t*>(1);
  uint32_t length = 9;
  EXPECT_FALSE(command->GetBody(&pBody, &length));
  EXPECT_EQ(pBody, nullptr);
  EXPECT_EQ(length, 0u);
}

// The body cipher.

TEST_F(ClientCommandTest, AesMatchesTheStandardVectorAndAlwaysPads) {
  // FIPS-197 appendix C.1: the key text is used as its bytes.
  CCommandKey key;
  key.SetKey(FromHex("000102030405060708090a0b0c0d0e0f"));
  const std::string plain = FromHex("00112233445566778899aabbccddeeff");
  const std::string cipher = key.Encrypt(2, plain.data(), plain.size());
  ASSERT_EQ(cipher.size(), 32u);
  EXPECT_EQ(cipher.substr(0, 16), FromHex("69c4e0d86a7b0430d8cdb78070b4c55a"));
  EXPECT_EQ(key.Decrypt(2, cipher.data(), cipher.size()), plain);

  key.SetKey("0123456789abcdef");
  EXPECT_EQ(key.Encrypt(2, nullptr, 0).size(), 16u);
  EXPECT_EQ(key.Encrypt(2, Pattern(16).data(), 16).size(), 32u);
  EXPECT_EQ(key.Encrypt(2, Pattern(17).data(), 17).size(), 32u);
  // Many blocks at once give the bytes of one block at a time.
  const std::string large = Pattern(65487, 3);
  const std::string whole = key.Encrypt(2, large.data(), large.size());
  EXPECT_EQ(whole, EncipherBody(2, "0123456789abcdef", large));
  EXPECT_EQ(key.Decrypt(2, whole.data(), whole.size()), large);
}

TEST_F(ClientCommandTest, DecryptNeverReadsPastTheBody) {
  CCommandKey key;
  key.SetKey("0123456789abcdef");
  const std::string cipher = key.Encrypt(2, "hello", 5);  // one block
  // Bytes after the last whole block are dropped.
  const std::string extended = cipher + "xyz";
  EXPECT_EQ(key.Decrypt(2, extended.data(), extended.size()), "hello");
  // Shorter than a block: nothing.
  EXPECT_EQ(key.Decrypt(2, cipher.data(), 15), "");
  EXPECT_EQ(key.Decrypt(2, nullptr, 32), "");
  // A last byte of 0, of 0x80 and above, or above the length leaves the block as it is.
  for (uint8_t last : {0x00, 0x80, 0xFF, 0x11, 0x7F}) {
    std::string block = Pattern(15);
    block.push_back(static_cast<char>(last));
    const std::string enciphered = EncipherBody(2, "0123456789abcdef", block);
    const std::string firstBlock = enciphered.substr(0, 16);  // without the pad block
    EXPECT_EQ(key.Decrypt(2, firstBlock.data(), 16), block) << int(last);
  }
  // A pad equal to the whole length empties the result.
  std::string allPad(16, '\x10');
  const std::string padBlock = EncipherBody(2, "0123456789abcdef", allPad).substr(0, 16);
  EXPECT_EQ(key.Decrypt(2, padBlock.data(), 16), "");
}

TEST_F(ClientCommandTest, XorUsesTheKeysFirstHalfAndShortKeysGiveNothing) {
  CCommandKey key;
  key.SetKey("0123456789abcdef");
  const std::string data = Pattern(20, 0x40);
  const std::string xored = key.Encrypt(1, data.data(), data.size());
  EXPECT_EQ(xored, EncipherBody(1, "0123456789abcdef", data));
  EXPECT_EQ(key.Decrypt(1, xored.data(), xored.size()), data);
  EXPECT_EQ(key.Encrypt(3, data.data(), data.size()), "");
  key.SetKey("0123456789");  // 10 characters: not enough
  EXPECT_EQ(key.Encrypt(2, data.data(), data.size()), "");
  EXPECT_EQ(key.Decrypt(1, data.data(), data.size()), "");
}

// DecodeCommand and EncodeCommand.

CClientCommand* IncomingFrame(uint16_t encode, const std::string& wireBody, int64_t source = 9) {
  peer::PhoneFrameHeader header = SampleHeader(6011, encode);
  header.srcId = source;
  CClientCommand* pCommand = CClientCommand::Create(CClientCommand::kDefaultBufferSize);
  ParseAll(pCommand, BuildFrame(header, wireBody));
  return pCommand;
}

TEST_F(ClientCommandTest, DecodeRefusesWhatItCannotDecipher) {
  g_deviceKeys[9] = "0123456789abcdef";
  g_deviceKeys[10] = "short";
  g_bindKey = "fedcba9876543210";
  const std::string body = phone_road_test::CheckCodeOnlyBody();

  // Incoming type 0 is refused although the PC sends type 0 unchanged; so is any unknown type.
  for (uint16_t type : {0, 4, 5, 0xFFFF}) {
    CommandRef command(IncomingFrame(type, body));
    EXPECT_EQ(CClientCommand::DecodeCommand(command.get(), kTestKeys), -1) << type;
  }
  CommandRef emptyBody(IncomingFrame(2, ""));
  EXPECT_EQ(CClientCommand::DecodeCommand(emptyBody.get(), kTestKeys), -1);
  CommandRef unknownPhone(IncomingFrame(2, EncipherBody(2, "0123456789abcdef", body), 11));
  EXPECT_EQ(CClientCommand::DecodeCommand(unknownPhone.get(), kTestKeys), 0);
  CommandRef badKey(IncomingFrame(1, body, 10));
  EXPECT_EQ(CClientCommand::DecodeCommand(badKey.get(), kTestKeys), -1);
  g_bindKey = "123456789";
  CommandRef badBindKey(IncomingFrame(3, EncipherBody(2, "fedcba9876543210", body)));
  EXPECT_EQ(CClientCommand::DecodeCommand(badBindKey.get(), kTestKeys), -1);
  g_bindKey = "fedcba9876543210";

  // Bodies the cipher cannot take whole still decode, to fewer bytes than they had.
  for (size_t size : {1u, 5u, 15u, 17u, 31u}) {
    CommandRef ragged(IncomingFrame(2, Pattern(size)));
    EXPECT_EQ(CClientCommand::DecodeCommand(ragged.get(), kTestKeys), 1) << size;
    EXPECT_LE(BodyOf(ragged.get()).size(), size / 16 * 16) << size;
  }

  CommandRef good(IncomingFrame(2, EncipherBody(2, "0123456789abcdef", body)));
  ASSERT_EQ(CClientCommand::DecodeCommand(good.get(), kTestKeys), 1);
  EXPECT_EQ(BodyOf(good.get()), body);
  CommandRef bound(IncomingFrame(3, EncipherBody(2, "fedcba9876543210", body), 12345));
  ASSERT_EQ(CClientCommand::DecodeCommand(bound.get(), kTestKeys), 1);
  EXPECT_EQ(BodyOf(bound.get()), body);
  CommandRef xored(IncomingFrame(1, EncipherBody(1, "0123456789abcdef", body)));
  ASSERT_EQ(CClientCommand::DecodeCommand(xored.get(), kTestKeys), 1);
  EXPECT_EQ(BodyOf(xored.get()), body);
}

// A whole chunk is deciphered where it lies: same buffer, the header's length cut to the plain
// text, so the upload hands on exactly these bytes.
TEST_F(ClientCommandTest, LargestBodyIsDecipheredInItsOwnBuffer) {
  g_deviceKeys[9] = "0123456789abcdef";
  const std::string plain = Pattern(65459, 7);
  for (uint16_t type : {1, 2}) {
    CommandRef command(IncomingFrame(type, EncipherBody(type, "0123456789abcdef", plain)));
    const CIOOperation* pBuffer = command->Buffer();
    ASSERT_EQ(CClientCommand::DecodeCommand(command.get(), kTestKeys), 1);
    EXPECT_EQ(command->Buffer(), pBuffer);
    EXPECT_EQ(command->GetHeader().totalLength, CClientCommand::kHeaderSize + plain.size());
    EXPECT_TRUE(BodyOf(command.get()) == plain) << type;
  }
}

TEST_F(ClientCommandTest, EncodeUsesTheDestinationsKeyAndPassesOtherTypes) {
  g_deviceKeys[-5] = "0123456789abcdef";
  const std::string body = phone_road_test::CheckCodeOnlyBody();
  auto reply = [&](uint16_t encode) {
    CommandRef request(CClientCommand::Create(CClientCommand::kDefaultBufferSize));
    ParseAll(request.get(), BuildFrame(SampleHeader(6011, encode), "x"));
    CClientCommand* pReply = CClientCommand::CreateReply(request.get());
    pReply->SetBody(body.data(), static_cast<uint32_t>(body.size()));
    return pReply;
  };
  CommandRef aes(reply(2));
  ASSERT_EQ(CClientCommand::EncodeCommand(aes.get(), kTestKeys), 1);
  EXPECT_EQ(BodyOf(aes.get()), EncipherBody(2, "0123456789abcdef", body));
  CommandRef plain(reply(0));
  ASSERT_EQ(CClientCommand::EncodeCommand(plain.get(), kTestKeys), 1);
  EXPECT_EQ(BodyOf(plain.get()), body);
  CommandRef odd(reply(9));
  ASSERT_EQ(CClientCommand::EncodeCommand(odd.get(), kTestKeys), 1);
  EXPECT_EQ(BodyOf(odd.get()), body);
  g_deviceKeys.clear();
  CommandRef noDevice(reply(1));
  EXPECT_EQ(CClientCommand::EncodeCommand(noDevice.get(), kTestKeys), 0);
  CommandRef noBindKey(reply(3));
  EXPECT_EQ(CClientCommand::EncodeCommand(noBindKey.get(), kTestKeys), 0);
}

#ifdef PHONE_ROAD_HAVE_GOLDEN
// Frames computed outside our code decode to the plaintext they were made from.
TEST_F(ClientCommandTest, GoldenFramesDecodeOnThePcSide) {
  g_deviceKeys[golden::kPhoneId] = golden::kDeviceKey;
  g_bindKey = golden::kBindKey;
  struct Case {
    const char* frameHex;
    const char* plainHex;
  };
  for (const Case& c : {Case{golden::kXorFrameHex, golden::kXorPlainHex},
                        Case{golden::kAesDeviceFrameHex, golden::kAesDevicePlainHex},
                        Case{golden::kAesBindFrameHex, golden::kAesBindPlainHex}}) {
    const std::string frame = FromHex(c.frameHex);
    CommandRef command(CClientCommand::Create(CClientCommand::kDefaultBufferSize));
    ASSERT_EQ(ParseAll(command.get(), frame), 0);
    EXPECT_EQ(command->GetDestId(), golden::kPcId);
    EXPECT_EQ(command->GetSourceId(), golden::kPhoneId);
    ASSERT_EQ(CClientCommand::DecodeCommand(command.get(), kTestKeys), 1);
    EXPECT_EQ(BodyOf(command.get()), FromHex(c.plainHex));
  }
  CCommandKey key;
  key.SetKey(golden::kDeviceKey);
  for (const golden::PadVector& vector : golden::kPadVectors) {
    const std::string plain = Pattern(static_cast<size_t>(vector.plainSize));
    EXPECT_EQ(key.Encrypt(2, plain.data(), plain.size()), FromHex(vector.cipherHex))
        << vector.plainSize;
  }
}
#endif

}  // namespace
