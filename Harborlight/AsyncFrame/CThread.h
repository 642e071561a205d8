#pragma once
// A task thread: a thread running one message loop, started and stopped by its owner.

#include <atomic>
#include <string>

#include "AsyncFrame/MessageLoop.h"
#include "AsyncFrame/Task.h"
#include "win32/base.h"

namespace AsyncFrame {

// What a new thread runs.
class Delegate {
 public:
  virtual ~Delegate() = default;
  virtual void ThreadMain() = 0;
};

// Sets quit-when-idle on the current thread's innermost run.
class ThreadQuitTask final : public Task {
 public:
  void Run() override;
};

// Lifetime: owned by the thread tables (or a test). Destruction stops the thread and removes its
//   id from the registry.
// Threading: Start, Stop and StopSoon on the owner's thread; ThreadMain on the new thread. The
//   loop pointer, the thread id and the quit-posted flag are read across the two.
class CTSThread : public Delegate {
 public:
  // What Start went through.
  struct StartStatus {
    bool eventCreated = false;
    bool threadCreationFailed = false;
    bool waitFailed = false;
  };

  // How long the ending thread waits for StopSoon to finish posting (in steps of 10 ms).
  static constexpr win32::DWORD kQuitPostedWaitMs = 1000;
  static constexpr win32::DWORD kQuitPostedPollMs = 10;

  // Claims `wellKnownId` in the registry when it is not -1 and the slot is free.
  CTSThread(const char* pName, int wellKnownId, int loopType);
  CTSThread(const CTSThread&) = delete;
  CTSThread& operator=(const CTSThread&) = delete;
  ~CTSThread() override;

  // Delegate:
  void ThreadMain() override;

  // Stop; always true.
  virtual bool StopAndWait();
  // Starts the thread and waits until its loop exists. False (status says why) when the thread
  // could not be made.
  virtual bool Start(StartStatus* pStatus);
  // Once started: StopSoon, then waits for the thread's end without a time-out.
  virtual void Stop();
  virtual void Init() {}
  virtual void Run(MessageLoop* pLoop);
  virtual void CleanUp() {}
  virtual void OnThreadEnded() {}

  // Once, while the loop exists: posts the task that ends the run once it is idle (delayed tasks
  // not yet due are dropped).
  void StopSoon();
  // The main thread's entry: the calling thread and its loop, never started.
  void AttachToCurrentThread(MessageLoop* pLoop);

  MessageLoop* Loop() const { return m_pLoop; }
  win32::DWORD ThreadId() const { return m_threadId; }
  const std::string& Name() const { return m_name; }
  int WellKnownId() const { return m_wellKnownId; }

  // Tests: Start fails as if the system had no thread to give.
  static void FailStartsForTesting(bool fail);

 private:
  static win32::DWORD ThreadProc(win32::LPVOID pParameter);

  bool m_started = false;  // owner thread
  std::atomic<bool> m_stopRequested{false};
  std::atomic<bool> m_quitPosted{false};
  win32::HANDLE m_hThread = nullptr;
  std::atomic<MessageLoop*> m_pLoop{nullptr};  // made and deleted by the thread itself
  std::atomic<win32::DWORD> m_threadId{0};
  const std::string m_name;
  const int m_loopType;
  win32::HANDLE m_hStartEvent = nullptr;
  const int m_wellKnownId;
};

}  // namespace AsyncFrame
