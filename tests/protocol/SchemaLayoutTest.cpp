// Pins the declaration order, numbering, labels and types of both schemas. The classes' indices
// and every peer's wire format follow from them, and a transposed row or a mistyped label slips
// through every round-trip test, since both sides compile the same schema.

#include <string>
#include <utility>
#include <vector>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <gtest/gtest.h>

#include "msg.pb.h"
#include "uimsg.pb.h"

namespace {

using google::protobuf::Descriptor;
using google::protobuf::EnumDescriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::FileDescriptor;

constexpr FieldDescriptor::Label kRequired = FieldDescriptor::LABEL_REQUIRED;
constexpr FieldDescriptor::Label kOptional = FieldDescriptor::LABEL_OPTIONAL;
constexpr FieldDescriptor::Label kRepeated = FieldDescriptor::LABEL_REPEATED;
constexpr FieldDescriptor::Type kInt32 = FieldDescriptor::TYPE_INT32;
constexpr FieldDescriptor::Type kInt64 = FieldDescriptor::TYPE_INT64;
constexpr FieldDescriptor::Type kString = FieldDescriptor::TYPE_STRING;
constexpr FieldDescriptor::Type kBytes = FieldDescriptor::TYPE_BYTES;
constexpr FieldDescriptor::Type kBool = FieldDescriptor::TYPE_BOOL;

struct ExpectedField {
  int number;
  const char* name;
  FieldDescriptor::Label label;
  FieldDescriptor::Type type;
};

struct ExpectedMessage {
  const char* name;
  std::vector<ExpectedField> fields;
};

struct ExpectedEnum {
  const char* name;
  std::vector<std::pair<const char*, int>> values;
};

const std::vector<ExpectedEnum> kMsgEnums = {
    {"C2CPCErrorCode",
     {{"ErrorCode_default", 0},
      {"ErrorCode_Upload_General", 11001},
      {"ErrorCode_Upload_DiskFull", 11002},
      {"ErrorCode_Upload_NotDisk", 11003},
      {"ErrorCode_pc_disbind", 10001},
      {"ErrorCode_phone_disbind", 10002}}},
    {"C2SCommand",
     {{"C2S_pc_login", 1001},
      {"C2S_pc_logout", 1002},
      {"C2S_pc_heartbeat", 1003},
      {"C2S_pc_query_phone_status", 1004},
      {"C2S_pc_add_phone", 1005},
      {"C2S_pc_delete_phone", 1006},
      {"C2S_pc_redirect", 1007},
      {"C2S_pc_create_uin", 1008},
      {"C2S_pc_unbind", 1009},
      {"C2S_pc_get_unbind_info", 1010},
      {"C2S_pc_clear_unbind_info", 1011},
      {"C2S_phone_login", 2001},
      {"C2S_phone_logout", 2002},
      {"C2S_phone_heartbeat", 2003},
      {"C2S_phone_query_pc_status", 2004},
      {"C2S_phone_redirect", 2005},
      {"C2S_phone_create_uin", 2006},
      {"C2S_phone_unbind", 2007},
      {"C2S_phone_get_unbind_info", 2008},
      {"C2S_phone_clear_unbind_info", 2009},
      {"C2S_transfer_phone_to_pc", 3001},
      {"C2S_transfer_pc_to_phone", 3002},
      {"C2S_notice_pc_offline", 4001},
      {"C2S_notice_phone_offline", 4002},
      {"C2S_notice_pc_online", 4003},
      {"C2S_notice_phone_online", 4004},
      {"C2S_notice_phone_unbind", 4005},
      {"C2S_get_svrtime", 5001},
      {"S2S_notice_phone_unbind", 5002},
      {"C2S_report_data", 5003}}},
    {"C2CCommand",
     {{"C2C_phone_login", 6001},
      {"C2C_phone_logout", 6002},
      {"C2C_phone_bind", 6003},
      {"C2C_phone_bind_wait", 6004},
      {"C2C_phone_bind_finish", 6005},
      {"C2C_phone_upload_files", 6006},
      {"C2C_phone_upload_file_first", 6007},
      {"C2C_phone_upload_file_next", 6008},
      {"C2C_phone_report", 6009},
      {"C2C_phone_data_channel", 6010},
      {"C2C_phone_heartbeat", 6011},
      {"C2C_phone_upload_finish", 6012},
      {"C2C_phone_upload_begin", 6013}}},
};

// msg.proto: PC-server, phone-server, server time and notices, then phone-PC.
const std::vector<ExpectedMessage> kMsgMessages = {
    {"C2SPcLoginReq",
     {{1, "id_pc", kRequired, kInt64},
      {2, "pc_guid", kOptional, kString},
      {3, "pc_soft_version", kOptional, kInt64},
      {4, "pc_sys_version", kOptional, kInt64},
      {5, "id_phone_list", kRepeated, kInt64},
      {6, "pc_onclient_secs", kOptional, kInt32},
      {7, "disk_total", kOptional, kInt64},
      {8, "disk_used", kOptional, kInt64},
      {9, "pc_local_ip", kOptional, kString},
      {10, "pc_local_port", kOptional, kInt32},
      {11, "session_key", kOptional, kBytes}}},
    {"C2SPcLoginResp",
     {{1, "id_pc", kRequired, kInt64},
      {2, "pc_onsvr_secs", kRequired, kInt32},
      {3, "id_phone_online_list", kRepeated, kInt64},
      {4, "id_phone_onsvr_secs_list", kRepeated, kInt64}}},
    {"C2SPcLogoutReq", {}},
    {"C2SPcLogoutResp", {}},
    {"C2SPcHeartbeatReq",
     {{1, "id_pc", kRequired, kInt64},
      {2, "pc_guid", kOptional, kString},
      {3, "pc_local_ip", kOptional, kString},
      {4, "pc_local_port", kOptional, kInt32},
      {5, "session_key", kOptional, kBytes}}},
    {"C2SPcHeartbeatResp",
     {{1, "id_pc", kRequired, kInt64},
      {2, "pc_onsvr_secs", kRequired, kInt32},
      {3, "id_phone_online_list", kRepeated, kInt64},
      {4, "id_phone_onsvr_secs_list", kRepeated, kInt64}}},
    {"C2SPcQueryPhoneStatusReq", {}},
    {"C2SPcQueryPhoneStatusResp", {}},
    {"C2SPcAddPhoneReq", {}},
    {"C2SPcAddPhoneResp", {}},
    {"C2SPcDeletePhoneReq", {}},
    {"C2SPcDeletePhoneResp", {}},
    {"C2SPcRedirectReq", {{1, "id_pc", kRequired, kInt64}, {2, "check_key", kOptional, kBytes}}},
    {"C2SPcRedirectResp",
     {{1, "id_pc", kRequired, kInt64},
      {2, "proxy_ip", kRequired, kString},
      {3, "proxy_port", kRequired, kInt32},
      {4, "heartbeat_cycle", kRequired, kInt32},
      {5, "session_key", kOptional, kBytes}}},
    {"C2SPcCreateUinReq", {{1, "version", kRequired, kInt32}}},
    {"C2SPcCreateUinResp",
     {{1, "version", kRequired, kInt32},
      {2, "id_pc", kRequired, kInt64},
      {3, "id_key", kOptional, kString}}},
    {"C2SPcUnbindReq",
     {{1, "id_pc", kRequired, kInt64},
      {2, "check_key", kRequired, kBytes},
      {3, "unbind_info", kRequired, kBytes}}},
    {"C2SPcUnbindResp", {{1, "id_pc", kRequired, kInt64}}},
    {"C2SPcGetUnbindInfoReq",
     {{1, "id_pc", kRequired, kInt64}, {2, "check_key", kRequired, kBytes}}},
    {"C2SPcGetUnbindInfoResp",
     {{1, "id_pc", kRequired, kInt64}, {2, "unbind_info_list", kRepeated, kBytes}}},
    {"C2SPcClearUnbindInfoReq",
     {{1, "id_pc", kRequired, kInt64}, {2, "check_key", kRequired, kBytes}}},
    {"C2SPcClearUnbindInfoResp", {{1, "id_pc", kRequired, kInt64}}},
    {"C2SPhoneLoginReq",
     {{1, "id_phone", kRequired, kInt64},
      {2, "id_pc", kRequired, kInt64},
      {3, "phone_onclient_secs", kOptional, kInt32},
      {4, "file_total", kOptional, kInt32},
      {5, "file_ok", kOptional, kInt32},
      {6, "phone_str", kOptional, kString},
      {7, "auto_backup", kOptional, kBool},
      {8, "auto_backup_lan_only", kOptional, kBool},
      {9, "phone_soft_version", kOptional, kInt64},
      {10, "phone_sys_version", kOptional, kInt64},
      {11, "phone_zelid", kOptional, kString},
      {12, "session_key", kOptional, kBytes}}},
    {"C2SPhoneLoginResp",
     {{1, "id_phone", kRequired, kInt64},
      {2, "id_pc", kRequired, kInt64},
      {3, "phone_onsvr_secs", kRequired, kInt32},
      {4, "pc_onsvr_flag", kRequired, kBool},
      {5, "pc_onsvr_secs", kRequired, kInt32},
      {6, "pc_local_ip", kOptional, kString},
      {7, "pc_local_port", kOptional, kInt32},
      {8, "can_use_proxy", kOptional, kBool}}},
    {"C2SPhoneLogoutReq", {}},
    {"C2SPhoneLogoutResp", {}},
    {"C2SPhoneHeartbeatReq",
     {{1, "id_phone", kRequired, kInt64},
      {2, "id_pc", kRequired, kInt64},
      {3, "phone_onclient_secs", kOptional, kInt32},
      {4, "file_total", kOptional, kInt32},
      {5, "file_ok", kOptional, kInt32},
      {6, "phone_str", kOptional, kString},
      {7, "transfer_open", kOptional, kBool},
      {8, "phone_zelid", kOptional, kString},
      {9, "session_key", kOptional, kBytes}}},
    {"C2SPhoneHeartbeatResp",
     {{1, "id_phone", kRequired, kInt64},
      {2, "id_pc", kRequired, kInt64},
      {3, "phone_onsvr_secs", kRequired, kInt32},
      {4, "pc_onsvr_flag", kRequired, kBool},
      {5, "pc_onsvr_secs", kRequired, kInt32},
      {6, "pc_local_ip", kOptional, kString},
      {7, "pc_local_port", kOptional, kInt32},
      {8, "can_use_proxy", kOptional, kBool}}},
    {"C2SPhoneQueryPcStatusReq", {}},
    {"C2SPhoneQueryPcStatusResp", {}},
    {"C2SPhoneRedirectReq",
     {{1, "id_pc", kRequired, kInt64},
      {2, "id_phone", kRequired, kInt64},
      {3, "check_key", kOptional, kBytes}}},
    {"C2SPhoneRedirectResp",
     {{1, "id_pc", kRequired, kInt64},
      {2, "id_phone", kRequired, kInt64},
      {3, "proxy_ip", kRequired, kString},
      {4, "proxy_port", kRequired, kInt32},
      {5, "heartbeat_cycle", kRequired, kInt32},
      {6, "session_key", kOptional, kBytes},
      {7, "is_report_err_log", kOptional, kBool},
      {8, "transfer_ip", kOptional, kString},
      {9, "transfer_port", kOptional, kInt32}}},
    {"C2SPhoneCreateUinReq", {{1, "version", kRequired, kInt32}}},
    {"C2SPhoneCreateUinResp",
     {{1, "version", kRequired, kInt32},
      {2, "id_phone", kRequired, kInt64},
      {3, "id_key", kOptional, kString}}},
    {"C2SPhoneUnbindReq",
     {{1, "id_phone", kRequired, kInt64},
      {2, "check_key", kRequired, kBytes},
      {3, "unbind_info", kRequired, kBytes}}},
    {"C2SPhoneUnbindResp", {{1, "id_phone", kRequired, kInt64}}},
    {"C2SPhoneGetUnbindInfoReq",
     {{1, "id_phone", kRequired, kInt64}, {2, "check_key", kRequired, kBytes}}},
    {"C2SPhoneGetUnbindInfoResp",
     {{1, "id_phone", kRequired, kInt64}, {2, "unbind_info_list", kRepeated, kBytes}}},
    {"C2SPhoneClearUnbindInfoReq",
     {{1, "id_phone", kRequired, kInt64}, {2, "check_key", kRequired, kBytes}}},
    {"C2SPhoneClearUnbindInfoResp", {{1, "id_phone", kRequired, kInt64}}},
    {"C2SGetSvrtimeReq", {{1, "version", kRequired, kInt32}}},
    {"C2SGetSvrtimeResp", {{1, "version", kRequired, kInt32}, {2, "svr_time", kRequired, kInt64}}},
    {"C2SReportDataReq",
     {{1, "version", kRequired, kInt32}, {2, "report_data", kRequired, kString}}},
    {"C2SReportDataResp", {{1, "version", kRequired, kInt32}}},
    {"C2SNoticePcOffline", {{1, "id_pc", kRequired, kInt64}}},
    {"C2SNoticePhoneOffline", {{1, "id_phone", kRequired, kInt64}}},
    {"C2SNoticePcOnline",
     {{1, "id_pc", kRequired, kInt64},
      {2, "pc_local_ip", kOptional, kString},
      {3, "pc_local_port", kOptional, kInt32}}},
    {"C2SNoticePhoneOnline", {{1, "id_phone", kRequired, kInt64}}},
    {"C2SNoticePhoneUnbind",
     {{1, "id_pc", kRequired, kInt64},
      {2, "id_phone", kRequired, kInt64},
      {3, "unbind_info", kRequired, kBytes}}},
    {"S2SNoticePhoneUnbind",
     {{1, "id_pc", kRequired, kInt64},
      {2, "id_phone", kRequired, kInt64},
      {3, "unbind_info", kRequired, kBytes}}},
    {"C2CPhoneLoginReq", {{1, "check_code", kRequired, kInt32}}},
    {"C2CPhoneLoginResp", {{1, "check_code", kRequired, kInt32}}},
    {"C2CPhoneLogoutReq", {{1, "check_code", kRequired, kInt32}}},
    {"C2CPhoneLogoutResp", {{1, "check_code", kRequired, kInt32}}},
    {"C2CPhoneBindReq",
     {{1, "check_code", kRequired, kInt32},
      {2, "phone_soft_version", kOptional, kInt64},
      {3, "phone_sys_version", kOptional, kInt64},
      {4, "phone_str", kOptional, kString},
      {5, "phone_name", kOptional, kString},
      {6, "phone_zelid", kOptional, kString}}},
    {"C2CPhoneBindResp",
     {{1, "check_code", kRequired, kInt32},
      {2, "new_key", kRequired, kString},
      {3, "pc_name", kOptional, kString}}},
    {"C2CPhoneBindWaitReq",
     {{1, "check_code", kRequired, kInt32}, {2, "wait_time", kRequired, kInt32}}},
    {"C2CPhoneBindWaitResp",
     {{1, "check_code", kRequired, kInt32}, {2, "wait_time", kRequired, kInt32}}},
    {"C2CPhoneBindFinishReq",
     {{1, "check_code", kRequired, kInt32}, {2, "check_bind", kRequired, kBool}}},
    {"C2CPhoneBindFinishResp",
     {{1, "check_code", kRequired, kInt32}, {2, "bind_result", kRequired, kBool}}},
    {"C2CPhoneUploadFilesReq",
     {{1, "check_code", kRequired, kInt32},
      {2, "files_total", kRequired, kInt32},
      {3, "files_ok", kRequired, kInt32},
      {4, "f_pic_total", kOptional, kInt32},
      {5, "f_pic_ok", kOptional, kInt32},
      {6, "f_video_total", kOptional, kInt32},
      {7, "f_video_ok", kOptional, kInt32},
      {8, "files_failed", kOptional, kInt32}}},
    {"C2CPhoneUploadFilesResp", {{1, "check_code", kRequired, kInt32}}},
    {"C2CPhoneUploadBeginReq",
     {{1, "check_code", kRequired, kInt32},
      {2, "transfer_ip", kRequired, kString},
      {3, "transfer_port", kRequired, kInt32}}},
    {"C2CPhoneUploadBeginResp",
     {{1, "check_code", kRequired, kInt32},
      {2, "conn_transfer_result", kRequired, kBool},
      {3, "conn_transfer_code", kRequired, kInt32}}},
    {"C2CPhoneUploadFinishReq",
     {{1, "check_code", kRequired, kInt32},
      {2, "files_total", kRequired, kInt32},
      {3, "files_ok", kRequired, kInt32},
      {4, "f_pic_total", kOptional, kInt32},
      {5, "f_pic_ok", kOptional, kInt32},
      {6, "f_video_total", kOptional, kInt32},
      {7, "f_video_ok", kOptional, kInt32},
      {8, "files_failed", kOptional, kInt32},
      {9, "files_left", kOptional, kInt32},
      {10, "finish_reason", kOptional, kInt32}}},
    {"C2CPhoneUploadFinishResp", {{1, "check_code", kRequired, kInt32}}},
    {"C2CPhoneUploadFileFirstReq",
     {{1, "check_code", kRequired, kInt32},
      {2, "file_path", kRequired, kString},
      {3, "file_timestamp", kRequired, kInt64},
      {4, "file_size", kRequired, kInt64},
      {5, "file_scrc64", kRequired, kInt64},
      {6, "file_name", kOptional, kString},
      {7, "album_name", kOptional, kString},
      {8, "location", kOptional, kString},
      {9, "file_sub_path", kOptional, kString}}},
    {"C2CPhoneUploadFileFirstResp",
     {{1, "check_code", kRequired, kInt32},
      {2, "need_upload", kRequired, kBool},
      {3, "start_position", kRequired, kInt64},
      {4, "file_id", kRequired, kInt32}}},
    {"C2CPhoneUploadFileNextReq",
     {{1, "check_code", kRequired, kInt32},
      {2, "file_size", kRequired, kInt64},
      {3, "start_position", kRequired, kInt64},
      {4, "data_len", kRequired, kInt32},
      {5, "data", kRequired, kBytes},
      {6, "file_id", kRequired, kInt32}}},
    {"C2CPhoneUploadFileNextResp",
     {{1, "check_code", kRequired, kInt32},
      {2, "start_position", kRequired, kInt64},
      {3, "data_len", kRequired, kInt32}}},
    {"C2CPhoneReportReq", {{1, "check_code", kRequired, kInt32}}},
    {"C2CPhoneReportResp", {{1, "check_code", kRequired, kInt32}}},
    {"C2CPhoneDataChannelReq", {{1, "check_code", kRequired, kInt32}}},
    {"C2CPhoneDataChannelResp", {{1, "check_code", kRequired, kInt32}}},
    {"C2CPhoneHeartbeatReq", {{1, "check_code", kRequired, kInt32}}},
    {"C2CPhoneHeartbeatResp", {{1, "check_code", kRequired, kInt32}}},
};

const std::vector<ExpectedMessage> kUiMessages = {
    {"UIBindInfo",
     {{1, "id_pc", kRequired, kInt64},
      {2, "bind_key", kRequired, kString},
      {3, "local_ip", kOptional, kString},
      {4, "local_port", kOptional, kInt32}}},
    {"UIUploadFileInfo",
     {{1, "device_id", kRequired, kInt64},
      {2, "file_device_path", kRequired, kString},
      {3, "file_timestamp", kRequired, kInt64},
      {4, "file_size", kRequired, kInt64},
      {5, "file_scrc64", kRequired, kInt64},
      {6, "album_name", kOptional, kString},
      {7, "location", kOptional, kString},
      {8, "file_path", kOptional, kString},
      {9, "file_id", kRequired, kInt32},
      {10, "file_device_subpath", kRequired, kString}}},
};

void ExpectFileSettings(const FileDescriptor* file, const char* name, const char* outerClass) {
  SCOPED_TRACE(name);
  EXPECT_EQ(file->name(), name);
  EXPECT_EQ(file->package(), "protocol");
  EXPECT_EQ(file->syntax(), FileDescriptor::SYNTAX_PROTO2);
  EXPECT_EQ(file->dependency_count(), 0);
  EXPECT_EQ(file->service_count(), 0);
  EXPECT_EQ(file->extension_count(), 0);
  EXPECT_EQ(file->options().java_outer_classname(), outerClass);
  EXPECT_EQ(file->options().java_package(), "com.lumidock.protocol");
  // Without optimize_for the classes keep full descriptors and reflection.
  EXPECT_FALSE(file->options().has_optimize_for());
}

void ExpectEnums(const FileDescriptor* file, const std::vector<ExpectedEnum>& expected) {
  ASSERT_EQ(file->enum_type_count(), static_cast<int>(expected.size()));
  for (size_t i = 0; i < expected.size(); ++i) {
    const EnumDescriptor* e = file->enum_type(static_cast<int>(i));
    SCOPED_TRACE(expected[i].name);
    EXPECT_EQ(e->name(), expected[i].name);
    ASSERT_EQ(e->value_count(), static_cast<int>(expected[i].values.size()));
    for (size_t v = 0; v < expected[i].values.size(); ++v) {
      EXPECT_EQ(e->value(static_cast<int>(v))->name(), expected[i].values[v].first);
      EXPECT_EQ(e->value(static_cast<int>(v))->number(), expected[i].values[v].second);
    }
  }
}

void ExpectMessages(const FileDescriptor* file, const std::vector<ExpectedMessage>& expected) {
  ASSERT_EQ(file->message_type_count(), static_cast<int>(expected.size()));
  for (size_t i = 0; i < expected.size(); ++i) {
    const Descriptor* m = file->message_type(static_cast<int>(i));
    const ExpectedMessage& want = expected[i];
    SCOPED_TRACE(testing::Message() << "message #" << i << " " << want.name);
    ASSERT_EQ(m->name(), want.name);
    EXPECT_EQ(m->nested_type_count(), 0);
    EXPECT_EQ(m->enum_type_count(), 0);
    EXPECT_EQ(m->extension_range_count(), 0);
    ASSERT_EQ(m->field_count(), static_cast<int>(want.fields.size()));
    for (size_t f = 0; f < want.fields.size(); ++f) {
      const FieldDescriptor* field = m->field(static_cast<int>(f));
      SCOPED_TRACE(want.fields[f].name);
      EXPECT_EQ(field->number(), want.fields[f].number);
      EXPECT_EQ(field->name(), want.fields[f].name);
      EXPECT_EQ(field->label(), want.fields[f].label);
      EXPECT_EQ(field->type(), want.fields[f].type);
      EXPECT_FALSE(field->has_default_value());
      EXPECT_FALSE(field->options().has_packed());
    }
  }
}

TEST(SchemaLayoutTest, MsgProtoMatchesTheDeclaredTable) {
  const FileDescriptor* file = protocol::C2SPcLoginReq::descriptor()->file();
  ExpectFileSettings(file, "msg.proto", "QuillonProtos");
  ExpectEnums(file, kMsgEnums);
  ExpectMessages(file, kMsgMessages);
  // The generated classes sit at the indices of their declarations.
  EXPECT_EQ(protocol::C2SPcLoginReq::descriptor()->index(), 0);
  EXPECT_EQ(protocol::C2SPhoneLoginReq::descriptor()->index(), 22);
  EXPECT_EQ(protocol::C2SGetSvrtimeReq::descriptor()->index(), 40);
  EXPECT_EQ(protocol::C2CPhoneLoginReq::descriptor()->index(), 50);
  EXPECT_EQ(protocol::C2CPhoneHeartbeatResp::descriptor()->index(), 75);
}

TEST(SchemaLayoutTest, UimsgProtoMatchesTheDeclaredTable) {
  const FileDescriptor* file = protocol::UIBindInfo::descriptor()->file();
  ExpectFileSettings(file, "uimsg.proto", "QRCodeProtos");
  EXPECT_EQ(file->enum_type_count(), 0);
  ExpectMessages(file, kUiMessages);
}

}  // namespace
