#include "PacketBuffer.h"

#include <cstring>

CPacketBuffer::CPacketBuffer()
    : m_data(new uint8_t[kBlockSize]()),
      m_pBegin(m_data.get()),
      m_pEnd(m_data.get() + kBlockSize),
      m_pCursor(m_data.get()) {}

CPacketBuffer::~CPacketBuffer() = default;

bool CPacketBuffer::WriteUInt16(uint16_t value) { return WriteBigEndian(value, 2); }

bool CPacketBuffer::WriteUInt32(uint32_t value) { return WriteBigEndian(value, 4); }

bool CPacketBuffer::WriteUInt64(uint64_t value) { return WriteBigEndian(value, 8); }

bool CPacketBuffer::WriteString(std::string_view text) {
  // Length field, bytes, NUL. Any text this long cannot fit the block, so the u16 never wraps.
  if (text.size() > kBlockSize || !Fits(text.size() + 3)) return false;
  uint16_t lengthWithNul = static_cast<uint16_t>(text.size() + 1);
  m_pCursor[0] = static_cast<uint8_t>(lengthWithNul >> 8);
  m_pCursor[1] = static_cast<uint8_t>(lengthWithNul);
  if (!text.empty()) memcpy(m_pCursor + 2, text.data(), text.size());
  m_pCursor[2 + text.size()] = 0;
  m_pCursor += text.size() + 3;
  return true;
}

bool CPacketBuffer::Fits(size_t size) const {
  // cursor + size < end, written without forming a pointer past the block.
  return size < static_cast<size_t>(m_pEnd - m_pCursor);
}

bool CPacketBuffer::WriteBigEndian(uint64_t value, size_t size) {
  if (!Fits(size)) return false;
  for (size_t i = 0; i < size; ++i) {
    m_pCursor[i] = static_cast<uint8_t>(value >> (8 * (size - 1 - i)));
  }
  m_pCursor += size;
  return true;
}
