// The byte formats every report and every identity hash rest on: MD5, the 64 KB big-endian
// writer, the report header and the program version.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Md5.h"
#include "PacketBuffer.h"
#include "ReportHeader.h"
#include "ReportRecord.h"

namespace {

// MD5: the test suite of RFC 1321, appendix A.5, plus inputs that cross the 56-byte padding edge.
TEST(Md5Test, MatchesRfc1321Vectors) {
  EXPECT_EQ(ZyMacID::CMd5::HexDigest(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(ZyMacID::CMd5::HexDigest("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(ZyMacID::CMd5::HexDigest("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(ZyMacID::CMd5::HexDigest("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(ZyMacID::CMd5::HexDigest("abcdefghijklmnopqrstuvwxyz"),
            "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(
      ZyMacID::CMd5::HexDigest("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
      "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(ZyMacID::CMd5::HexDigest("1234567890123456789012345678901234567890123456789012345678"
                                     "9012345678901234567890"),
            "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5Test, PiecewiseUpdatesEqualOneUpdate) {
  std::string text(1000, '\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i * 7);
  for (size_t split : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 999u}) {
    ZyMacID::CMd5 md5;
    md5.Update(text.data(), split);
    md5.Update(text.data() + split, text.size() - split);
    uint8_t digest[16];
    md5.Final(digest);
    EXPECT_EQ(ZyMacID::CMd5::ToHex(digest), ZyMacID::CMd5::HexDigest(text)) << "split " << split;
  }
}

// The packet buffer: big-endian values, NUL-counting strings, and never a byte past the block
// (a write must end strictly before it).
TEST(PacketBufferTest, WritesBigEndianValuesAndCountedStrings) {
  CPacketBuffer buffer;
  ASSERT_TRUE(buffer.WriteUInt16(0x0102));
  ASSERT_TRUE(buffer.WriteUInt32(0x03040506));
  ASSERT_TRUE(buffer.WriteUInt64(0x0708090A0B0C0D0Eull));
  ASSERT_TRUE(buffer.WriteString("ab"));
  ASSERT_TRUE(buffer.WriteString(""));
  const uint8_t expected[] = {1,  2,  3,  4, 5, 6,   7,   8, 9, 10, 11,
                              12, 13, 14, 0, 3, 'a', 'b', 0, 0, 1,  0};
  ASSERT_EQ(buffer.Length(), sizeof(expected));
  EXPECT_EQ(memcmp(buffer.Data(), expected, sizeof(expected)), 0);
}

TEST(PacketBufferTest, StringsAtTheBlockEdge) {
  CPacketBuffer buffer;
  EXPECT_FALSE(buffer.WriteString(std::string(65533, 'x')));  // 65536 bytes would reach the end
  EXPECT_EQ(buffer.Length(), 0u);
  EXPECT_FALSE(buffer.WriteString(std::string(70000, 'x')));  // longer than a u16 length
  EXPECT_EQ(buffer.Length(), 0u);
  ASSERT_TRUE(buffer.WriteString(std::string(65532, 'x')));
  EXPECT_EQ(buffer.Length(), 65535u);
  EXPECT_EQ(buffer.Data()[0], 0xFF);  // 65533 with the NUL
  EXPECT_EQ(buffer.Data()[1], 0xFD);
  EXPECT_FALSE(buffer.WriteString(""));
  EXPECT_FALSE(buffer.WriteUInt16(0));
  EXPECT_EQ(buffer.Length(), 65535u);
}

TEST(PacketBufferTest, RefusedValueChangesNothing) {
  CPacketBuffer buffer;
  ASSERT_TRUE(buffer.WriteString(std::string(65525, 'x')));  // cursor at 65528
  EXPECT_FALSE(buffer.WriteUInt64(1));                       // would end on the block's end
  EXPECT_EQ(buffer.Length(), 65528u);
  EXPECT_TRUE(buffer.WriteUInt32(0xA1B2C3D4));
  EXPECT_FALSE(buffer.WriteUInt32(0));
  EXPECT_TRUE(buffer.WriteUInt16(0x0102));
  EXPECT_FALSE(buffer.WriteUInt16(0));
  EXPECT_EQ(buffer.Length(), 65534u);
  EXPECT_EQ(buffer.Data()[65528], 0xA1);
  EXPECT_EQ(buffer.Data()[65533], 0x02);
}

// The header the report library reads as it lies in memory.
TEST(ReportHeaderTest, LayoutInHostOrder) {
  CReportHeader header(5892);
  uint8_t bytes[18];
  memcpy(bytes, &header, sizeof(bytes));
  const uint8_t expected[18] = {0x5C, 0xD8, 0, 0, 1, 0, 0x04, 0x17, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(memcmp(bytes, expected, sizeof(bytes)), 0);
}

TEST(ReportRecordTest, PacksFourPartVersions) {
  EXPECT_EQ(CReportRecord::PackVersion("1.2.10065.201"), 0x00010002275100C9ull);
  EXPECT_EQ(CReportRecord::PackVersion("11.0.9600.17843"), 0x000B0000258045B3ull);
  EXPECT_EQ(CReportRecord::PackVersion("1.2.3"), 0u);
  EXPECT_EQ(CReportRecord::PackVersion("a.b.c.d"), 0u);
  EXPECT_EQ(CReportRecord::PackVersion(""), 0u);
}

}  // namespace
