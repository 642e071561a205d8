#include "CReportClient.h"

#include <cstdint>

#include "CDadovoModule.h"

CReportClient::CReportClient(CDadovoModule* pModule) : m_pModule(pModule) {}

CReportClient::~CReportClient() = default;

win32::BOOL CReportClient::SetHeader(const void* pHeader) {
  if (!pHeader) return win32::FALSE;
  const auto* p = static_cast<const win32::BYTE*>(pHeader);
  m_header.assign(p, p + win32::kDadovoReportHeaderSize);
  m_hasHeader = true;
  return win32::TRUE;
}

win32::BOOL CReportClient::SetRecord(const win32::BYTE* pData, win32::DWORD length) {
  if (!pData && length > 0) return win32::FALSE;
  m_record.assign(pData, pData + length);
  return win32::TRUE;
}

win32::BOOL CReportClient::AppendData(const win32::BYTE* pData, win32::DWORD length) {
  if (!pData && length > 0) return win32::FALSE;
  m_data.emplace_back(pData, pData + length);
  return win32::TRUE;
}

// Frame: u32 little-endian length of what follows, then header, record and data in order.
win32::BOOL CReportClient::Commit() {
  if (!m_hasHeader) return win32::FALSE;
  uint64_t body = m_header.size() + m_record.size();
  for (const auto& block : m_data) body += block.size();
  if (body > UINT32_MAX) return win32::FALSE;
  std::vector<win32::BYTE> frame;
  frame.reserve(4 + body);
  for (int shift = 0; shift < 32; shift += 8) {
    frame.push_back(static_cast<win32::BYTE>(body >> shift));
  }
  frame.insert(frame.end(), m_header.begin(), m_header.end());
  frame.insert(frame.end(), m_record.begin(), m_record.end());
  for (const auto& block : m_data) frame.insert(frame.end(), block.begin(), block.end());
  return m_pModule->AcceptReport(std::move(frame)) ? win32::TRUE : win32::FALSE;
}
