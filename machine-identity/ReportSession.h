#pragma once
// One report upload: a report-library client made for it and released after it.

#include "ReportServerConfig.h"
#include "win32/dadovo.h"

// Lifetime: made on the stack for one report; the destructor releases the client.
// Threading: used under the report client manager's lock, by one thread.
class CReportSession {
 public:
  CReportSession(win32::DadovoCreateIReportClientFn pCreate,
                 win32::DadovoReleaseIReportClientFn pRelease);
  CReportSession(const CReportSession&) = delete;
  CReportSession& operator=(const CReportSession&) = delete;
  ~CReportSession();

  // Creates the client (host, host, 443, 1). False when the library gives none; every later
  // operation is then skipped and answers 0.
  bool Open();
  void Close();
  bool HasClient() const { return m_pClient != nullptr; }

  void SetCommand(unsigned short reportId) { m_command = reportId; }
  // A fresh header carrying the current command.
  win32::BOOL SendHeader();
  win32::BOOL SendRecord(const win32::BYTE* pData, win32::DWORD length);
  win32::BOOL AppendData(const win32::BYTE* pData, win32::DWORD length);
  win32::BOOL Commit();

 private:
  win32::IReportClient* m_pClient = nullptr;  // owned: released through m_pRelease
  unsigned short m_command = 0;
  CReportServerConfig m_config;
  win32::DadovoCreateIReportClientFn const m_pCreate;
  win32::DadovoReleaseIReportClientFn const m_pRelease;
};
