#pragma once
// The one way the engine makes and takes its locks.

#include "win32/sync.h"

// Spin count of every critical section of the engine and of the logic centre.
inline constexpr win32::DWORD kEngineSpinCount = 4000;

// Initialises a critical section with kEngineSpinCount. The library log's lock is the one plain
// section and does not come through here. Sections are recursive: a thread that holds an
// object's lock may call another locking operation of the same object.
void InitCriticalSection(win32::CRITICAL_SECTION* pSection);

// Holds a critical section for a scope. Unlock leaves it early; the destructor leaves it only
// when it is still held, so an early Unlock is never undone twice.
class ScopedLock {
 public:
  explicit ScopedLock(win32::CRITICAL_SECTION* pSection);
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;
  ~ScopedLock();

  void Unlock();

 private:
  win32::CRITICAL_SECTION* const m_pSection;
  bool m_locked;
};
