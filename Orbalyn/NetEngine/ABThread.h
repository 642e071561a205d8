#pragma once

#include <atomic>

#include "win32/base.h"

// Base of the library's own threads (the I/O thread, the connect thread, the upload thread).
// Lifetime: the stop event lives as long as the object. The destructor does not stop the
//   thread: owners call Stop first.
// Threading: Start, Stop and Join are called by the owner from one thread at a time. The handle
//   and id are atomics because other threads read them (CIOThread::SetTimer asks whether it
//   runs on the I/O thread).
class CABThread {
 public:
  CABThread();
  CABThread(const CABThread&) = delete;
  CABThread& operator=(const CABThread&) = delete;
  virtual ~CABThread();

  // 0 on success; -1 when a thread runs already, the stop event is missing or the thread
  // cannot be created.
  virtual int Start();
  // Sets the stop event and waits up to timeoutMs for the thread. 0 when it ended (or none
  // ran); -1 when it did not, leaving it running with the stop event set.
  virtual int Stop(win32::DWORD timeoutMs);
  // Waits without a time-out for the thread; returns the wait result.
  virtual win32::DWORD Join();
  // The thread body; ends when the derived class's stop condition is met.
  virtual void Run() = 0;

  win32::DWORD ThreadId() const { return m_threadId.load(); }
  bool IsCurrentThread() const;

 protected:
  // Manual-reset; set by Stop.
  win32::HANDLE StopEvent() const { return m_hStopEvent; }
  // True while a thread handle is held.
  bool HasThread() const { return m_hThread.load() != nullptr; }

 private:
  static win32::DWORD ThreadProc(void* pParameter);

  std::atomic<win32::HANDLE> m_hThread{nullptr};
  // Set in the constructor, closed in the destructor.
  const win32::HANDLE m_hStopEvent;
  std::atomic<win32::DWORD> m_threadId{0};
};
