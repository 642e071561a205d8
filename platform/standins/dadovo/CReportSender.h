#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "win32/base.h"

// Sends committed reports to the report server, each over its own TCP connection, in the spool's
// framing. Runs on a thread of its own so that a committing thread (the network engine's, among
// others) never waits for a connect; a report that cannot be sent is dropped here, since the
// spool keeps every report anyway.
// Lifetime: Start returns a shared object that its thread also holds; after Stop the thread ends
// once the report in hand is done, and the object goes with the last reference.
// Threading: Enqueue, WaitIdle and Stop may be called from any thread; the queue and the busy
// flag are guarded by m_lock.
class CReportSender {
 public:
  // "host" or "host:port" (1..65535, digits only); port 443 when absent. Anything else is refused.
  static bool ParseServer(std::string_view text, std::string* pHost, uint16_t* pPort);
  // Null when the thread cannot be started.
  static std::shared_ptr<CReportSender> Start(std::string host, uint16_t port);

  CReportSender(std::string host, uint16_t port);
  CReportSender(const CReportSender&) = delete;
  CReportSender& operator=(const CReportSender&) = delete;

  void Enqueue(std::vector<win32::BYTE> frame);
  // True when nothing is queued or being sent before `timeoutMs` has passed.
  bool WaitIdle(win32::DWORD timeoutMs);
  // Queued reports are dropped; the one being sent completes or times out.
  void Stop();

 private:
  static void* ThreadMain(void* pArg);
  void Run();
  bool SendOne(const std::vector<win32::BYTE>& frame);

  // Set in the constructor, then constant.
  const std::string m_host;
  const uint16_t m_port;

  // Guarded by m_lock.
  std::mutex m_lock;
  std::condition_variable m_wake;
  std::condition_variable m_idle;
  std::deque<std::vector<win32::BYTE>> m_queue;
  bool m_busy = false;
  bool m_stopping = false;
};
