// A chunk request read in place must read exactly as the message's own parse reads it.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Logic/UploadChunkRequest.h"
#include "msg.pb.h"

namespace {

std::string ChunkBody(const std::string& data, int32_t fileId = 77) {
  protocol::C2CPhoneUploadFileNextReq request;
  request.set_check_code(0x5B2D7E61);
  request.set_file_size(1 << 20);
  request.set_start_position(4096);
  request.set_data_len(static_cast<int32_t>(data.size()));
  request.set_data(data);
  request.set_file_id(fileId);
  return request.SerializePartialAsString();
}

// The in-place reading against the ordinary parse of the same bytes.
void ExpectSameReading(const std::string& body, const std::string& what) {
  protocol::C2CPhoneUploadFileNextReq whole;
  const bool wholeOk = whole.ParseFromArray(body.data(), static_cast<int>(body.size()));
  CUploadChunkRequest chunk;
  const bool chunkOk = chunk.ParseFromArray(body.data(), static_cast<int>(body.size()));
  ASSERT_EQ(wholeOk, chunkOk) << what;
  if (!wholeOk) return;
  const std::string data(reinterpret_cast<const char*>(chunk.Data()), chunk.DataLength());
  EXPECT_EQ(whole.data(), data) << what;
  protocol::C2CPhoneUploadFileNextReq rest = whole;
  rest.clear_data();
  protocol::C2CPhoneUploadFileNextReq chunkRest = chunk.Message();
  chunkRest.clear_data();
  EXPECT_EQ(rest.SerializePartialAsString(), chunkRest.SerializePartialAsString()) << what;
}

TEST(UploadChunkRequestTest, ReadsInPlaceWhatTheMessageParseReads) {
  std::string data(65459, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 300);
  const std::string body = ChunkBody(data);

  CUploadChunkRequest chunk;
  ASSERT_TRUE(chunk.ParseFromArray(body.data(), static_cast<int>(body.size())));
  // The bytes are seen where they lie, not copied.
  EXPECT_GE(reinterpret_cast<const char*>(chunk.Data()), body.data());
  EXPECT_LE(reinterpret_cast<const char*>(chunk.Data()) + chunk.DataLength(),
            body.data() + body.size());
  EXPECT_EQ(chunk.check_code(), 0x5B2D7E61);
  EXPECT_EQ(chunk.Message().file_id(), 77);
  EXPECT_EQ(chunk.Message().start_position(), 4096);

  ExpectSameReading(body, "plain");
  ExpectSameReading("", "empty");
  ExpectSameReading(ChunkBody(""), "no data bytes");
  // A later `data` replaces an earlier one; a later scalar too.
  ExpectSameReading(body + ChunkBody("second", 78), "two requests back to back");
  // Field 5 as a varint is an unknown field, not the data: the request then lacks its data.
  protocol::C2CPhoneUploadFileNextReq noData;
  noData.ParseFromString(ChunkBody("x"));
  noData.clear_data();
  ExpectSameReading(noData.SerializePartialAsString() + std::string("\x28\x05", 2), "data as int");
  ExpectSameReading(noData.SerializePartialAsString(), "data missing");
  // Unknown fields of every wire type around the data, a group among them.
  // Fields 7 (varint), 8 (bytes "abc"), 9 (fixed32), 10 (fixed64) and group 11 holding 1 = 1.
  const std::string unknown = {'\x38', '\x01', '\x42', '\x03', 'a',    'b',    'c',   '\x4d', 'w',
                               'x',    'y',    'z',    '\x51', '1',    '2',    '3',   '4',    '5',
                               '6',    '7',    '8',    '\x5b', '\x08', '\x01', '\x5c'};
  ExpectSameReading(unknown + body + unknown, "unknown fields");
  // Every cut and every byte changed near the fields, where a reading can go astray.
  const std::string small = ChunkBody("some chunk bytes");
  for (size_t cut = 0; cut <= small.size(); ++cut) {
    ExpectSameReading(small.substr(0, cut), "cut at " + std::to_string(cut));
  }
  for (size_t at = 0; at < small.size(); ++at) {
    for (int value : {0x00, 0x04, 0x0B, 0x2A, 0x2C, 0x7F, 0x80, 0xFF}) {
      std::string changed = small;
      changed[at] = static_cast<char>(value);
      ExpectSameReading(changed, "byte " + std::to_string(at) + " = " + std::to_string(value));
    }
  }
}

}  // namespace
