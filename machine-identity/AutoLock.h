#pragma once
// Holds a critical section for a scope: the statistics client and the channel log take their
// locks only through this.

#include "win32/sync.h"

class CAutoLock {
 public:
  explicit CAutoLock(win32::CRITICAL_SECTION* pSection) : m_pSection(pSection) {
    win32::EnterCriticalSection(m_pSection);
  }
  CAutoLock(const CAutoLock&) = delete;
  CAutoLock& operator=(const CAutoLock&) = delete;
  ~CAutoLock() { win32::LeaveCriticalSection(m_pSection); }

 private:
  win32::CRITICAL_SECTION* const m_pSection;
};
