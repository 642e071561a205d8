#include <arpa/inet.h>

#include <cstring>
#include <set>

#include "NetEngine/ByteStream.h"
#include "NetEngine/NetHelpers.h"
#include "NetEngineTestUtil.h"
#include "win32/winsock.h"

namespace {

// Text helpers.
TEST(NetHelpersTest, BytesToHexIsLowercaseHighNibbleFirst) {
  const uint8_t bytes[] = {0x00, 0xAB, 0xFF};
  EXPECT_EQ(BytesToHex(bytes, 3), "00abff");
  EXPECT_EQ(BytesToHex(bytes, 0), "");
}

TEST(NetHelpersTest, RandomKeysAreSixteenHexDigitsAndDifferWithinOneSecond) {
  std::set<std::string> keys;
  for (int i = 0; i < 4; ++i) {
    std::string key = MakeRandomKey();
    ASSERT_EQ(key.size(), 16u);
    EXPECT_EQ(key.find_first_not_of("0123456789abcdef"), std::string::npos) << key;
    keys.insert(key);
  }
  EXPECT_EQ(keys.size(), 4u);
}

TEST(NetHelpersTest, IpToStringReadsNetworkOrder) {
  EXPECT_EQ(IpToString(inet_addr("192.168.1.20")), "192.168.1.20");
  EXPECT_EQ(IpToString(0), "0.0.0.0");
}

TEST(NetHelpersTest, ConversionsRoundTripAndTreatEmptyAsEmpty) {
  const char* kUtf8 = "\xE7\x85\xA7\xE7\x89\x87 photo";  // 照片 photo
  std::u16string wide = Utf8ToWide(kUtf8);
  EXPECT_EQ(wide, u"\u7167\u7247 photo");
  EXPECT_EQ(WideToUtf8(wide), kUtf8);
  EXPECT_EQ(WideToAnsi(AnsiToWide("plain")), "plain");
  EXPECT_EQ(Utf8ToWide(""), u"");
  EXPECT_EQ(Utf8ToWide(static_cast<const char*>(nullptr)), u"");
  EXPECT_EQ(WideToUtf8(u""), "");
  EXPECT_EQ(WideToAnsi(static_cast<const char16_t*>(nullptr)), "");
}

// Byte order.
TEST(NetHelpersTest, HostToNet64LaysOutBigEndianAndIsItsOwnInverse) {
  uint64_t net = HostToNet64(0x0102030405060708ull);
  uint8_t bytes[8];
  memcpy(bytes, &net, 8);
  const uint8_t kExpected[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(memcmp(bytes, kExpected, 8), 0);
  EXPECT_EQ(HostToNet64(net), 0x0102030405060708ull);
}

TEST(ByteStreamTest, FieldsAreBigEndianAndNeverCrossTheEnd) {
  uint8_t buffer[7] = {};
  ByteStream out(buffer, sizeof(buffer));
  EXPECT_TRUE(out.PutU16(0x0100));
  EXPECT_TRUE(out.PutBytes("\003abc", 4));
  EXPECT_FALSE(out.PutU16(0xFFFF));  // one byte left
  EXPECT_EQ(out.Position(), 6u);
  EXPECT_TRUE(out.PutU8(0x7F));
  EXPECT_FALSE(out.PutU8(0));

  const uint8_t kExpected[7] = {0x01, 0x00, 0x03, 'a', 'b', 'c', 0x7F};
  EXPECT_EQ(memcmp(buffer, kExpected, 7), 0);

  const uint8_t kWire[] = {0xDE, 0x77, 0x00, 0x00, 0x00, 0x2A, 0x09};
  ByteStream in(static_cast<const void*>(kWire), sizeof(kWire));
  uint16_t u16 = 0;
  uint32_t u32 = 0;
  ASSERT_TRUE(in.GetU16(&u16));
  EXPECT_EQ(u16, 0xDE77);
  ASSERT_TRUE(in.GetU32(&u32));
  EXPECT_EQ(u32, 42u);
  EXPECT_FALSE(in.GetU32(&u32));
  EXPECT_FALSE(in.GetU16(&u16));
  EXPECT_EQ(in.Position(), 6u);
  EXPECT_FALSE(in.Skip(2));
  EXPECT_TRUE(in.Skip(1));
  EXPECT_EQ(in.Remaining(), 0u);
  EXPECT_FALSE(in.PutU8(1));  // read-only
}

// Address helper: the system picks the port.
TEST(NetHelpersTest, BindAnyAddressLetsTheSystemPickThePort) {
  win32::WSADATA data;
  ASSERT_EQ(win32::WSAStartup(0x0202, &data), 0);
  win32::SOCKET socket = win32::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  ASSERT_NE(socket, win32::INVALID_SOCKET);
  EXPECT_TRUE(BindAnyAddress(socket));
  sockaddr_in bound{};
  int length = sizeof(bound);
  ASSERT_EQ(win32::getsockname(socket, reinterpret_cast<sockaddr*>(&bound), &length), 0);
  EXPECT_EQ(bound.sin_addr.s_addr, htonl(INADDR_ANY));
  EXPECT_NE(bound.sin_port, 0);
  EXPECT_FALSE(BindAnyAddress(socket));  // already bound
  win32::closesocket(socket);
  win32::WSACleanup();
}

}  // namespace
