#pragma once

#include <vector>

#include "win32/dadovo.h"

class CDadovoModule;

// One report being put together: header, record and data blocks, copied as they are handed over.
// Lifetime: made by CDadovoModule::CreateClient, deleted by ReleaseClient.
// Threading: one thread at a time, as the caller's send runs under its own lock.
class CReportClient final : public win32::IReportClient {
 public:
  explicit CReportClient(CDadovoModule* pModule);
  CReportClient(const CReportClient&) = delete;
  CReportClient& operator=(const CReportClient&) = delete;
  ~CReportClient();

  // IReportClient:
  win32::BOOL SetHeader(const void* pHeader) override;
  win32::BOOL SetRecord(const win32::BYTE* pData, win32::DWORD length) override;
  win32::BOOL AppendData(const win32::BYTE* pData, win32::DWORD length) override;
  win32::BOOL Commit() override;

 private:
  CDadovoModule* const m_pModule;
  bool m_hasHeader = false;
  std::vector<win32::BYTE> m_header;
  std::vector<win32::BYTE> m_record;
  std::vector<std::vector<win32::BYTE>> m_data;
};
