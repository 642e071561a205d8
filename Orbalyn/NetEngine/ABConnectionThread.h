#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <unordered_map>

#include "NetEngine/ABThread.h"
#include "Common/Singleton.h"
#include "Common/ThreadAnnotations.h"
#include "win32/sync.h"

class CIOOperation;
namespace win32 {
enum class SOCKET : uintptr_t;
}

// Performs the non-blocking connects of the TCP devices, so no other thread ever blocks on one.
// Each connect is event-selected on its own slot event; the thread waits on its stop event, its
// wake event and up to 62 connect events at once (the system's limit of 64 for one wait), and
// posts each result to the I/O thread as the completion of the request's operation. Further
// requests wait in a first-in first-out queue until a slot is free.
//
// Lifetime: a Singleton, built on first use and started by the root object after the I/O thread
//   and the name resolver, stopped before them. Stopping drops the connects in progress (their
//   operations get no completion) and forgets the slot events, so the thread can be started
//   again. While stopped, AddRequest still queues; queued requests are dropped at destruction.
// Threading: AddRequest and RemoveQueuedRequest from any thread, under the queue lock, which the
//   thread also holds while it starts connects. The slot table is touched only by the thread
//   (and by Start, before the thread exists).
class CABConnectionThread : public CABThread, public Singleton<CABConnectionThread> {
 public:
  static constexpr win32::DWORD kMaxEvents = 64;
  static constexpr win32::DWORD kStopSlot = 0;
  static constexpr win32::DWORD kWakeSlot = 1;
  static constexpr win32::DWORD kFirstConnectSlot = 2;

  ~CABConnectionThread() override;

  // CABThread:
  // Puts the stop event into slot 0, then starts as CABThread::Start does.
  int Start() override;
  void Run() override;

  // Queues a connect of `socket` to the address attached to pOp, which holds one more reference
  // for the request, and wakes the thread.
  void AddRequest(win32::SOCKET socket, CIOOperation* pOp);
  // Takes the socket's requests that have not been started yet off the queue and completes
  // their operations with 995. The device calls it before closing the socket, because a
  // connect started later would run on whatever socket reuses the number. Returns how many.
  size_t RemoveQueuedRequest(win32::SOCKET socket);

  size_t QueuedCountForTesting();
  // Stop and wake events plus the connects in progress.
  win32::DWORD WaitCountForTesting() const { return m_waitCount.load(); }

 private:
  friend class Singleton<CABConnectionThread>;

  struct ConnectRequest {
    win32::SOCKET socket;
    CIOOperation* pOp;  // one reference, the request's
  };

  CABConnectionThread();

  // Starts queued requests while a slot is free.
  void StartQueuedLocked() EXCLUSIVE_LOCKS_REQUIRED(m_queueLock);
  // The connect of slot `slot` has ended: posts its result and closes the gap in the slots.
  void FinishSlot(win32::DWORD slot);
  // Stop: drops the connects in progress and forgets the slot events.
  void DropInProgress();
  // Stores the error, posts the operation and drops the request's reference.
  static void PostResult(const ConnectRequest& request, uint32_t error);

  // Slot 0 the stop event (copied by Start), slot 1 the wake event (made with the object),
  // slots 2..63 one event per connect in progress, made on first use and kept for reuse.
  // Thread only, except slot 0.
  win32::HANDLE m_events[kMaxEvents];
  // How many leading slots the thread waits on; atomic only for WaitCountForTesting.
  std::atomic<win32::DWORD> m_waitCount;
  // The slot the next connect takes; always equal to the wait count.
  win32::DWORD m_nextSlot;

  win32::CRITICAL_SECTION m_queueLock;
  std::deque<ConnectRequest> m_queue GUARDED_BY(m_queueLock);

  // Thread only: the connects in progress, by their slot event.
  std::unordered_map<win32::HANDLE, ConnectRequest> m_inProgress;
};
