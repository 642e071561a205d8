#include "NetEngine/ByteStream.h"

#include <cstring>

ByteStream::ByteStream(void* pData, size_t size)
    : m_pRead(static_cast<const uint8_t*>(pData)),
      m_pWrite(static_cast<uint8_t*>(pData)),
      m_size(pData ? size : 0) {}

ByteStream::ByteStream(const void* pData, size_t size)
    : m_pRead(static_cast<const uint8_t*>(pData)), m_pWrite(nullptr), m_size(pData ? size : 0) {}

bool ByteStream::PutU8(uint8_t value) { return PutBytes(&value, 1); }

bool ByteStream::PutU16(uint16_t value) {
  const uint8_t bytes[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  return PutBytes(bytes, sizeof(bytes));
}

bool ByteStream::PutBytes(const void* pData, size_t length) {
  if (!m_pWrite || !Fits(length)) return false;
  if (length) memcpy(m_pWrite + m_position, pData, length);
  m_position += length;
  return true;
}

bool ByteStream::GetU8(uint8_t* pValue) {
  if (!Fits(1)) return false;
  *pValue = m_pRead[m_position];
  m_position += 1;
  return true;
}

bool ByteStream::GetU16(uint16_t* pValue) {
  if (!Fits(2)) return false;
  const uint8_t* p = m_pRead + m_position;
  *pValue = static_cast<uint16_t>((p[0] << 8) | p[1]);
  m_position += 2;
  return true;
}

bool ByteStream::GetU32(uint32_t* pValue) {
  if (!Fits(4)) return false;
  const uint8_t* p = m_pRead + m_position;
  *pValue = (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
            (static_cast<uint32_t>(p[2]) << 8) | p[3];
  m_position += 4;
  return true;
}

bool ByteStream::Skip(size_t length) {
  if (!Fits(length)) return false;
  m_position += length;
  return true;
}
