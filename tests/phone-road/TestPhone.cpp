#include "TestPhone.h"

#include "PhoneCipher.h"
#include "msg.pb.h"

namespace phone_road_test {

std::string BuildFrame(peer::PhoneFrameHeader header, std::string_view body) {
  if (header.totalLength == 0) {
    header.totalLength = static_cast<uint32_t>(peer::kPhoneFrameHeaderSize + body.size());
  }
  std::string frame(peer::kPhoneFrameHeaderSize, '\0');
  peer::CPhoneFrame::WriteHeader(header, reinterpret_cast<uint8_t*>(frame.data()));
  frame.append(body);
  return frame;
}

std::string EncipherBody(uint16_t encodeType, const std::string& key, const std::string& plain) {
  std::string wire;
  if (encodeType < 1 || encodeType > 3 ||
      !peer::CPhoneCipher::Encrypt(encodeType, key, plain, &wire)) {
    return plain;
  }
  return wire;
}

bool DecipherBody(uint16_t encodeType, const std::string& key, const std::string& wire,
                  std::string* pPlain) {
  return peer::CPhoneCipher::Decrypt(encodeType, key, wire, pPlain);
}

std::string CheckCodeOnlyBody(int32_t checkCode) {
  protocol::C2CPhoneHeartbeatReq request;
  request.set_check_code(checkCode);
  return request.SerializeAsString();
}

bool TestPhone::Connect(uint16_t port) { return m_transport.Connect("127.0.0.1", port, 5000); }

uint32_t TestPhone::Send(uint16_t command, uint16_t encodeType, const std::string& key,
                         const std::string& plainBody) {
  peer::PhoneFrameHeader header;
  header.destId = m_pcId;
  header.srcId = m_phoneId;
  header.command = command;
  header.sequence = ++m_sequence;
  header.echo = ++m_echo;
  header.encodeType = encodeType;
  SendBytes(BuildFrame(header, EncipherBody(encodeType, key, plainBody)));
  return header.echo;
}

bool TestPhone::Receive(WireFrame* pFrame, int timeoutMs) {
  std::string frame;
  std::string_view body;
  if (m_transport.ReceiveFrame(&frame, timeoutMs) !=
          peer::IPhoneFrameTransport::RecvResult::kFrame ||
      !peer::CPhoneFrame::Parse(frame, &pFrame->header, &body)) {
    return false;
  }
  pFrame->body = body;
  return true;
}

bool TestPhone::WaitClosed(int timeoutMs) {
  std::string frame;
  const auto result = m_transport.ReceiveFrame(&frame, timeoutMs);
  // A close with unread bytes on the PC's side arrives as a reset.
  return result == peer::IPhoneFrameTransport::RecvResult::kClosed ||
         result == peer::IPhoneFrameTransport::RecvResult::kError;
}

bool TestPhone::Ping(uint16_t encodeType, const std::string& key, WireFrame* pReply) {
  const uint32_t echo = Send(6011, encodeType, key, CheckCodeOnlyBody());
  WireFrame reply;
  if (!Receive(&reply)) return false;
  if (pReply) *pReply = reply;
  return reply.header.command == 6011 && reply.header.echo == echo;
}

}  // namespace phone_road_test
