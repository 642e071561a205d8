#include "NetEngine/IOTimerTable.h"

#include <algorithm>

#include "Common/ObjectLifecycleMgr.h"
#include "NetEngine/IOHandler.h"
#include "Common/Lock.h"

using namespace win32;

CIOTimerTable::CIOTimerTable() { InitCriticalSection(&m_lock); }

CIOTimerTable::~CIOTimerTable() { DeleteCriticalSection(&m_lock); }

void CIOTimerTable::SetTimer(CIOHandler* pHandler, uint32_t timerId, uint32_t intervalMs,
                             bool repeat) {
  ScopedLock lock(&m_lock);
  for (Entry& entry : m_entries) {
    if (entry.pHandler == pHandler && entry.timerId == timerId) {
      entry.remainingMs = intervalMs;
      entry.intervalMs = intervalMs;
      entry.repeat = repeat;
      return;
    }
  }
  m_entries.push_back(Entry{timerId, pHandler, intervalMs, intervalMs, repeat});
}

void CIOTimerTable::KillTimer(CIOHandler* pHandler, uint32_t timerId) {
  ScopedLock lock(&m_lock);
  std::erase_if(m_entries, [&](const Entry& entry) {
    return entry.pHandler == pHandler && entry.timerId == timerId;
  });
}

void CIOTimerTable::RemoveHandler(CIOHandler* pHandler) {
  ScopedLock lock(&m_lock);
  std::erase_if(m_entries, [&](const Entry& entry) { return entry.pHandler == pHandler; });
}

DWORD CIOTimerTable::NextTimeout() {
  ScopedLock lock(&m_lock);
  DWORD timeout = INFINITE;
  for (const Entry& entry : m_entries) timeout = std::min<DWORD>(timeout, entry.remainingMs);
  return timeout;
}

void CIOTimerTable::Tick(uint32_t elapsedMs) {
  std::vector<Due> due;
  {
    ScopedLock lock(&m_lock);
    for (auto it = m_entries.begin(); it != m_entries.end();) {
      if (it->remainingMs > elapsedMs) {
        it->remainingMs -= elapsedMs;
        ++it;
        continue;
      }
      due.push_back(Due{it->timerId, it->pHandler});
      if (it->repeat) {
        it->remainingMs = it->intervalMs;
        ++it;
      } else {
        it = m_entries.erase(it);
      }
    }
  }

  CObjectLifecycleMgr* pLifecycle = CObjectLifecycleMgr::Instance();
  for (const Due& timer : due) {
    CLifecycleGuard guard;
    if (pLifecycle->Use(timer.pHandler, &guard)) timer.pHandler->OnTimer(timer.timerId);
  }
}

size_t CIOTimerTable::CountForTesting() {
  ScopedLock lock(&m_lock);
  return m_entries.size();
}

bool CIOTimerTable::HasTimerForTesting(CIOHandler* pHandler, uint32_t timerId) {
  ScopedLock lock(&m_lock);
  for (const Entry& entry : m_entries) {
    if (entry.pHandler == pHandler && entry.timerId == timerId) return true;
  }
  return false;
}
