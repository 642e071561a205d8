#pragma once
// The 18-byte statistics report header. The report library reads it as it lies in memory, so the
// fields stay in host byte order and the structure is packed.

#include <cstdint>

#pragma pack(push, 1)
struct CReportHeader {
  static constexpr uint16_t kMagic = 0xD85C;

  explicit CReportHeader(uint16_t reportId) : command(reportId) {}

  uint16_t magic = kMagic;
  uint16_t reserved1 = 0;
  uint16_t version = 1;
  uint16_t command;  // the report id
  uint32_t reserved2 = 0;
  uint32_t reserved3 = 0;
  uint16_t reserved4 = 0;
};
#pragma pack(pop)

static_assert(sizeof(CReportHeader) == 18, "the report library reads exactly 18 bytes");
