#pragma once

#include <cstddef>
#include <cstdint>

// A cursor over a byte buffer for big-endian fields. It never reads or writes past the buffer:
// a field that does not fit fails, and the position stays where it was.
// Lifetime: the buffer belongs to the caller and must outlive the cursor.
class ByteStream {
 public:
  // Read and write.
  ByteStream(void* pData, size_t size);
  // Read only: every Put fails.
  ByteStream(const void* pData, size_t size);

  [[nodiscard]] bool PutU8(uint8_t value);
  [[nodiscard]] bool PutU16(uint16_t value);
  [[nodiscard]] bool PutBytes(const void* pData, size_t length);
  [[nodiscard]] bool GetU8(uint8_t* pValue);
  [[nodiscard]] bool GetU16(uint16_t* pValue);
  [[nodiscard]] bool GetU32(uint32_t* pValue);
  // Advances over length bytes.
  [[nodiscard]] bool Skip(size_t length);

  size_t Position() const { return m_position; }
  size_t Remaining() const { return m_size - m_position; }
  // The byte at the position (valid while Remaining() > 0).
  const uint8_t* Current() const { return m_pRead + m_position; }

 private:
  bool Fits(size_t length) const { return length <= m_size - m_position; }

  const uint8_t* const m_pRead;
  uint8_t* const m_pWrite;  // null for a read-only cursor
  const size_t m_size;
  size_t m_position = 0;
};
