#include <gtest/gtest.h>

#include <string>

#include "msg.pb.h"

#include "CPhoneFrameCutter.h"
#include "CServerFrameCodec.h"
#include "PcLink.h"

namespace {

using Result = CServerFrameCodec::Result;

std::string Bytes(std::initializer_list<unsigned> values) {
  std::string bytes;
  for (unsigned value : values) bytes.push_back(static_cast<char>(value));
  return bytes;
}

// The wire format, pinned: header, big-endian fields, zero reserved words, protobuf body.
TEST(ServerFrameCodecTest, EncodeMatchesGoldenBytes) {
  protocol::C2SGetSvrtimeResp reply;
  reply.set_version(1);
  reply.set_svr_time(100000000);
  std::string frame = CServerFrameCodec::Encode(5001, reply.SerializeAsString());
  EXPECT_EQ(frame, Bytes({0x67, 0xDE, 0x13, 0x89, 0x00, 0x00, 0x00, 0x13, 0x00, 0x00, 0x00, 0x00,
                          0x08, 0x01, 0x10, 0x80, 0xC2, 0xD7, 0x2F}));
  EXPECT_TRUE(
      CServerFrameCodec::Encode(1, std::string(CServerFrameCodec::kMaxBodySize + 1, 'x')).empty());
}

// Split and merged frames cut the same; 12 and 65536 are the length bounds.
TEST(ServerFrameCodecTest, CutsSplitAndMergedFramesAlike) {
  std::string stream = serversim_test::PcLink::Frame(1003, "abc") +
                       serversim_test::PcLink::Frame(1001, "") +
                       serversim_test::PcLink::Frame(3001, std::string(65524, 'z'));
  for (size_t piece : {stream.size(), size_t{1}, size_t{7}}) {
    CServerFrameCodec codec;
    std::vector<CServerFrameCodec::Frame> frames;
    for (size_t at = 0; at < stream.size(); at += piece) {
      codec.Feed(stream.data() + at, std::min(piece, stream.size() - at));
      CServerFrameCodec::Frame frame;
      Result result;
      while ((result = codec.Next(&frame)) == Result::kFrame) frames.push_back(frame);
      ASSERT_EQ(result, Result::kNeedMore);
    }
    ASSERT_EQ(frames.size(), 3u) << "piece " << piece;
    EXPECT_EQ(frames[0].cmd, 1003);
    EXPECT_EQ(frames[0].body, "abc");
    EXPECT_EQ(frames[1].cmd, 1001);
    EXPECT_TRUE(frames[1].body.empty());
    EXPECT_EQ(frames[2].body.size(), 65524u);
  }
}

// A bad header fails as soon as its 12 bytes are in, without waiting for a body.
TEST(ServerFrameCodecTest, RefusesBadMagicAndLengths) {
  for (const std::string& header : {serversim_test::PcLink::Frame(1001, "", 0x67DF),
                                    serversim_test::PcLink::Frame(1001, "", 0x67DE, 11),
                                    serversim_test::PcLink::Frame(1001, "", 0x67DE, 65537)}) {
    CServerFrameCodec codec;
    CServerFrameCodec::Frame frame;
    codec.Feed(header.data(), 11);
    EXPECT_EQ(codec.Next(&frame), Result::kNeedMore);
    codec.Feed(header.data() + 11, 1);
    EXPECT_EQ(codec.Next(&frame), Result::kBad);
    codec.Feed(serversim_test::PcLink::Frame(1001, "").data(), 12);
    EXPECT_EQ(codec.Next(&frame), Result::kBad);
  }
}

// Only the fields the relay needs: ids and length at their offsets, the limits enforced.
TEST(ServerFrameCodecTest, PhoneCutterReadsRoutingFields) {
  std::string frame(48, '\0');
  frame.replace(0, 2, Bytes({0x77, 0xDE}));
  frame.replace(2, 8, Bytes({0, 0, 0, 0, 0, 0, 0x01, 0x02}));
  frame.replace(10, 8, Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}));
  frame.replace(24, 4, Bytes({0, 0, 0, 48}));
  CPhoneFrameCutter cutter;
  std::string stream = frame + frame.substr(0, 20);
  cutter.Feed(stream.data(), 30);
  std::string out;
  CPhoneFrameCutter::Header header;
  EXPECT_EQ(cutter.Next(&out, &header), CPhoneFrameCutter::Result::kNeedMore);
  cutter.Feed(stream.data() + 30, stream.size() - 30);
  ASSERT_EQ(cutter.Next(&out, &header), CPhoneFrameCutter::Result::kFrame);
  EXPECT_EQ(out, frame);
  EXPECT_EQ(header.destId, 0x0102);
  EXPECT_EQ(header.srcId, -2);
  EXPECT_EQ(cutter.Next(&out, &header), CPhoneFrameCutter::Result::kNeedMore);

  for (const std::string& length : {Bytes({0, 0, 0, 39}), Bytes({0, 1, 0, 1})}) {
    std::string bad = frame;
    bad.replace(24, 4, length);
    EXPECT_FALSE(CPhoneFrameCutter::ReadHeader(bad.data(), bad.size(), &header));
  }
  frame[1] = 0x00;
  EXPECT_FALSE(CPhoneFrameCutter::ReadHeader(frame.data(), frame.size(), &header));
}

}  // namespace
