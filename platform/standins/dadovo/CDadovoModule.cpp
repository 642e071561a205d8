#include "CDadovoModule.h"

#include <stdlib.h>

#include <new>
#include <string>

#include "CReportClient.h"
#include "CReportSender.h"
#include "CReportSpool.h"

CDadovoModule& CDadovoModule::Instance() {
  // Leaky: a report may still be committed from another module's exit handler.
  static CDadovoModule* pModule = new CDadovoModule;
  return *pModule;
}

void CDadovoModule::Init(bool enable) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_enabled = enable;
  if (++m_users != 1) return;
  const char* pServer = getenv("ORBALYN_REPORT_SERVER");
  std::string host;
  uint16_t port = 0;
  if (pServer && CReportSender::ParseServer(pServer, &host, &port)) {
    m_sender = CReportSender::Start(std::move(host), port);
  }
}

void CDadovoModule::UnInit(win32::DWORD timeoutMs) {
  std::shared_ptr<CReportSender> sender;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_users == 0 || --m_users > 0) return;
    sender = std::move(m_sender);
  }
  if (!sender) return;
  sender->WaitIdle(timeoutMs);
  sender->Stop();
}

win32::IReportClient* CDadovoModule::CreateClient() {
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_users == 0) return nullptr;
  return new (std::nothrow) CReportClient(this);
}

void CDadovoModule::ReleaseClient(win32::IReportClient* pClient) {
  delete static_cast<CReportClient*>(pClient);
}

bool CDadovoModule::GetGuid(win32::BYTE* pGuid) {
  CReportSpool spool(CReportSpool::DefaultFolder());
  return spool.LoadGuid(pGuid);
}

bool CDadovoModule::AcceptReport(std::vector<win32::BYTE> frame) {
  std::shared_ptr<CReportSender> sender;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_enabled) return false;
    sender = m_sender;
  }
  CReportSpool spool(CReportSpool::DefaultFolder());
  if (!spool.Append(frame)) return false;
  if (sender) sender->Enqueue(std::move(frame));
  return true;
}
