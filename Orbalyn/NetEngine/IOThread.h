#pragma once

#include <atomic>
#include <cassert>
#include <cstdint>
#include <memory>

#include "NetEngine/ABThread.h"
#include "Common/Singleton.h"
#include "win32/base.h"

class CIOHandler;
class CIOTimerTable;
namespace win32 {
enum class SOCKET : uintptr_t;
}

// Debug check for code that only the I/O thread may run.
#define ASSERT_ON_IO_THREAD() assert(CIOThread::Instance()->IsCurrentThread())

// The one thread that runs every completion, timer and posted work item of the engine and of the
// server session, through one completion port.
//
// Completion keys: a socket's handle (system I/O on an associated socket), 0 (an operation
// queued by CIOOperation::Post), kKeyQuit and kKeyWake (no operation).
//
// Lifetime: a Singleton. The port and the timer table are made with the object and live until
//   process exit; operations posted while the thread does not run stay queued on the port. The
//   root object starts the thread before any other part of the engine and stops it last.
// Threading: Associate, SetTimer and KillTimer from any thread; Start and Stop by the owner.
//   Completions and timers are delivered only on this thread, one at a time.
class CIOThread : public CABThread, public Singleton<CIOThread> {
 public:
  static constexpr uintptr_t kKeyQuit = 1;
  static constexpr uintptr_t kKeyWake = 10;

  ~CIOThread() override;

  // CABThread:
  // Refuses (-1) when the completion port could not be made: a loop on a missing port would
  // return at once forever.
  int Start() override;
  // Posts kKeyQuit, then stops as CABThread::Stop does. 0 when no thread runs; -1 when the quit
  // cannot be posted or the thread does not end in time.
  int Stop(win32::DWORD timeoutMs) override;
  void Run() override;

  // Associates a socket with the port, the socket's handle being its completion key.
  bool Associate(win32::SOCKET socket);
  // Adds or restarts a timer; wakes the loop unless called on it (or while it does not run).
  void SetTimer(CIOHandler* pHandler, uint32_t timerId, uint32_t intervalMs, bool repeat);
  void KillTimer(CIOHandler* pHandler, uint32_t timerId);

  win32::HANDLE Port() const { return m_hPort.load(); }
  CIOTimerTable* TimerTable() const { return m_pTimerTable.get(); }

  // A second, private instance with its own port and timers, for tests of the loop itself.
  static std::unique_ptr<CIOThread> CreateForTesting();
  // Closes the port under a running loop, as process teardown can.
  void ClosePortForTesting();

 private:
  friend class Singleton<CIOThread>;

  CIOThread();

  // Made in the constructor, closed in the destructor. Atomic only for ClosePortForTesting.
  std::atomic<win32::HANDLE> m_hPort;
  std::unique_ptr<CIOTimerTable> m_pTimerTable;
};
