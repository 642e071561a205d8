// Behaviour of the generated classes that the handlers and the peers rely on: which bodies parse,
// what survives a round trip, and the exact bytes a few bodies encode to.

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include <google/protobuf/stubs/common.h>
#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include "msg.pb.h"
#include "uimsg.pb.h"

namespace {

using google::protobuf::util::MessageDifferencer;

constexpr int32_t kCheckCode = 0x5B2D7E61;

std::string Bytes(std::initializer_list<uint8_t> bytes) {
  return std::string(bytes.begin(), bytes.end());
}

template <typename T>
bool Parse(T* msg, const std::string& bytes) {
  return msg->ParseFromArray(bytes.data(), static_cast<int>(bytes.size()));
}

protocol::UIUploadFileInfo FullUploadFileInfo() {
  protocol::UIUploadFileInfo info;
  info.set_device_id(0x1122334455667788);
  info.set_file_device_path("/DCIM/Camera/IMG_0001.jpg");
  info.set_file_timestamp(1700000000123);
  info.set_file_size(4 * 1024 * 1024);
  info.set_file_scrc64(-42);
  info.set_album_name("Camera");
  info.set_location("");
  info.set_file_path("");
  info.set_file_id(7);
  info.set_file_device_subpath("");
  return info;
}

TEST(RequiredFieldsTest, EmptyBodyParsesOnlyWhereNothingIsRequired) {
  const std::string empty;
  protocol::C2CPhoneHeartbeatReq heartbeat;
  EXPECT_FALSE(Parse(&heartbeat, empty));

  protocol::C2SPcLogoutReq logout;
  EXPECT_TRUE(Parse(&logout, empty));
  EXPECT_EQ(logout.SerializeAsString(), "");
}

TEST(RequiredFieldsTest, SenderDoesNotCheckButReceiverDoes) {
  protocol::C2SPcLoginReq login;
  login.set_pc_guid("guid");
  login.add_id_phone_list(5);
  // This runtime treats a checked serialisation of an incomplete message as a fatal error, so
  // a body that must go out as built is written with the partial variant.
  EXPECT_THROW(login.SerializeAsString(), google::protobuf::FatalException);
  std::string bytes;
  ASSERT_TRUE(login.SerializePartialToString(&bytes));
  EXPECT_FALSE(bytes.empty());

  protocol::C2SPcLoginReq received;
  EXPECT_FALSE(Parse(&received, bytes));

  login.set_id_pc(1);
  ASSERT_TRUE(login.SerializeToString(&bytes));
  EXPECT_TRUE(Parse(&received, bytes));
}

TEST(RequiredFieldsTest, KeyFieldsThatProducersMustAlwaysSet) {
  // The check key is optional for a redirect but required for the unbind requests.
  protocol::C2SPcRedirectReq redirect;
  redirect.set_id_pc(9);
  EXPECT_TRUE(Parse(&redirect, redirect.SerializeAsString()));
  protocol::C2SPcUnbindReq unbind;
  unbind.set_id_pc(9);
  unbind.set_unbind_info("x");
  EXPECT_FALSE(Parse(&unbind, unbind.SerializePartialAsString()));

  // The phone may omit the sub-path, but the record still needs it: the producer sets it empty.
  protocol::UIUploadFileInfo info = FullUploadFileInfo();
  protocol::UIUploadFileInfo parsed;
  EXPECT_TRUE(Parse(&parsed, info.SerializeAsString()));
  info.clear_file_device_subpath();
  EXPECT_FALSE(Parse(&parsed, info.SerializePartialAsString()));

  // A chunk with zero data bytes still has its data field present.
  protocol::C2CPhoneUploadFileNextReq chunk;
  chunk.set_check_code(kCheckCode);
  chunk.set_file_size(10);
  chunk.set_start_position(10);
  chunk.set_data_len(0);
  chunk.set_data("");
  chunk.set_file_id(3);
  protocol::C2CPhoneUploadFileNextReq parsedChunk;
  ASSERT_TRUE(Parse(&parsedChunk, chunk.SerializeAsString()));
  EXPECT_TRUE(parsedChunk.has_data());
}

TEST(TruncationTest, BytesEndingInsideAFieldFail) {
  // Only check_code is required, so cuts at field boundaries after it parse; every other cut
  // ends inside a field and must fail even though check_code was already read.
  protocol::C2CPhoneBindReq bind;
  bind.set_check_code(kCheckCode);
  std::vector<size_t> boundaries = {bind.ByteSizeLong()};
  bind.set_phone_soft_version(0x0001000200030004);
  boundaries.push_back(bind.ByteSizeLong());
  bind.set_phone_name("Ostra");
  boundaries.push_back(bind.ByteSizeLong());
  const std::string bytes = bind.SerializeAsString();
  ASSERT_EQ(bytes.size(), boundaries.back());

  for (size_t len = 0; len <= bytes.size(); ++len) {
    const bool atBoundary =
        std::find(boundaries.begin(), boundaries.end(), len) != boundaries.end();
    protocol::C2CPhoneBindReq parsed;
    EXPECT_EQ(parsed.ParseFromArray(bytes.data(), static_cast<int>(len)), atBoundary)
        << "cut at " << len << " of " << bytes.size();
  }

  // The record's last field is required, so no proper prefix parses.
  const std::string record = FullUploadFileInfo().SerializeAsString();
  for (size_t len = 0; len < record.size(); ++len) {
    protocol::UIUploadFileInfo parsed;
    EXPECT_FALSE(parsed.ParseFromArray(record.data(), static_cast<int>(len))) << "cut at " << len;
  }
}

TEST(UnknownFieldsTest, SurviveARoundTrip) {
  // check_code, then fields this schema does not know, one of each wire type.
  const std::string bytes = Bytes({0x08, 0xe1, 0xfc, 0xb5, 0xd9, 0x05,           // 1: check_code
                                   0x10, 0xac, 0x02,                             // 2: varint 300
                                   0x1a, 0x03, 'a',  'b',  'c',                  // 3: "abc"
                                   0x21, 1,    2,    3,    4,    5,    6, 7, 8,  // 4: fixed64
                                   0x2d, 9,    10,   11,   12,                   // 5: fixed32
                                   0xf8, 0x01, 0x7f});                           // 31: varint
  protocol::C2CPhoneLoginReq login;
  ASSERT_TRUE(Parse(&login, bytes));
  EXPECT_EQ(login.check_code(), kCheckCode);
  EXPECT_EQ(login.SerializeAsString(), bytes);
  EXPECT_EQ(login.ByteSizeLong(), bytes.size());

  // A body of a richer message read as a poorer one whose field 2 has another wire type.
  protocol::C2SPhoneRedirectReq phoneRedirect;
  phoneRedirect.set_id_pc(1);
  phoneRedirect.set_id_phone(2);
  phoneRedirect.set_check_key(std::string("\x00\xff", 2));
  const std::string richer = phoneRedirect.SerializeAsString();
  protocol::C2SPcRedirectReq pcRedirect;
  ASSERT_TRUE(Parse(&pcRedirect, richer));
  EXPECT_FALSE(pcRedirect.has_check_key());
  EXPECT_EQ(pcRedirect.SerializeAsString(), richer);
}

TEST(RepeatedInt64Test, WrittenElementWiseAndReadPackedOrNot) {
  protocol::C2SPcLoginReq login;
  login.set_id_pc(7);
  login.add_id_phone_list(1);
  login.add_id_phone_list(-2);
  login.add_id_phone_list(int64_t{1} << 40);
  const std::string elementWise =
      Bytes({0x08, 0x07,                                                        // id_pc
             0x28, 0x01,                                                        // 1
             0x28, 0xfe, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01,  // -2
             0x28, 0x80, 0x80, 0x80, 0x80, 0x80, 0x20});                        // 2^40
  EXPECT_EQ(login.SerializeAsString(), elementWise);

  const std::string packed = Bytes({0x08, 0x07, 0x2a, 17,  // field 5, length-delimited
                                    0x01,                  // 1
                                    0xfe, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                    0xff, 0x01, 0x80, 0x80, 0x80, 0x80, 0x80, 0x20});
  protocol::C2SPcLoginReq parsed;
  ASSERT_TRUE(Parse(&parsed, packed));
  EXPECT_TRUE(MessageDifferencer::Equals(parsed, login));
  // Re-encoded element by element, whatever the sender used.
  EXPECT_EQ(parsed.SerializeAsString(), elementWise);

  // A field met twice: the singular one keeps the last value, the repeated one both.
  ASSERT_TRUE(Parse(&parsed, Bytes({0x08, 0x01, 0x28, 0x05, 0x08, 0x02, 0x2a, 0x01, 0x06})));
  EXPECT_EQ(parsed.id_pc(), 2);
  ASSERT_EQ(parsed.id_phone_list_size(), 2);
  EXPECT_EQ(parsed.id_phone_list(0), 5);
  EXPECT_EQ(parsed.id_phone_list(1), 6);
}

TEST(DeterminismTest, SerialisingTwiceGivesTheSameBytes) {
  protocol::C2SPhoneRedirectResp resp;
  resp.set_id_pc(-1);
  resp.set_id_phone(INT64_MAX);
  resp.set_proxy_ip("10.0.0.1");
  resp.set_proxy_port(8000);
  resp.set_heartbeat_cycle(30);
  resp.set_session_key(std::string("\x00\x01\x80\xff", 4));
  resp.set_is_report_err_log(true);
  resp.set_transfer_ip("10.0.0.2");
  resp.set_transfer_port(-5);

  std::string first = "stale contents the serialiser must replace";
  std::string second;
  ASSERT_TRUE(resp.SerializeToString(&first));
  ASSERT_TRUE(resp.SerializeToString(&second));
  EXPECT_EQ(first, second);
  EXPECT_EQ(resp.ByteSizeLong(), first.size());

  protocol::C2SPhoneRedirectResp parsed;
  ASSERT_TRUE(Parse(&parsed, first));
  EXPECT_TRUE(MessageDifferencer::Equals(parsed, resp));
  EXPECT_EQ(parsed.SerializeAsString(), first);
}

TEST(WireFormatTest, GoldenBodies) {
  protocol::C2CPhoneLoginReq login;
  login.set_check_code(kCheckCode);
  EXPECT_EQ(login.SerializeAsString(), Bytes({0x08, 0xe1, 0xfc, 0xb5, 0xd9, 0x05}));

  // A false bool and a zero are present and written; a negative int32 takes ten bytes.
  protocol::C2CPhoneUploadFileFirstResp first;
  first.set_check_code(kCheckCode);
  first.set_need_upload(false);
  first.set_start_position(0);
  first.set_file_id(-1);
  EXPECT_EQ(first.SerializeAsString(),
            Bytes({0x08, 0xe1, 0xfc, 0xb5, 0xd9, 0x05, 0x10, 0x00, 0x18, 0x00, 0x20,
                   0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}));

  // A PC whose local server has no port sends only fields 1 and 2.
  protocol::UIBindInfo bindInfo;
  bindInfo.set_id_pc(300);
  bindInfo.set_bind_key("ABCDEFGHJKLMNPQR");
  const std::string bindBytes = bindInfo.SerializeAsString();
  EXPECT_EQ(bindBytes, Bytes({0x08, 0xac, 0x02, 0x12, 0x10}) + "ABCDEFGHJKLMNPQR");
  protocol::UIBindInfo parsedBind;
  ASSERT_TRUE(Parse(&parsedBind, bindBytes));
  EXPECT_FALSE(parsedBind.has_local_ip());
  EXPECT_FALSE(parsedBind.has_local_port());
}

}  // namespace
