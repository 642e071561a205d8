#include "CPhoneFrameCutter.h"

namespace {

uint64_t GetBe(const unsigned char* p, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value = (value << 8) | p[i];
  return value;
}

}  // namespace

bool CPhoneFrameCutter::ReadHeader(const void* pData, size_t length, Header* pHeader) {
  if (!pData || length < kHeaderSize) return false;
  const auto* p = static_cast<const unsigned char*>(pData);
  uint64_t total = GetBe(p + 24, 4);
  if (GetBe(p, 2) != kMagic || total < kHeaderSize || total > kMaxFrameSize) return false;
  pHeader->destId = static_cast<int64_t>(GetBe(p + 2, 8));
  pHeader->srcId = static_cast<int64_t>(GetBe(p + 10, 8));
  pHeader->totalLength = static_cast<uint32_t>(total);
  return true;
}

void CPhoneFrameCutter::Feed(const void* pData, size_t length) {
  if (m_bad || length == 0) return;
  if (m_offset > 0 && m_offset * 2 >= m_pending.size()) {
    m_pending.erase(0, m_offset);
    m_offset = 0;
  }
  m_pending.append(static_cast<const char*>(pData), length);
}

CPhoneFrameCutter::Result CPhoneFrameCutter::Next(std::string* pFrame, Header* pHeader) {
  if (m_bad) return Result::kBad;
  size_t available = m_pending.size() - m_offset;
  if (available < kHeaderSize) return Result::kNeedMore;
  if (!ReadHeader(m_pending.data() + m_offset, available, pHeader)) {
    m_bad = true;
    return Result::kBad;
  }
  if (available < pHeader->totalLength) return Result::kNeedMore;
  pFrame->assign(m_pending, m_offset, pHeader->totalLength);
  m_offset += pHeader->totalLength;
  return Result::kFrame;
}
