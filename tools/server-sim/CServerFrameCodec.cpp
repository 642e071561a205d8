#include "CServerFrameCodec.h"

namespace {

void PutBe16(std::string* pOut, uint16_t value) {
  pOut->push_back(static_cast<char>(value >> 8));
  pOut->push_back(static_cast<char>(value));
}

void PutBe32(std::string* pOut, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) pOut->push_back(static_cast<char>(value >> shift));
}

uint32_t GetBe(const char* p, int bytes) {
  uint32_t value = 0;
  for (int i = 0; i < bytes; ++i) value = (value << 8) | static_cast<unsigned char>(p[i]);
  return value;
}

}  // namespace

std::string CServerFrameCodec::Encode(uint16_t cmd, const std::string& body) {
  if (body.size() > kMaxBodySize) return std::string();
  std::string frame = EncodeHeader(kMagic, cmd, static_cast<uint32_t>(kHeaderSize + body.size()));
  frame += body;
  return frame;
}

std::string CServerFrameCodec::EncodeHeader(uint16_t magic, uint16_t cmd, uint32_t totalLength) {
  std::string header;
  header.reserve(kHeaderSize);
  PutBe16(&header, magic);
  PutBe16(&header, cmd);
  PutBe32(&header, totalLength);
  PutBe32(&header, 0);  // both reserved words
  return header;
}

void CServerFrameCodec::Feed(const void* pData, size_t length) {
  if (m_bad || length == 0) return;
  // Drop what was handed out once it is most of the buffer, so a long stream never grows it.
  if (m_offset > 0 && m_offset * 2 >= m_pending.size()) {
    m_pending.erase(0, m_offset);
    m_offset = 0;
  }
  m_pending.append(static_cast<const char*>(pData), length);
}

CServerFrameCodec::Result CServerFrameCodec::Next(Frame* pFrame) {
  if (m_bad) return Result::kBad;
  size_t available = m_pending.size() - m_offset;
  if (available < kHeaderSize) return Result::kNeedMore;
  const char* pHeader = m_pending.data() + m_offset;
  uint32_t total = GetBe(pHeader + 4, 4);
  if (GetBe(pHeader, 2) != kMagic || total < kHeaderSize || total > kMaxFrameSize) {
    m_bad = true;
    return Result::kBad;
  }
  if (available < total) return Result::kNeedMore;
  pFrame->cmd = static_cast<uint16_t>(GetBe(pHeader + 2, 2));
  pFrame->body.assign(pHeader + kHeaderSize, total - kHeaderSize);
  m_offset += total;
  return Result::kFrame;
}
