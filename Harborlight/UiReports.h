#pragma once
// The records of the user interface's statistics reports, one type per report, each written
// big-endian after the report header and the machine record, and the one way they are sent.

#include <cstdint>
#include <string>

#include "machine-identity/ReportClientMgr.h"

class CPacketBuffer;

// The main window at its first showing.
struct CMainWndShowReport {
  static constexpr uint32_t kReportId = kReportMainWindow;
  static constexpr int32_t kKindNoPhone = 1;
  static constexpr int32_t kKindPhones = 5;
  static constexpr int32_t kKindBackingUp = 6;

  [[nodiscard]] bool Serialize(CPacketBuffer* pBuffer) const;

  int32_t kind = kKindNoPhone;
  int32_t reserved1 = 0;
  int32_t reserved2 = 0;
  int32_t phoneCount = 0;  // in the photo page's list; 0 without a photo page
};

// The entry page (main window) and the QR binding page.
struct CEntryReport {
  static constexpr uint32_t kReportId = kReportEntry;
  static constexpr int32_t kSourceMainWindow = 1;
  static constexpr int32_t kEventFirstPage = 1;
  static constexpr int32_t kEventNextStep = 2;
  static constexpr int32_t kEventQrShown = 3;
  static constexpr int32_t kEventScanned = 4;
  static constexpr int32_t kEventBound = 5;

  [[nodiscard]] bool Serialize(CPacketBuffer* pBuffer) const;

  int32_t source = kSourceMainWindow;
  int32_t event = 0;
};

// A phone has been bound.
struct CPhoneBoundReport {
  static constexpr uint32_t kReportId = kReportBind;

  [[nodiscard]] bool Serialize(CPacketBuffer* pBuffer) const;

  int32_t kind = 1;
  int64_t deviceId = 0;
  std::string deviceName;  // UTF-8
  int32_t reserved = 0;
};

// The exit survey's answer.
struct CExitSurveyReport {
  static constexpr uint32_t kReportId = kReportExitSurvey;

  [[nodiscard]] bool Serialize(CPacketBuffer* pBuffer) const;

  int32_t reason = 0;
  std::string reasonText;  // UTF-8
  std::string contact;     // UTF-8
};

// A button of the QR binding page.
struct CQrButtonReport {
  static constexpr uint32_t kReportId = kReportQrButtons;
  static constexpr int32_t kDownload = 1;
  static constexpr int32_t kInstall = 2;

  [[nodiscard]] bool Serialize(CPacketBuffer* pBuffer) const;

  int32_t button = 0;
};

// A phone's upload session has ended.
struct CUploadSpeedReport {
  static constexpr uint32_t kReportId = kReportUploadSpeed;

  [[nodiscard]] bool Serialize(CPacketBuffer* pBuffer) const;

  uint32_t bytesPerSecond = 0;
  uint16_t offServer = 0;  // 1 when the phone's state through the server is not 2
  uint32_t phones = 0;     // phones that were uploading, this one included
};

// Sends the record as its report in the only sending mode. Non-zero when it was committed; 0
// when the client is not ready (the machine record is built only when the program asks for it,
// never here), the report is switched off, or the record does not fit its block.
template <class TRecord>
int SendUiReport(const TRecord& record) {
  return GetReportClientMgr()->SendReport(record, TRecord::kReportId, kReportModeSend);
}
