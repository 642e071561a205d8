#include "ReportSession.h"

#include "ReportHeader.h"

using namespace win32;

CReportSession::CReportSession(DadovoCreateIReportClientFn pCreate,
                               DadovoReleaseIReportClientFn pRelease)
    : m_pCreate(pCreate), m_pRelease(pRelease) {}

CReportSession::~CReportSession() { Close(); }

bool CReportSession::Open() {
  if (!m_pClient && m_pCreate) {
    m_pClient = m_pCreate(m_config.host.c_str(), m_config.host.c_str(), m_config.port, 1);
  }
  return m_pClient != nullptr;
}

void CReportSession::Close() {
  if (m_pClient && m_pRelease) m_pRelease(m_pClient);
  m_pClient = nullptr;
}

BOOL CReportSession::SendHeader() {
  if (!m_pClient) return FALSE;
  CReportHeader header(m_command);
  return m_pClient->SetHeader(&header);
}

BOOL CReportSession::SendRecord(const BYTE* pData, DWORD length) {
  return m_pClient ? m_pClient->SetRecord(pData, length) : FALSE;
}

BOOL CReportSession::AppendData(const BYTE* pData, DWORD length) {
  return m_pClient ? m_pClient->AppendData(pData, length) : FALSE;
}

BOOL CReportSession::Commit() { return m_pClient ? m_pClient->Commit() : FALSE; }
