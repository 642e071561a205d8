#pragma once
// A queue entry of a message loop.

#include "AsyncFrame/Task.h"
#include "win32/base.h"

namespace AsyncFrame {

struct PendingTask {
  Task* pTask;                  // owned by the queue holding the entry
  win32::DWORD delayedRunTime;  // on the loop clock; meaningful when hasDelay
  bool hasDelay;
  int sequenceNumber;  // given when the entry enters the delayed queue
  bool nestable;
};

// Orders the delayed queue's heap so that its top is the entry with the earliest run time
// (unsigned comparison), and among equal run times the one with the smallest sequence number.
struct LaterPendingTask {
  bool operator()(const PendingTask& a, const PendingTask& b) const {
    if (a.delayedRunTime != b.delayedRunTime) return a.delayedRunTime > b.delayedRunTime;
    return a.sequenceNumber > b.sequenceNumber;
  }
};

}  // namespace AsyncFrame
