#pragma once

class CIOOperation;

// Receives completions and timers from CIOThread.
// Lifetime: the constructor registers the object with CObjectLifecycleMgr; the destructor
//   removes the object's timers, detaches it from operations still in use (their completions
//   are then dropped with a log line) and unregisters it, which waits until no other thread is
//   inside one of its callbacks. That wait happens in this base destructor, after the derived
//   part is gone: a derived class whose callbacks may still be running stops them first.
// Threading: OnIoComplete and OnTimer run only on the I/O thread, one at a time, under a
//   lifecycle guard, so state touched only by them needs no lock.
class CIOHandler {
 public:
  CIOHandler();
  CIOHandler(const CIOHandler&) = delete;
  CIOHandler& operator=(const CIOHandler&) = delete;
  virtual ~CIOHandler();

  virtual void OnIoComplete(CIOOperation* pOp);
  virtual void OnTimer(unsigned int timerId);
};
