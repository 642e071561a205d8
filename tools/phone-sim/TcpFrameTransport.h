#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "IPhoneFrameTransport.h"
#include "PeerTcpClient.h"
#include "PhoneFrameCutter.h"

namespace phonesim {

// The direct path: one TCP connection from the phone to the PC's local server.
// Lifetime: owns the connection; Close() or the destructor closes it.
// Threading: one thread, the phone's.
class CTcpFrameTransport final : public peer::IPhoneFrameTransport {
 public:
  CTcpFrameTransport() = default;
  CTcpFrameTransport(const CTcpFrameTransport&) = delete;
  CTcpFrameTransport& operator=(const CTcpFrameTransport&) = delete;
  ~CTcpFrameTransport() override = default;

  [[nodiscard]] bool Connect(const std::string& host, uint16_t port, int timeoutMs);

  // peer::IPhoneFrameTransport:
  size_t MaxFrameSize() const override { return peer::kPhoneFrameMaxSize; }
  [[nodiscard]] bool SendFrame(std::string_view frame) override;
  RecvResult ReceiveFrame(std::string* frame, int timeoutMs) override;
  void Close() override;
  std::string LastError() const override;

 private:
  static constexpr int kSendTimeoutMs = 30000;

  peer::CPeerTcpClient m_client;
  peer::CPhoneFrameCutter m_cutter;
  std::string m_lastError;
};

}  // namespace phonesim
