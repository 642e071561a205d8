#include "Logic/BindReport.h"

#include "NetEngine/NetHelpers.h"
#include "machine-identity/PacketBuffer.h"
#include "machine-identity/ReportClientMgr.h"

void CBindReport::Send(int32_t kind, int64_t deviceId, const std::u16string& deviceName,
                       int32_t failed) {
  CReportClientMgr* pClient = GetReportClientMgr();
  if (!pClient->IsInited() || !pClient->IsEnabled() || !pClient->IsReportEnabled(kReportBind)) {
    return;
  }
  if (!pClient->EnsureRecord()) return;
  CBindReport report;
  report.kind = kind;
  report.deviceId = deviceId;
  report.deviceName = WideToUtf8(deviceName);
  report.failed = failed;
  pClient->SendReport(report, kReportBind, kReportModeSend);
}

bool CBindReport::Serialize(CPacketBuffer* pBuffer) const {
  return pBuffer->WriteUInt32(static_cast<uint32_t>(kind)) &&
         pBuffer->WriteUInt64(static_cast<uint64_t>(deviceId)) &&
         pBuffer->WriteString(deviceName) && pBuffer->WriteUInt32(static_cast<uint32_t>(failed));
}
