// Builds a few bodies, encodes them, reads them back and prints one line per message: its name,
// the encoded bytes in hex and the decoded fields. Exits 0 when every body reads back unchanged.

#include <cstdio>
#include <memory>
#include <string>

#include <google/protobuf/message.h>

#include "msg.pb.h"
#include "uimsg.pb.h"

namespace {

std::string Hex(const std::string& bytes) {
  std::string hex;
  char digits[4];
  for (unsigned char c : bytes) {
    std::snprintf(digits, sizeof(digits), hex.empty() ? "%02x" : " %02x", c);
    hex += digits;
  }
  return hex;
}

bool RoundTrip(const google::protobuf::Message& msg) {
  const std::string bytes = msg.SerializeAsString();
  std::unique_ptr<google::protobuf::Message> back(msg.New());
  const bool ok = back->ParseFromArray(bytes.data(), static_cast<int>(bytes.size())) &&
                  back->SerializeAsString() == bytes;
  std::printf("%s [%s] {%s}%s\n", msg.GetTypeName().c_str(), Hex(bytes).c_str(),
              back->ShortDebugString().c_str(), ok ? "" : " READ BACK FAILED");
  return ok;
}

}  // namespace

int main() {
  protocol::C2CPhoneLoginReq phoneLogin;
  phoneLogin.set_check_code(0x5B2D7E61);

  protocol::UIBindInfo bindInfo;
  bindInfo.set_id_pc(123456789);
  bindInfo.set_bind_key("ABCDEFGHJKLMNPQR");
  bindInfo.set_local_ip("192.168.1.20");
  bindInfo.set_local_port(9000);

  protocol::C2SPcLoginReq pcLogin;
  pcLogin.set_id_pc(123456789);
  pcLogin.set_pc_guid("{00000000-0000-0000-0000-000000000000}");
  pcLogin.set_pc_soft_version(0x0001000200030004);
  pcLogin.add_id_phone_list(1001);
  pcLogin.add_id_phone_list(1002);
  pcLogin.set_pc_local_ip("192.168.1.20");
  pcLogin.set_pc_local_port(9000);

  bool ok = RoundTrip(phoneLogin);
  ok = RoundTrip(bindInfo) && ok;
  ok = RoundTrip(pcLogin) && ok;
  return ok ? 0 : 1;
}
