#pragma once
// The machine record that follows the header of every statistics report: who sends (the report
// library's id, program version, account) and on what machine (system version, processor,
// language, browser version, hardware id). Built once by CReportClientMgr.

#include <cstdint>
#include <string>
#include <string_view>

class CPacketBuffer;

struct CReportRecord {
  // a<<48 | b<<32 | c<<16 | d for "a.b.c.d"; 0 when the text does not hold four numbers.
  static uint64_t PackVersion(std::string_view text);

  // Writes the fourteen fields in wire order. False when the buffer refused one; what was
  // written before stays.
  [[nodiscard]] bool Serialize(CPacketBuffer* pBuffer) const;

  std::string libraryId;  // 32 lowercase hex digits of the report library's GetGuid
  uint64_t programVersion = 0;
  uint32_t reserved = 0;
  uint64_t account = 0;
  uint16_t osMajor = 0;
  uint16_t osMinor = 0;
  uint16_t osBuild = 0;
  uint16_t servicePackMajor = 0;
  uint16_t processorArchitecture = 0;
  uint16_t languageId = 0;
  uint64_t browserVersion = 0;
  uint64_t reserved2 = 0;
  uint64_t reserved3 = 0;
  std::string hardwareId;  // 32 lowercase hex digits
};
