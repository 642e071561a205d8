#include "PhoneFrameCutter.h"

namespace peer {

CPhoneFrameCutter::CPhoneFrameCutter(size_t maxFrameSize) : m_maxFrameSize(maxFrameSize) {}

void CPhoneFrameCutter::Append(const void* data, size_t size) {
  if (m_offset > 0 && m_offset >= m_buffer.size() / 2) {
    m_buffer.erase(0, m_offset);
    m_offset = 0;
  }
  m_buffer.append(static_cast<const char*>(data), size);
}

CPhoneFrameCutter::Result CPhoneFrameCutter::Next(std::string* frame) {
  if (m_malformed) return Result::kMalformed;
  if (Buffered() < kPhoneFrameHeaderSize) return Result::kNeedMore;
  const auto* head = reinterpret_cast<const uint8_t*>(m_buffer.data() + m_offset);
  PhoneFrameHeader header = CPhoneFrame::ReadHeader(head);
  if (header.magic != kPhoneFrameMagic || header.totalLength < kPhoneFrameHeaderSize ||
      header.totalLength > m_maxFrameSize) {
    m_malformed = true;
    return Result::kMalformed;
  }
  if (Buffered() < header.totalLength) return Result::kNeedMore;
  frame->assign(m_buffer, m_offset, header.totalLength);
  m_offset += header.totalLength;
  if (m_offset == m_buffer.size()) {
    m_buffer.clear();
    m_offset = 0;
  }
  return Result::kFrame;
}

void CPhoneFrameCutter::Reset() {
  m_buffer.clear();
  m_offset = 0;
  m_malformed = false;
}

}  // namespace peer
