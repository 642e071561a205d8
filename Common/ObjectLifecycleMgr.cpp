#include "Common/ObjectLifecycleMgr.h"

#include <algorithm>
#include <new>

#include "Common/Lock.h"
#include "Common/LogHook.h"
#include "win32/thread.h"

using namespace win32;

// --- LifecycleEntry ---

LifecycleEntry::LifecycleEntry(LifecycleMutexTable* pTable, HANDLE hMutex)
    : m_pTable(pTable), m_hMutex(hMutex) {}

bool LifecycleEntry::TryAddRef() {
  int32_t count = m_refCount.load();
  while (count > 0) {
    if (m_refCount.compare_exchange_weak(count, count + 1)) return true;
  }
  return false;
}

// --- LifecycleMutexTable ---

LifecycleMutexTable::LifecycleMutexTable() { InitCriticalSection(&m_lock); }

LifecycleMutexTable::~LifecycleMutexTable() {
  for (auto& item : m_entries) {
    CloseHandle(item.second->m_hMutex);
    delete item.second;
  }
  for (LifecycleEntry* pEntry : m_spares) {
    CloseHandle(pEntry->m_hMutex);
    delete pEntry;
  }
  DeleteCriticalSection(&m_lock);
}

LifecycleEntry* LifecycleMutexTable::Acquire(const void* pObject, DWORD threadId) {
  ScopedLock lock(&m_lock);
  auto range = m_entries.equal_range(pObject);
  for (auto it = range.first; it != range.second; ++it) {
    LifecycleEntry* pEntry = it->second;
    // An entry at 0 is retiring: its releaser is about to take it out of the map.
    if (pEntry->m_threadId == threadId && pEntry->TryAddRef()) return pEntry;
  }

  LifecycleEntry* pEntry = nullptr;
  if (!m_spares.empty()) {
    pEntry = m_spares.front();
    m_spares.pop_front();
  } else {
    HANDLE hMutex = CreateMutexW(nullptr, FALSE, nullptr);
    if (!hMutex) return nullptr;
    pEntry = new (std::nothrow) LifecycleEntry(this, hMutex);
    if (!pEntry) {
      CloseHandle(hMutex);
      return nullptr;
    }
  }
  pEntry->m_pObject = pObject;
  pEntry->m_threadId = threadId;
  pEntry->m_refCount.store(1);
  if (pEntry->m_node.empty()) {
    m_entries.emplace(pObject, pEntry);
  } else {
    pEntry->m_node.key() = pObject;
    m_entries.insert(std::move(pEntry->m_node));
  }
  return pEntry;
}

int32_t LifecycleMutexTable::Release(LifecycleEntry* pEntry) {
  int32_t remaining = pEntry->m_refCount.fetch_sub(1) - 1;
  if (remaining != 0) return remaining;

  ScopedLock lock(&m_lock);
  auto range = m_entries.equal_range(pEntry->m_pObject);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second == pEntry) {
      pEntry->m_node = m_entries.extract(it);
      break;
    }
  }
  pEntry->m_pObject = nullptr;
  pEntry->m_threadId = 0;
  if (m_spares.size() < kMaxSpares) {
    m_spares.push_back(pEntry);
  } else {
    CloseHandle(pEntry->m_hMutex);
    delete pEntry;
  }
  return 0;
}

void LifecycleMutexTable::CollectInUse(const void* pObject,
                                       std::vector<LifecycleEntry*>* pEntries) {
  ScopedLock lock(&m_lock);
  auto range = m_entries.equal_range(pObject);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second->TryAddRef()) pEntries->push_back(it->second);
  }
}

size_t LifecycleMutexTable::SpareCountForTesting() {
  ScopedLock lock(&m_lock);
  return m_spares.size();
}

size_t LifecycleMutexTable::EntryCountForTesting(const void* pObject) {
  ScopedLock lock(&m_lock);
  return m_entries.count(pObject);
}

// --- CLifecycleGuard ---

int32_t CLifecycleGuard::Release() {
  LifecycleEntry* pEntry = m_pEntry;
  if (!pEntry) return 0;
  m_pEntry = nullptr;
  // An abandoned wait hands the mutex over just as a plain one does; keeping it would make the
  // next Unregister of the object wait for this thread forever.
  if (m_waitResult == WAIT_OBJECT_0 || m_waitResult == WAIT_ABANDONED) {
    ReleaseMutex(pEntry->m_hMutex);
  }
  m_waitResult = WAIT_ABANDONED;
  return pEntry->m_pTable->Release(pEntry);
}

// --- CObjectLifecycleMgr ---

CObjectLifecycleMgr::CObjectLifecycleMgr() { InitCriticalSection(&m_lock); }

CObjectLifecycleMgr::~CObjectLifecycleMgr() { DeleteCriticalSection(&m_lock); }

void CObjectLifecycleMgr::Register(const void* pObject) {
  if (!pObject) return;
  ScopedLock lock(&m_lock);
  m_live.insert(pObject);
  m_ever.insert(pObject);
}

void* CObjectLifecycleMgr::Use(void* pObject, CLifecycleGuard* pGuard) {
  if (!pObject) return nullptr;

  ScopedLock lock(&m_lock);
  if (!m_live.contains(pObject)) {
    if (!m_ever.contains(pObject)) {
      COMMON_LOG(
          "ERROR: The Object[%p] is never register, but use it, maybe code forget it!!!!!!!!!!!",
          pObject);
    }
    return nullptr;
  }
  LifecycleEntry* pEntry = m_mutexTable.Acquire(pObject, GetCurrentThreadId());
  if (!pEntry) {
    COMMON_LOG("CObjectLifecycleMgr::Use Object[%p] no mutex: %u", pObject, GetLastError());
    return nullptr;
  }
  if (!pGuard->m_pEntry) {
    pGuard->m_pEntry = pEntry;
    pEntry->m_refCount.fetch_add(1);  // the guard's, dropped by CLifecycleGuard::Release
    pGuard->m_waitResult = WaitForSingleObject(pEntry->m_hMutex, INFINITE);
  }
  m_mutexTable.Release(pEntry);  // the lookup's
  return pObject;
}

void CObjectLifecycleMgr::Unregister(const void* pObject) {
  bool wasLive = false;
  {
    ScopedLock lock(&m_lock);
    wasLive = m_live.erase(pObject) > 0;
  }
  if (wasLive) WaitForUses(pObject);
}

void CObjectLifecycleMgr::WaitForUses(const void* pObject) {
  std::vector<LifecycleEntry*> entries;
  m_mutexTable.CollectInUse(pObject, &entries);

  std::vector<LifecycleEntry*> waiting = entries;
  std::vector<HANDLE> handles;
  while (!waiting.empty()) {
    // One wait takes at most MAXIMUM_WAIT_OBJECTS; the rest are waited for in later rounds.
    DWORD count = static_cast<DWORD>(std::min<size_t>(waiting.size(), MAXIMUM_WAIT_OBJECTS));
    handles.clear();
    for (DWORD i = 0; i < count; ++i) handles.push_back(waiting[i]->m_hMutex);
    DWORD result = WaitForMultipleObjects(count, handles.data(), FALSE, INFINITE);
    DWORD index;
    if (result < WAIT_OBJECT_0 + count) {
      index = result - WAIT_OBJECT_0;
    } else if (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + count) {
      // The user ended while inside a callback; the wait still made us the owner.
      index = result - WAIT_ABANDONED_0;
    } else {
      COMMON_LOG("CObjectLifecycleMgr::Unregister Object[%p] wait failed: %u, %u", pObject, result,
                 GetLastError());
      break;
    }
    ReleaseMutex(handles[index]);
    waiting.erase(waiting.begin() + index);
  }

  for (LifecycleEntry* pEntry : entries) m_mutexTable.Release(pEntry);
}
