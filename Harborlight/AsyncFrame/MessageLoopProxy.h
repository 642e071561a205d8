#pragma once
// A thread-safe handle on a message loop: other threads post through it, and it outlives the
// loop (posts then fail and delete their task).

#include <cstdint>

#include "AsyncFrame/Location.h"
#include "AsyncFrame/RefCountedThreadSafe.h"
#include "AsyncFrame/Task.h"

namespace AsyncFrame {

class MessageLoopProxy;

struct MessageLoopProxyTraits {
  static void Destruct(const MessageLoopProxy* pProxy);
};

class MessageLoopProxy : public CTSRefCountedThreadSafe<MessageLoopProxy, MessageLoopProxyTraits> {
 public:
  // Each returns true when the task was queued; otherwise the task is deleted at once.
  virtual bool PostTask(const Location& location, Task* pTask) = 0;
  // The loop reads the delay's low 32 bits.
  virtual bool PostDelayedTask(const Location& location, Task* pTask, int64_t delayMs) = 0;
  virtual bool PostNonNestableTask(const Location& location, Task* pTask) = 0;
  virtual bool PostNonNestableDelayedTask(const Location& location, Task* pTask,
                                          int64_t delayMs) = 0;
  // Whether the calling thread runs the target loop.
  virtual bool BelongsToCurrentThread() = 0;

 protected:
  friend struct MessageLoopProxyTraits;

  virtual ~MessageLoopProxy() = default;
  // The count reached 0: decides where the proxy is deleted.
  virtual void OnDestruct() const = 0;
};

inline void MessageLoopProxyTraits::Destruct(const MessageLoopProxy* pProxy) {
  pProxy->OnDestruct();
}

}  // namespace AsyncFrame
