#include "UiReports.h"

#include "machine-identity/PacketBuffer.h"

bool CMainWndShowReport::Serialize(CPacketBuffer* pBuffer) const {
  return pBuffer->WriteUInt32(static_cast<uint32_t>(kind)) &&
         pBuffer->WriteUInt32(static_cast<uint32_t>(reserved1)) &&
         pBuffer->WriteUInt32(static_cast<uint32_t>(reserved2)) &&
         pBuffer->WriteUInt32(static_cast<uint32_t>(phoneCount));
}

bool CEntryReport::Serialize(CPacketBuffer* pBuffer) const {
  return pBuffer->WriteUInt32(static_cast<uint32_t>(source)) &&
         pBuffer->WriteUInt32(static_cast<uint32_t>(event));
}

bool CPhoneBoundReport::Serialize(CPacketBuffer* pBuffer) const {
  return pBuffer->WriteUInt32(static_cast<uint32_t>(kind)) &&
         pBuffer->WriteUInt64(static_cast<uint64_t>(deviceId)) &&
         pBuffer->WriteString(deviceName) && pBuffer->WriteUInt32(static_cast<uint32_t>(reserved));
}

bool CExitSurveyReport::Serialize(CPacketBuffer* pBuffer) const {
  return pBuffer->WriteUInt32(static_cast<uint32_t>(reason)) && pBuffer->WriteString(reasonText) &&
         pBuffer->WriteString(contact);
}

bool CQrButtonReport::Serialize(CPacketBuffer* pBuffer) const {
  return pBuffer->WriteUInt32(static_cast<uint32_t>(button));
}

bool CUploadSpeedReport::Serialize(CPacketBuffer* pBuffer) const {
  return pBuffer->WriteUInt32(bytesPerSecond) && pBuffer->WriteUInt16(offServer) &&
         pBuffer->WriteUInt32(phones);
}
