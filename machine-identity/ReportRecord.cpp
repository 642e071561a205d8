#include "ReportRecord.h"

#include "PacketBuffer.h"

uint64_t CReportRecord::PackVersion(std::string_view text) {
  uint64_t parts[4] = {0, 0, 0, 0};
  size_t pos = 0;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (pos >= text.size() || text[pos] != '.') return 0;
      ++pos;
    }
    size_t start = pos;
    uint64_t value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      value = value * 10 + static_cast<uint64_t>(text[pos] - '0');
      if (value > 0xFFFFFFFFu) return 0;
      ++pos;
    }
    if (pos == start) return 0;
    parts[i] = value & 0xFFFF;
  }
  return parts[0] << 48 | parts[1] << 32 | parts[2] << 16 | parts[3];
}

bool CReportRecord::Serialize(CPacketBuffer* pBuffer) const {
  return pBuffer->WriteString(libraryId) && pBuffer->WriteUInt64(programVersion) &&
         pBuffer->WriteUInt32(reserved) && pBuffer->WriteUInt64(account) &&
         pBuffer->WriteUInt16(osMajor) && pBuffer->WriteUInt16(osMinor) &&
         pBuffer->WriteUInt16(osBuild) && pBuffer->WriteUInt16(servicePackMajor) &&
         pBuffer->WriteUInt16(processorArchitecture) && pBuffer->WriteUInt16(languageId) &&
         pBuffer->WriteUInt64(browserVersion) && pBuffer->WriteUInt64(reserved2) &&
         pBuffer->WriteUInt64(reserved3) && pBuffer->WriteString(hardwareId);
}
