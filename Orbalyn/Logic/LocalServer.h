#pragma once

#include <atomic>
#include <cstdint>

#include "NetEngine/IOHandler.h"
#include "Common/Singleton.h"

class CIOOperation;
namespace win32 {
enum class SOCKET : uintptr_t;
}

// Listens for phones on the local network: every IPv4 address of the PC, a port the system
// chooses, one overlapped accept outstanding at a time on the I/O thread; each accepted socket
// goes to the phone command manager. Phone connections have no idle time-out and no count
// limit (phones rely on that), so the kernel's keep-alive is what finds a dead peer.
//
// When a step of arming the accept fails (descriptors run out, so no socket can be made), or
// two accepts in a row complete with an error, the next try waits for a one-second I/O-thread
// timer: an accept that fails at once would otherwise spin, and one that is never re-armed
// would leave the PC deaf to phones for good.
//
// Lifetime: process-wide singleton, destroyed at exit. Start and Close may alternate; every
//   Start after a Close listens on a new port.
// Threading: Start and Close run on the thread that drives the root object; everything else
//   runs on the I/O thread. Close first unregisters from the lifecycle manager, which waits
//   for a callback in progress, so afterwards it owns the sockets alone. GetPort may be read
//   from any thread.
class CLocalServer final : public CIOHandler, public Singleton<CLocalServer> {
 public:
  static constexpr int kBacklog = 5;
  static constexpr uint32_t kRetryMs = 1000;

  CLocalServer(const CLocalServer&) = delete;
  CLocalServer& operator=(const CLocalServer&) = delete;

  // Posts the first accept to the I/O thread; nothing when started already.
  void Start();
  // Stops accepting: no completion or timer reaches the server afterwards, both sockets are
  // closed, the port is 0.
  void Close();
  // The listening port in host order; 0 while not listening.
  uint16_t GetPort() const { return m_port.load(); }

  // CIOHandler:
  void OnIoComplete(CIOOperation* pOp) override;
  void OnTimer(unsigned int timerId) override;

  // Tests only: how many times arming an accept was tried, and the last socket handed over.
  uint32_t AcceptAttemptsForTesting() const { return m_acceptAttempts.load(); }
  win32::SOCKET LastAcceptedForTesting() const { return m_lastAccepted.load(); }

 private:
  friend class Singleton<CLocalServer>;

  static constexpr uint32_t kOpStart = 11;
  static constexpr uint32_t kOpAccept = 12;
  static constexpr uint32_t kRetryTimerId = 1;
  // AcceptEx writes both addresses here; each slot holds an IPv4 address and 16 more bytes.
  static constexpr uint32_t kAcceptBufferSize = 512;
  static constexpr uint32_t kAddressSlot = 32;

  CLocalServer();
  ~CLocalServer() override;

  bool Listen();
  // Arms one accept unless one is outstanding. False when a step failed.
  bool PostAccept();
  // PostAccept, or the retry timer when it fails.
  void PostAcceptOrRetry();
  void AcceptSock(CIOOperation* pOp);

  // The thread that calls Start and Close.
  bool m_started = false;

  std::atomic<uint16_t> m_port{0};
  // Written on the I/O thread and by Close once no callback can run.
  std::atomic<win32::SOCKET> m_hListen;
  std::atomic<win32::SOCKET> m_hAccept;  // the socket of the outstanding accept

  // I/O thread only (and Close).
  bool m_failing = false;           // arming has failed since the last success
  uint32_t m_retries = 0;           // tries in the current failure streak
  bool m_lastAcceptFailed = false;  // the previous accept completed with an error

  std::atomic<uint32_t> m_acceptAttempts{0};
  std::atomic<win32::SOCKET> m_lastAccepted;
};
