#pragma once
// The proxy of one loop. The loop makes it and holds one reference until the loop is destroyed;
// the thread tables and posting code hold others.
// Lifetime: when the count reaches 0 on another thread while the loop lives, the proxy is deleted
//   on the loop's thread (DeleteTask); otherwise at once.
// Threading: any thread; m_lock guards the target loop pointer, and posts happen under it, so a
//   loop being destroyed never receives a task after WillDestroyCurrentMessageLoop.

#include "AsyncFrame/DeleteTask.h"
#include "AsyncFrame/MessageLoopProxy.h"
#include "Common/ThreadAnnotations.h"
#include "win32/sync.h"

namespace AsyncFrame {

class MessageLoop;

class MessageLoopProxyImpl : public MessageLoopProxy {
 public:
  static constexpr win32::DWORD kLockSpinCount = 2000;

  // Targets `pLoop` (which must outlive the proxy or detach it). Count 0: the creator adds the
  // first reference.
  explicit MessageLoopProxyImpl(MessageLoop* pLoop);

  // MessageLoopProxy:
  bool PostTask(const Location& location, Task* pTask) override;
  bool PostDelayedTask(const Location& location, Task* pTask, int64_t delayMs) override;
  bool PostNonNestableTask(const Location& location, Task* pTask) override;
  bool PostNonNestableDelayedTask(const Location& location, Task* pTask, int64_t delayMs) override;
  bool BelongsToCurrentThread() override;

  // Called by the loop, on its thread, as it goes away: later posts delete their task and fail.
  virtual void WillDestroyCurrentMessageLoop();

 protected:
  // Deleted only through OnDestruct or a DeleteTask.
  ~MessageLoopProxyImpl() override;
  // MessageLoopProxy:
  void OnDestruct() const override;

 private:
  friend class DeleteTask<MessageLoopProxyImpl>;

  bool PostTaskHelper(const Location& location, Task* pTask, int64_t delayMs, bool nestable);

  mutable win32::CRITICAL_SECTION m_lock;
  MessageLoop* m_pTargetLoop GUARDED_BY(m_lock);
};

}  // namespace AsyncFrame
