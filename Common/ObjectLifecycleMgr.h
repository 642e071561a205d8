#pragma once

#include <atomic>
#include <deque>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Common/Singleton.h"
#include "Common/ThreadAnnotations.h"
#include "win32/sync.h"

class LifecycleEntry;
class LifecycleMutexTable;

using LifecycleEntryMap = std::unordered_multimap<const void*, LifecycleEntry*>;

// One (object, thread) pair that has used a registered object, with the mutex that thread holds
// while it is inside a callback of the object.
// Lifetime: owned by its table; it lives in the table's map while its count is above 0, then on
//   the spare list or freed. The count is interlocked; the other fields change only under the
//   table lock.
class LifecycleEntry {
 public:
  LifecycleEntry(const LifecycleEntry&) = delete;
  LifecycleEntry& operator=(const LifecycleEntry&) = delete;

  win32::HANDLE MutexHandle() const { return m_hMutex; }
  int32_t RefCountForTesting() const { return m_refCount.load(); }

 private:
  friend class LifecycleMutexTable;
  friend class CLifecycleGuard;
  friend class CObjectLifecycleMgr;

  LifecycleEntry(LifecycleMutexTable* pTable, win32::HANDLE hMutex);
  // Adds a reference unless the count has already dropped to 0 (a retiring entry).
  bool TryAddRef();

  LifecycleMutexTable* const m_pTable;
  std::atomic<int32_t> m_refCount{0};
  // Unnamed, created not owned; closed when the entry is freed.
  const win32::HANDLE m_hMutex;
  const void* m_pObject = nullptr;
  win32::DWORD m_threadId = 0;
  // A retired entry keeps the map node it had, so using it again allocates nothing.
  LifecycleEntryMap::node_type m_node;
};

// The entries of every (object, thread) pair in use, and up to kMaxSpares retired entries kept
// with their mutexes for reuse.
// Threading: any thread. The table lock covers the map and the spare list and is never held
//   while waiting for a mutex. Lock order: CObjectLifecycleMgr's main lock, then this one.
class LifecycleMutexTable {
 public:
  static constexpr size_t kMaxSpares = 10;

  LifecycleMutexTable();
  LifecycleMutexTable(const LifecycleMutexTable&) = delete;
  LifecycleMutexTable& operator=(const LifecycleMutexTable&) = delete;
  // Closes every mutex, of entries in use and of spares.
  ~LifecycleMutexTable();

  // The entry of (object, thread) with one more reference, made or taken from the spares when
  // there is none. Null when no mutex can be made.
  LifecycleEntry* Acquire(const void* pObject, win32::DWORD threadId);
  // Drops one reference; at 0 the entry leaves the map and becomes a spare (or is freed).
  // Returns the remaining count.
  int32_t Release(LifecycleEntry* pEntry);
  // Every entry of the object still in use, each with one more reference for the caller.
  void CollectInUse(const void* pObject, std::vector<LifecycleEntry*>* pEntries);

  size_t SpareCountForTesting();
  size_t EntryCountForTesting(const void* pObject);

 private:
  win32::CRITICAL_SECTION m_lock;
  LifecycleEntryMap m_entries GUARDED_BY(m_lock);
  std::deque<LifecycleEntry*> m_spares GUARDED_BY(m_lock);  // oldest first
};

// Holds the caller's use of an object obtained from CObjectLifecycleMgr::Use, until Release or
// the end of its scope.
// Threading: owned and released by the thread that passed it to Use.
class CLifecycleGuard {
 public:
  CLifecycleGuard() = default;
  CLifecycleGuard(const CLifecycleGuard&) = delete;
  CLifecycleGuard& operator=(const CLifecycleGuard&) = delete;
  ~CLifecycleGuard() { Release(); }

  // Leaves the mutex when the wait obtained it and drops the entry. Returns the entry's
  // remaining count (0 when the guard held none).
  int32_t Release();

 private:
  friend class CObjectLifecycleMgr;

  win32::DWORD m_waitResult = win32::WAIT_ABANDONED;
  LifecycleEntry* m_pEntry = nullptr;
};

// Keeps callbacks off objects being torn down. Every callback target is registered; every
// callback goes through Use, which returns the target only while it is registered and holds, for
// the call, a mutex that belongs to the target and the calling thread. Unregister removes the
// target and waits until every other thread has left its callbacks; after it returns the object
// can be destroyed.
// Lifetime: a Singleton, built before any handler exists and kept until process exit.
// Threading: any thread. The main lock is held across the mutex wait inside Use; that wait is
//   short because the only other holder of a thread's own mutex is an unregistering thread,
//   which leaves it at once. Unregister waits without the main lock.
class CObjectLifecycleMgr : public Singleton<CObjectLifecycleMgr> {
 public:
  ~CObjectLifecycleMgr() override;

  // Marks the object live (again). Null is ignored.
  void Register(const void* pObject);
  // The object while it is live, with pGuard holding its use; null when it is gone (and a log
  // line when it was never registered). Release the guard afterwards in both cases.
  void* Use(void* pObject, CLifecycleGuard* pGuard);
  // Retires the object and, when it was live, waits until no other thread is inside a callback
  // of it. From inside the object's own callback it waits only for the other threads.
  void Unregister(const void* pObject);

  LifecycleMutexTable* MutexTableForTesting() { return &m_mutexTable; }

 private:
  friend class Singleton<CObjectLifecycleMgr>;

  CObjectLifecycleMgr();
  void WaitForUses(const void* pObject);

  win32::CRITICAL_SECTION m_lock;
  std::unordered_set<const void*> m_live GUARDED_BY(m_lock);
  // Never shrinks: tells a late callback from a use that was never registered.
  std::unordered_set<const void*> m_ever GUARDED_BY(m_lock);
  LifecycleMutexTable m_mutexTable;
};
