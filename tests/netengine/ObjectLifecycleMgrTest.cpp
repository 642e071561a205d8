#include <future>
#include <thread>
#include <vector>

#include "Common/ObjectLifecycleMgr.h"
#include "NetEngineTestUtil.h"
#include "win32/sync.h"
#include "win32/thread.h"

using netengine_test::LogText;
using netengine_test::PointerText;
using netengine_test::Waiter;

namespace {

constexpr auto kBound = std::chrono::seconds(5);
constexpr auto kStillBlocked = std::chrono::milliseconds(100);

CObjectLifecycleMgr* Mgr() { return CObjectLifecycleMgr::Instance(); }

// Use: only live objects come back; a late use is silent, a use of an unknown object is not.
TEST(CObjectLifecycleMgrTest, UseOfRetiredObjectGivesNullWithoutLogLine) {
  int object = 0;
  Mgr()->Register(&object);
  Mgr()->Unregister(&object);
  CLifecycleGuard guard;
  EXPECT_EQ(Mgr()->Use(&object, &guard), nullptr);
  EXPECT_EQ(guard.Release(), 0);
  EXPECT_EQ(LogText().find("The Object[" + PointerText(&object) + "]"), std::string::npos);
}

TEST(CObjectLifecycleMgrTest, UseOfNeverRegisteredObjectLogsTheError) {
  static char neverRegistered;
  CLifecycleGuard guard;
  EXPECT_EQ(Mgr()->Use(&neverRegistered, &guard), nullptr);
  EXPECT_NE(LogText().find("ERROR: The Object[" + PointerText(&neverRegistered) +
                           "] is never register, but use it, maybe code forget it!!!!!!!!!!!"),
            std::string::npos);
  EXPECT_EQ(Mgr()->Use(nullptr, &guard), nullptr);
}

// Re-entry on one thread never blocks.
TEST(CObjectLifecycleMgrTest, NestedUseOnTheSameThreadSharesOneEntry) {
  int object = 0;
  Mgr()->Register(&object);
  auto nested = std::async(std::launch::async, [&] {
    CLifecycleGuard outer;
    CLifecycleGuard inner;
    bool ok = Mgr()->Use(&object, &outer) == &object && Mgr()->Use(&object, &inner) == &object;
    ok = ok && Mgr()->MutexTableForTesting()->EntryCountForTesting(&object) == 1;
    inner.Release();
    outer.Release();
    return ok;
  });
  ASSERT_EQ(nested.wait_for(kBound), std::future_status::ready);
  EXPECT_TRUE(nested.get());
  EXPECT_EQ(Mgr()->MutexTableForTesting()->EntryCountForTesting(&object), 0u);
  Mgr()->Unregister(&object);
}

TEST(CObjectLifecycleMgrTest, UnregisterFromInsideTheObjectsOwnCallbackReturnsAtOnce) {
  int object = 0;
  Mgr()->Register(&object);
  auto callback = std::async(std::launch::async, [&] {
    CLifecycleGuard guard;
    if (!Mgr()->Use(&object, &guard)) return false;
    Mgr()->Unregister(&object);
    CLifecycleGuard late;
    return Mgr()->Use(&object, &late) == nullptr;
  });
  ASSERT_EQ(callback.wait_for(kBound), std::future_status::ready);
  EXPECT_TRUE(callback.get());
}

// Unregister on another thread waits for callbacks in flight, and only for them.
TEST(CObjectLifecycleMgrTest, UnregisterWaitsForTheCallbackRunningOnAnotherThread) {
  int object = 0;
  Mgr()->Register(&object);
  Waiter waiter;
  bool inside = false;
  bool proceed = false;
  bool callbackReturned = false;

  std::thread callbackThread([&] {
    CLifecycleGuard guard;
    if (!Mgr()->Use(&object, &guard)) return;
    waiter.Signal([&] { inside = true; });
    waiter.WaitFor([&] { return proceed; });
    waiter.Signal([&] { callbackReturned = true; });
  });
  ASSERT_TRUE(waiter.WaitFor([&] { return inside; }));

  auto unregister = std::async(std::launch::async, [&] {
    Mgr()->Unregister(&object);
    std::lock_guard<std::mutex> lock(waiter.Mutex());
    return callbackReturned;
  });
  EXPECT_EQ(unregister.wait_for(kStillBlocked), std::future_status::timeout);
  waiter.Signal([&] { proceed = true; });
  ASSERT_EQ(unregister.wait_for(kBound), std::future_status::ready);
  EXPECT_TRUE(unregister.get());
  callbackThread.join();
}

TEST(CObjectLifecycleMgrTest, UnregisterDoesNotWaitForUsesOfOtherObjects) {
  int object = 0;
  int other = 0;
  Mgr()->Register(&object);
  Mgr()->Register(&other);
  Waiter waiter;
  bool inside = false;
  bool proceed = false;
  std::thread callbackThread([&] {
    CLifecycleGuard guard;
    if (!Mgr()->Use(&other, &guard)) return;
    waiter.Signal([&] { inside = true; });
    waiter.WaitFor([&] { return proceed; });
  });
  ASSERT_TRUE(waiter.WaitFor([&] { return inside; }));
  auto unregister = std::async(std::launch::async, [&] { Mgr()->Unregister(&object); });
  EXPECT_EQ(unregister.wait_for(kBound), std::future_status::ready);
  waiter.Signal([&] { proceed = true; });
  callbackThread.join();
  Mgr()->Unregister(&other);
}

// A thread that ended inside a callback abandons its mutex; the wait that takes it over owns it
// and must give it back, or the next unregistration would wait for that thread forever.
TEST(CObjectLifecycleMgrTest, AbandonedMutexIsGivenBackByTheUnregisteringThread) {
  int object = 0;
  Mgr()->Register(&object);
  CLifecycleGuard abandoned;
  std::thread([&] { Mgr()->Use(&object, &abandoned); }).join();

  Waiter waiter;
  bool firstDone = false;
  bool finish = false;
  std::thread firstUnregister([&] {
    Mgr()->Unregister(&object);
    waiter.Signal([&] { firstDone = true; });
    waiter.WaitFor([&] { return finish; });  // stays alive
  });
  ASSERT_TRUE(waiter.WaitFor([&] { return firstDone; }));

  Mgr()->Register(&object);
  auto secondUnregister = std::async(std::launch::async, [&] { Mgr()->Unregister(&object); });
  EXPECT_EQ(secondUnregister.wait_for(kBound), std::future_status::ready);

  waiter.Signal([&] { finish = true; });
  firstUnregister.join();
  secondUnregister.wait();
  abandoned.Release();
}

// The mutex table: one entry per (object, thread), at most ten spares.
TEST(LifecycleMutexTableTest, EntriesArePerObjectAndThread) {
  LifecycleMutexTable table;
  int object = 0;
  LifecycleEntry* pFirst = table.Acquire(&object, 100);
  LifecycleEntry* pAgain = table.Acquire(&object, 100);
  LifecycleEntry* pOtherThread = table.Acquire(&object, 200);
  EXPECT_EQ(pFirst, pAgain);
  EXPECT_NE(pFirst, pOtherThread);
  EXPECT_EQ(pFirst->RefCountForTesting(), 2);
  EXPECT_EQ(table.EntryCountForTesting(&object), 2u);

  std::vector<LifecycleEntry*> collected;
  table.CollectInUse(&object, &collected);
  EXPECT_EQ(collected.size(), 2u);
  for (LifecycleEntry* pEntry : collected) table.Release(pEntry);

  EXPECT_EQ(table.Release(pAgain), 1);
  EXPECT_EQ(table.Release(pFirst), 0);
  EXPECT_EQ(table.Release(pOtherThread), 0);
  EXPECT_EQ(table.EntryCountForTesting(&object), 0u);
  EXPECT_EQ(table.SpareCountForTesting(), 2u);
}

TEST(LifecycleMutexTableTest, ElevenRetiredEntriesKeepTenSparesAndCloseTheEleventhMutex) {
  LifecycleMutexTable table;
  int objects[12] = {};
  std::vector<LifecycleEntry*> entries;
  std::vector<win32::HANDLE> mutexes;
  for (int i = 0; i < 11; ++i) {
    entries.push_back(table.Acquire(&objects[i], 100));
    ASSERT_NE(entries.back(), nullptr);
    mutexes.push_back(entries.back()->MutexHandle());
  }
  for (LifecycleEntry* pEntry : entries) EXPECT_EQ(table.Release(pEntry), 0);
  EXPECT_EQ(table.SpareCountForTesting(), LifecycleMutexTable::kMaxSpares);

  EXPECT_EQ(win32::WaitForSingleObject(mutexes[10], 0), win32::WAIT_FAILED);
  EXPECT_EQ(win32::GetLastError(), win32::ERROR_INVALID_HANDLE);
  ASSERT_EQ(win32::WaitForSingleObject(mutexes[0], 0), win32::WAIT_OBJECT_0);
  win32::ReleaseMutex(mutexes[0]);

  // The oldest spare is reused first, mutex and all, and is found under its new object only.
  LifecycleEntry* pReused = table.Acquire(&objects[11], 100);
  EXPECT_EQ(pReused->MutexHandle(), mutexes[0]);
  EXPECT_EQ(table.Acquire(&objects[11], 100), pReused);
  EXPECT_EQ(table.EntryCountForTesting(&objects[11]), 1u);
  EXPECT_EQ(table.EntryCountForTesting(&objects[0]), 0u);
  EXPECT_EQ(table.Release(pReused), 1);
  EXPECT_EQ(table.Release(pReused), 0);
  EXPECT_EQ(table.EntryCountForTesting(&objects[11]), 0u);
}

}  // namespace
