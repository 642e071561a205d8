#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "win32/dadovo.h"

class CReportSender;

// The library's process-wide state behind its five exports: the user count, the enable flag and
// the sender to the report server.
// Lifetime: one leaky instance (Instance), usable until the process ends.
// Threading: every method may be called from any thread; the fields are guarded by m_lock, which
// is never held while a report is written or a send is awaited.
class CDadovoModule {
 public:
  static CDadovoModule& Instance();

  CDadovoModule() = default;
  CDadovoModule(const CDadovoModule&) = delete;
  CDadovoModule& operator=(const CDadovoModule&) = delete;

  void Init(bool enable);
  void UnInit(win32::DWORD timeoutMs);
  // Null when no user is counted or memory is short. The caller owns the client and gives it
  // back through ReleaseClient.
  win32::IReportClient* CreateClient();
  void ReleaseClient(win32::IReportClient* pClient);
  bool GetGuid(win32::BYTE* pGuid);
  // A finished report frame from a client: spooled, then handed to the sender. True when spooled.
  bool AcceptReport(std::vector<win32::BYTE> frame);

 private:
  // Guarded by m_lock.
  std::mutex m_lock;
  int m_users = 0;
  bool m_enabled = true;
  std::shared_ptr<CReportSender> m_sender;
};
