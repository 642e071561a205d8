#pragma once
// Big-endian writer over one 64 KB block: the report record and every statistics data block are
// serialised through it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

// Values go out big-endian; a narrow string as a u16 length counting its closing NUL, then the
// bytes and the NUL. A write succeeds only when it ends strictly before the end of the block, so
// the last byte is never used; a refused write changes nothing.
// Threading: one object per sender; not shared.
class CPacketBuffer {
 public:
  static constexpr size_t kBlockSize = 65536;

  CPacketBuffer();
  CPacketBuffer(const CPacketBuffer&) = delete;
  CPacketBuffer& operator=(const CPacketBuffer&) = delete;
  ~CPacketBuffer();

  [[nodiscard]] bool WriteUInt16(uint16_t value);
  [[nodiscard]] bool WriteUInt32(uint32_t value);
  [[nodiscard]] bool WriteUInt64(uint64_t value);
  // The text up to its end (not to an embedded NUL), then one NUL.
  [[nodiscard]] bool WriteString(std::string_view text);

  const uint8_t* Data() const { return m_pBegin; }
  // Bytes written so far.
  uint32_t Length() const { return static_cast<uint32_t>(m_pCursor - m_pBegin); }
  // Forgets what was written.
  void Reset() { m_pCursor = m_pBegin; }

 private:
  bool Fits(size_t size) const;
  bool WriteBigEndian(uint64_t value, size_t size);

  std::unique_ptr<uint8_t[]> m_data;  // owns the block
  uint8_t* const m_pBegin;
  uint8_t* const m_pEnd;
  uint8_t* m_pCursor;
};
