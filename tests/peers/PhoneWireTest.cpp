#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "msg.pb.h"

#include "GoldenFrames.h"
#include "PeerHex.h"
#include "PhoneCipher.h"
#include "PhoneFrame.h"
#include "PhoneFrameCutter.h"

namespace {

using peer::CPhoneCipher;
using peer::CPhoneFrame;
using peer::CPhoneFrameCutter;
using peer::PhoneFrameHeader;

std::string Hex(const char* hex) {
  std::string bytes;
  EXPECT_TRUE(peer::FromHex(hex, &bytes)) << hex;
  return bytes;
}

struct GoldenCase {
  uint16_t encodeType;
  const char* key;
  uint16_t command;
  uint32_t sequence;
  uint32_t echo;
  std::string plain;  // serialized by protobuf, must equal plainHex
  const char* plainHex;
  const char* frameHex;
};

std::vector<GoldenCase> GoldenCases() {
  protocol::C2CPhoneUploadFilesReq batch;
  batch.set_check_code(peer::kPhoneCheckCode);
  batch.set_files_total(3);
  batch.set_files_ok(0);
  protocol::C2CPhoneLoginReq login;
  login.set_check_code(peer::kPhoneCheckCode);
  protocol::C2CPhoneBindReq bind;
  bind.set_check_code(peer::kPhoneCheckCode);
  bind.set_phone_name("Ostra 7a");
  return {
      {1, golden::kDeviceKey, 6006, 0x0A0B0C0D, 0x01020304, batch.SerializeAsString(),
       golden::kXorPlainHex, golden::kXorFrameHex},
      {2, golden::kDeviceKey, 6001, 2, 0x102, login.SerializeAsString(), golden::kAesDevicePlainHex,
       golden::kAesDeviceFrameHex},
      {3, golden::kBindKey, 6003, 1, 1, bind.SerializeAsString(), golden::kAesBindPlainHex,
       golden::kAesBindFrameHex},
  };
}

std::vector<std::string> GoldenFrames() {
  return {Hex(golden::kXorFrameHex), Hex(golden::kAesDeviceFrameHex),
          Hex(golden::kAesBindFrameHex)};
}

std::string FrameOfSize(size_t total) {
  PhoneFrameHeader header;
  header.command = 6011;
  return CPhoneFrame::Build(header, std::string(total - peer::kPhoneFrameHeaderSize, 'x'));
}

// A header claiming `total` bytes, whatever follows it.
std::string HeaderClaiming(uint32_t total, uint16_t magic = peer::kPhoneFrameMagic) {
  PhoneFrameHeader header;
  header.magic = magic;
  header.totalLength = total;
  std::string bytes(peer::kPhoneFrameHeaderSize, '\0');
  CPhoneFrame::WriteHeader(header, reinterpret_cast<uint8_t*>(bytes.data()));
  return bytes;
}

std::vector<std::string> CutAll(CPhoneFrameCutter* cutter) {
  std::vector<std::string> frames;
  std::string frame;
  while (cutter->Next(&frame) == CPhoneFrameCutter::Result::kFrame) frames.push_back(frame);
  return frames;
}

}  // namespace

// Golden frames: building gives the pinned bytes; parsing and deciphering give the body back.
TEST(PhoneWireTest, GoldenFramesBuildAndParse) {
  for (const GoldenCase& c : GoldenCases()) {
    SCOPED_TRACE(c.frameHex);
    ASSERT_EQ(peer::ToHex(c.plain), c.plainHex);
    std::string cipher;
    ASSERT_TRUE(CPhoneCipher::Encrypt(c.encodeType, c.key, c.plain, &cipher));
    PhoneFrameHeader header;
    header.destId = golden::kPcId;
    header.srcId = golden::kPhoneId;
    header.command = c.command;
    header.sequence = c.sequence;
    header.echo = c.echo;
    header.encodeType = c.encodeType;
    EXPECT_EQ(peer::ToHex(CPhoneFrame::Build(header, cipher)), c.frameHex);

    const std::string frame = Hex(c.frameHex);
    PhoneFrameHeader parsed;
    std::string_view body;
    ASSERT_TRUE(CPhoneFrame::Parse(frame, &parsed, &body));
    EXPECT_EQ(parsed.destId, golden::kPcId);
    EXPECT_EQ(parsed.srcId, golden::kPhoneId);
    EXPECT_EQ(parsed.command, c.command);
    EXPECT_EQ(parsed.sequence, c.sequence);
    EXPECT_EQ(parsed.totalLength, frame.size());
    EXPECT_EQ(parsed.echo, c.echo);
    EXPECT_EQ(parsed.encodeType, c.encodeType);
    std::string plain;
    ASSERT_TRUE(CPhoneCipher::Decrypt(c.encodeType, c.key, body, &plain));
    EXPECT_EQ(plain, c.plain);
  }
}

// Stream cutting: frames split anywhere or merged cut to the same frames.
TEST(PhoneFrameCutterTest, SplitAtEveryByteAndMergedGiveSameFrames) {
  const std::vector<std::string> expected = GoldenFrames();
  std::string stream;
  for (const std::string& f : expected) stream += f;

  for (size_t split = 0; split <= stream.size(); ++split) {
    CPhoneFrameCutter cutter;
    cutter.Append(stream.data(), split);
    std::vector<std::string> frames = CutAll(&cutter);
    cutter.Append(stream.data() + split, stream.size() - split);
    for (std::string& f : CutAll(&cutter)) frames.push_back(std::move(f));
    ASSERT_EQ(frames, expected) << "split at " << split;
    EXPECT_EQ(cutter.Buffered(), 0u);
  }

  CPhoneFrameCutter byteByByte;
  std::vector<std::string> frames;
  for (char c : stream) {
    byteByByte.Append(&c, 1);
    for (std::string& f : CutAll(&byteByByte)) frames.push_back(std::move(f));
  }
  EXPECT_EQ(frames, expected);
}

// Length and magic limits: 40 and the path's maximum pass; one byte outside, or a bad magic, ends
// the stream for good.
TEST(PhoneFrameCutterTest, LengthLimitsAndMagic) {
  for (size_t total : {size_t{40}, size_t{65536}}) {
    CPhoneFrameCutter cutter;
    const std::string frame = FrameOfSize(total);
    cutter.Append(frame.data(), frame.size());
    EXPECT_EQ(CutAll(&cutter), std::vector<std::string>{frame});
  }
  struct Bad {
    std::string bytes;
    size_t maxFrame;
  };
  const Bad bad[] = {
      {HeaderClaiming(39), peer::kPhoneFrameMaxSize},
      {HeaderClaiming(65537), peer::kPhoneFrameMaxSize},
      {HeaderClaiming(40, 0x77DF), peer::kPhoneFrameMaxSize},
      {HeaderClaiming(65525), peer::kRelayedPhoneFrameMaxSize},
  };
  for (const Bad& b : bad) {
    CPhoneFrameCutter cutter(b.maxFrame);
    std::string frame;
    cutter.Append(b.bytes.data(), b.bytes.size());
    EXPECT_EQ(cutter.Next(&frame), CPhoneFrameCutter::Result::kMalformed);
    const std::string good = FrameOfSize(40);
    cutter.Append(good.data(), good.size());
    EXPECT_EQ(cutter.Next(&frame), CPhoneFrameCutter::Result::kMalformed);
  }

  // The one-frame parser holds the same limits and wants the exact length.
  PhoneFrameHeader header;
  std::string_view body;
  const std::string frame = FrameOfSize(100);
  EXPECT_TRUE(CPhoneFrame::Parse(frame, &header, &body));
  EXPECT_FALSE(CPhoneFrame::Parse(frame.substr(0, 99), &header, &body));
  EXPECT_FALSE(CPhoneFrame::Parse(frame + "x", &header, &body));
  EXPECT_FALSE(CPhoneFrame::Parse(FrameOfSize(65537), &header, &body));
}

// Padding: always present (0, 15, 16, 17 bytes give 16, 16, 32, 32), exact on the way back.
TEST(PhoneCipherTest, PadEdgesMatchVectorsAndRoundTrip) {
  for (const golden::PadVector& v : golden::kPadVectors) {
    std::string plain;
    for (int i = 0; i < v.plainSize; ++i) plain.push_back(static_cast<char>(i));
    for (uint16_t type : {2, 3}) {
      std::string cipher;
      ASSERT_TRUE(CPhoneCipher::Encrypt(type, golden::kDeviceKey, plain, &cipher));
      EXPECT_EQ(peer::ToHex(cipher), v.cipherHex) << v.plainSize;
      EXPECT_EQ(cipher.size(), CPhoneCipher::CipherSize(type, plain.size()));
      std::string back;
      ASSERT_TRUE(CPhoneCipher::Decrypt(type, golden::kDeviceKey, cipher, &back));
      EXPECT_EQ(back, plain);
    }
  }
  EXPECT_EQ(CPhoneCipher::MaxPlainSize(2, 65496), 65487u);
  EXPECT_EQ(CPhoneCipher::MaxPlainSize(1, 65496), 65496u);
}

TEST(PhoneCipherTest, DecryptRefusesWhatNoHonestPeerSends) {
  // E(X) alone is a one-block ciphertext whose "pad" is X's last byte.
  auto firstBlockOf = [](std::string block) {
    std::string cipher;
    EXPECT_TRUE(CPhoneCipher::Encrypt(2, golden::kDeviceKey, block, &cipher));
    return cipher.substr(0, 16);
  };
  std::string out;
  std::string block(16, 'a');
  block[15] = 1;
  EXPECT_TRUE(CPhoneCipher::Decrypt(2, golden::kDeviceKey, firstBlockOf(block), &out));
  EXPECT_EQ(out, std::string(15, 'a'));
  for (int last : {0, 17, 0x80}) {
    block[15] = static_cast<char>(last);
    EXPECT_FALSE(CPhoneCipher::Decrypt(2, golden::kDeviceKey, firstBlockOf(block), &out));
  }
  block[13] = 2;  // claims 3 pad bytes: 02 ?? 03 is not 03 03 03
  block[14] = 3;
  block[15] = 3;
  EXPECT_FALSE(CPhoneCipher::Decrypt(2, golden::kDeviceKey, firstBlockOf(block), &out));

  const std::string whole = Hex(golden::kAesBindFrameHex).substr(40);
  EXPECT_FALSE(CPhoneCipher::Decrypt(3, golden::kBindKey, "", &out));
  EXPECT_FALSE(CPhoneCipher::Decrypt(3, golden::kBindKey, whole.substr(0, 31), &out));
  EXPECT_FALSE(CPhoneCipher::Decrypt(3, golden::kBindKey, whole + "x", &out));
  EXPECT_FALSE(CPhoneCipher::Decrypt(3, "fedcba987654321", whole, &out));
  EXPECT_FALSE(CPhoneCipher::Encrypt(4, golden::kBindKey, "x", &out));
}
