#pragma once
// The statistics report client of this image: binds the report library "dadovo.dll" by name,
// keeps the machine record and the report switches, and sends each report through its own
// CReportSession.

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "AutoLock.h"
#include "Common/ThreadAnnotations.h"
#include "PacketBuffer.h"
#include "ReportRecord.h"
#include "ReportSession.h"
#include "win32/dadovo.h"
#include "win32/module.h"
#include "win32/sync.h"

// Report ids. All lie in the range the local enable mask switches on (5000 to 6279).
enum ReportId : uint16_t {
  kReportCounters1 = 5005,    // counter table 1
  kReportCounters2 = 5006,    // counter table 2
  kReportMainWindow = 5889,   // main window shown
  kReportEntry = 5890,        // entry page and QR page events
  kReportFileUpload = 5891,   // one finished file
  kReportBind = 5892,         // phone bound or unbound
  kReportDaily = 5907,        // daily count of devices
  kReportInstall = 5908,      // installer
  kReportUninstall = 5909,    // uninstaller
  kReportExitSurvey = 5924,   // exit survey
  kReportQrButtons = 5929,    // QR page buttons
  kReportUploadSpeed = 5946,  // a phone's upload session ended
};

// SendReport's only sending mode.
inline constexpr int kReportModeSend = 1;

// Lifetime: one per image (the program and the library each have their own copy), built on
//   first use and destroyed at exit. Init and UnInit count users; the last UnInit resets
//   everything, so a later Init starts afresh.
// Threading: any thread. m_lock (recursive) serialises every operation, the record building and
//   each send, which runs under it; the report library must therefore never block in Commit
//   (ours spools locally and forwards from its own thread).
class CReportClientMgr {
 public:
  static constexpr uint32_t kFirstMaskedReportId = 5000;
  static constexpr size_t kEnableMaskSize = 160;  // ids 5000 to 6279
  static constexpr const char* kProgramVersion = "1.2.10065.201";
  static constexpr win32::DWORD kLibraryUnloadDelayMs = 100;

  CReportClientMgr(const CReportClientMgr&) = delete;
  CReportClientMgr& operator=(const CReportClientMgr&) = delete;

  // Binds the library (the given path, else "dadovo.dll" beside the module holding this code)
  // and counts one more user, even when binding failed. 1 on success, 0 when it cannot be bound.
  int Init(const win32::WCHAR* pLibraryPath, win32::BOOL enable);
  // Flushes the counters and counts one user off. 1 when this call tore the client down.
  int UnInit(win32::DWORD timeoutMs);
  void EnableUinLookup(win32::BOOL on);
  bool IsInited();
  // The enable flag given to Init.
  bool IsEnabled();
  // Builds the machine record once (the first call derives the machine GUID too); true once it
  // exists.
  bool EnsureRecord();
  bool IsReportEnabled(uint32_t reportId);

  // Sends header, machine record and `record` (anything with `bool Serialize(CPacketBuffer*)
  // const`) as report `reportId`. Non-zero when committed; 0 when the record is not ready, the
  // client is not bound, the id is switched off, mode is not kReportModeSend, or the record
  // does not fit its block. The machine record is never built here: see EnsureRecord.
  template <class TRecord>
  int SendReport(const TRecord& record, uint32_t reportId, int mode);
  template <class TRecord>
  int SendReportWithSession(CReportSession* pSession, const TRecord& record,
                            const CReportRecord* pMachineRecord, uint32_t reportId);

  // Tests only.
  void AddCounterForTesting(int table, uint32_t itemId, uint32_t count);
  // Switches one report id of the enable mask (the mask must exist: after Init).
  void SetReportEnabledForTesting(uint32_t reportId, bool on);
  win32::LONG UserCountForTesting() const { return m_userCount; }

 private:
  friend CReportClientMgr* GetReportClientMgr();

  CReportClientMgr();
  ~CReportClientMgr();

  bool BindLibraryLocked(const win32::WCHAR* pLibraryPath) EXCLUSIVE_LOCKS_REQUIRED(m_lock);
  void ForgetLibraryLocked() EXCLUSIVE_LOCKS_REQUIRED(m_lock);
  bool BuildRecordLocked() EXCLUSIVE_LOCKS_REQUIRED(m_lock);
  bool IsReportEnabledLocked(uint32_t reportId) EXCLUSIVE_LOCKS_REQUIRED(m_lock);
  void FlushCountersLocked(int table, uint32_t reportId) EXCLUSIVE_LOCKS_REQUIRED(m_lock);
  void SendMachineRecordLocked(CReportSession* pSession, const CReportRecord& record)
      EXCLUSIVE_LOCKS_REQUIRED(m_lock);
  void LogRecordTooLong(uint32_t reportId);

  win32::CRITICAL_SECTION m_lock;
  volatile win32::LONG m_userCount = 0;  // interlocked

  // Guarded by m_lock.
  win32::HMODULE m_hLibrary GUARDED_BY(m_lock) = nullptr;
  win32::DadovoInitFn m_pLibraryInit GUARDED_BY(m_lock) = nullptr;
  win32::DadovoCreateIReportClientFn m_pCreateClient GUARDED_BY(m_lock) = nullptr;
  win32::DadovoReleaseIReportClientFn m_pReleaseClient GUARDED_BY(m_lock) = nullptr;
  win32::DadovoGetGuidFn m_pGetGuid GUARDED_BY(m_lock) = nullptr;
  win32::DadovoUnInitFn m_pLibraryUnInit GUARDED_BY(m_lock) = nullptr;
  bool m_bound GUARDED_BY(m_lock) = false;
  win32::BOOL m_enable GUARDED_BY(m_lock) = 1;  // TRUE; GLib may define that name as a macro
  uint64_t m_version GUARDED_BY(m_lock) = 0;
  uint32_t m_reserved GUARDED_BY(m_lock) = 0;
  uint64_t m_account GUARDED_BY(m_lock) = 0;
  std::unique_ptr<CReportRecord> m_pRecord GUARDED_BY(m_lock);
  bool m_recordReady GUARDED_BY(m_lock) = false;
  bool m_uinLookup GUARDED_BY(m_lock) = false;
  std::vector<uint8_t> m_enableMask GUARDED_BY(m_lock);           // empty: no mask
  std::map<uint32_t, uint32_t> m_counters[2] GUARDED_BY(m_lock);  // item id -> count
};

// The process-wide instance of this image.
CReportClientMgr* GetReportClientMgr();

template <class TRecord>
int CReportClientMgr::SendReport(const TRecord& record, uint32_t reportId, int mode) {
  CAutoLock lock(&m_lock);
  if (!m_recordReady || !m_bound || !IsReportEnabledLocked(reportId)) return 0;
  if (mode != kReportModeSend || !m_pRecord) return 0;
  CReportSession session(m_pCreateClient, m_pReleaseClient);
  session.Open();
  int result = SendReportWithSession(&session, record, m_pRecord.get(), reportId);
  session.Close();
  return result;
}

template <class TRecord>
int CReportClientMgr::SendReportWithSession(CReportSession* pSession, const TRecord& record,
                                            const CReportRecord* pMachineRecord,
                                            uint32_t reportId) {
  CAutoLock lock(&m_lock);
  if (!pMachineRecord) return 0;
  // A record that does not fit is not sent at all: cut, it would end inside a field.
  CPacketBuffer buffer;
  if (!record.Serialize(&buffer)) {
    LogRecordTooLong(reportId);
    return 0;
  }
  pSession->SetCommand(static_cast<uint16_t>(reportId));
  pSession->SendHeader();
  SendMachineRecordLocked(pSession, *pMachineRecord);
  pSession->AppendData(buffer.Data(), buffer.Length());
  return pSession->Commit() ? 1 : 0;
}
