#include "UploadBeginRecords.h"

#include <algorithm>
#include <utility>

#include "uimsg.pb.h"

#include "Orbalyn/Interface/IOrbalyn.h"
#include "win32/strings.h"

using namespace win32;

void CUploadBeginRecords::OnUploadBegin(IOrbalynMessage* pMessage) {
  const BYTE* pData = nullptr;
  int length = 0;
  if (!pMessage || pMessage->GetPayload(&pData, &length) != S_OK || !pData || length < 0) return;
  protocol::UIUploadFileInfo info;
  if (!info.ParseFromArray(pData, length)) return;
  auto pRecord = std::make_unique<UploadBeginRecord>();
  pRecord->fileId = info.file_id();
  pRecord->deviceId = info.device_id();
  pRecord->filePath = Utf8ToUtf16(info.file_path());
  std::erase_if(m_records, [&](const auto& pHeld) { return pHeld->fileId == pRecord->fileId; });
  m_records.push_back(std::move(pRecord));
}

bool CUploadBeginRecords::OnUploadResult(int32_t fileId, int32_t error,
                                         UploadBeginRecord* pRecord) {
  auto it = std::find_if(m_records.begin(), m_records.end(),
                         [&](const auto& pHeld) { return pHeld->fileId == fileId; });
  if (it == m_records.end()) return false;
  std::unique_ptr<UploadBeginRecord> pFound = std::move(*it);
  m_records.erase(it);
  if (error != 0) return false;
  *pRecord = std::move(*pFound);
  return true;
}
