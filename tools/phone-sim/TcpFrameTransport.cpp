#include "TcpFrameTransport.h"

#include <chrono>

namespace phonesim {

using IoResult = peer::CPeerTcpClient::IoResult;

bool CTcpFrameTransport::Connect(const std::string& host, uint16_t port, int timeoutMs) {
  m_cutter.Reset();
  m_lastError.clear();
  if (!m_client.Connect(host, port, timeoutMs)) {
    m_lastError = m_client.LastError();
    return false;
  }
  return true;
}

bool CTcpFrameTransport::SendFrame(std::string_view frame) {
  if (m_client.SendAll(frame.data(), frame.size(), kSendTimeoutMs) != IoResult::kOk) {
    m_lastError = m_client.LastError();
    return false;
  }
  return true;
}

CTcpFrameTransport::RecvResult CTcpFrameTransport::ReceiveFrame(std::string* frame, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  char buffer[16384];
  for (;;) {
    switch (m_cutter.Next(frame)) {
      case peer::CPhoneFrameCutter::Result::kFrame:
        return RecvResult::kFrame;
      case peer::CPhoneFrameCutter::Result::kMalformed:
        m_lastError = "malformed frame from the PC";
        return RecvResult::kError;
      case peer::CPhoneFrameCutter::Result::kNeedMore:
        break;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    size_t received = 0;
    const IoResult io =
        m_client.Receive(buffer, sizeof(buffer), left > 0 ? static_cast<int>(left) : 0, &received);
    if (io == IoResult::kOk) {
      m_cutter.Append(buffer, received);
      continue;
    }
    m_lastError = m_client.LastError();
    if (io == IoResult::kTimeout) return RecvResult::kTimeout;
    if (io == IoResult::kClosed) {
      if (m_cutter.Buffered() > 0) m_lastError += " inside a frame";
      return RecvResult::kClosed;
    }
    return RecvResult::kError;
  }
}

void CTcpFrameTransport::Close() { m_client.Close(); }

std::string CTcpFrameTransport::LastError() const { return m_lastError; }

}  // namespace phonesim
