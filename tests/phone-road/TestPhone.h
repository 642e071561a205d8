#pragma once
// A minimal phone for the fault tests, on the peers' own frame and cipher code (written apart
// from the library's, so a fault on one side shows on the other): any header field as the test
// gives it, over one connection to 127.0.0.1.

#include <cstdint>
#include <string>
#include <string_view>

#include "PhoneFrame.h"
#include "TcpFrameTransport.h"

namespace phone_road_test {

constexpr int32_t kCheckCode = peer::kPhoneCheckCode;

struct WireFrame {
  peer::PhoneFrameHeader header;
  std::string body;  // as on the wire (enciphered)
};

// Header fields written as given (a total length of 0 becomes 40 + the body's size), then the
// body.
std::string BuildFrame(peer::PhoneFrameHeader header, std::string_view body);
// The body as the encode type carries it under `key`; types 0 and above 3 unchanged.
std::string EncipherBody(uint16_t encodeType, const std::string& key, const std::string& plain);
// Strict: AES needs whole blocks with an exact pad.
bool DecipherBody(uint16_t encodeType, const std::string& key, const std::string& wire,
                  std::string* pPlain);
// A serialized phone message holding only check_code.
std::string CheckCodeOnlyBody(int32_t checkCode = kCheckCode);

class TestPhone {
 public:
  TestPhone(int64_t pcId, int64_t phoneId) : m_pcId(pcId), m_phoneId(phoneId) {}
  TestPhone(const TestPhone&) = delete;
  TestPhone& operator=(const TestPhone&) = delete;

  // Never the bind information's address: always 127.0.0.1.
  bool Connect(uint16_t port);
  void Close() { m_transport.Close(); }
  bool SendBytes(std::string_view bytes) { return m_transport.SendFrame(bytes); }
  // A request from this phone to the PC; returns the echo value it carried.
  uint32_t Send(uint16_t command, uint16_t encodeType, const std::string& key,
                const std::string& plainBody);
  bool Receive(WireFrame* pFrame, int timeoutMs = 5000);
  // True once the PC has closed the connection; a frame before the close fails the wait.
  bool WaitClosed(int timeoutMs = 5000);
  // A 6011 and its reply: the connection is open and everything sent before has been handled.
  bool Ping(uint16_t encodeType, const std::string& key, WireFrame* pReply = nullptr);

  uint32_t LastSequence() const { return m_sequence; }

 private:
  const int64_t m_pcId;
  const int64_t m_phoneId;
  phonesim::CTcpFrameTransport m_transport;
  uint32_t m_sequence = 0;
  uint32_t m_echo = 1000;
};

}  // namespace phone_road_test
