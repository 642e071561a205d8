#include "Common/Lock.h"

using namespace win32;

void InitCriticalSection(CRITICAL_SECTION* pSection) {
  InitializeCriticalSectionAndSpinCount(pSection, kEngineSpinCount);
}

ScopedLock::ScopedLock(CRITICAL_SECTION* pSection) : m_pSection(pSection), m_locked(true) {
  EnterCriticalSection(m_pSection);
}

ScopedLock::~ScopedLock() { Unlock(); }

void ScopedLock::Unlock() {
  if (!m_locked) return;
  m_locked = false;
  LeaveCriticalSection(m_pSection);
}
