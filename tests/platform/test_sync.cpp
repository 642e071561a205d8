#include "win32/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "handles.h"
#include "win32/thread.h"

using namespace win32;

namespace {

// Every blocking wait in these tests ends by then, so a fault fails a case instead of hanging.
constexpr DWORD kBoundedMs = 5000;

// Counts from several threads; the test thread waits for a value with a bounded time-out.
class Counter {
 public:
  void Add() {
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_value;
    m_changed.notify_all();
  }
  bool WaitFor(int value) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(kBoundedMs),
                              [&] { return m_value >= value; });
  }
  int Get() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_value;
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_changed;
  int m_value = 0;
};

HANDLE NewEvent(bool manualReset, bool signalled = false) {
  return CreateEventW(nullptr, manualReset ? TRUE : FALSE, signalled ? TRUE : FALSE, nullptr);
}

class SyncTest : public ::testing::Test {
 protected:
  void SetUp() override { m_openHandles = detail::OpenHandleCountForTesting(); }
  // No case may leave a handle open.
  void TearDown() override { EXPECT_EQ(m_openHandles, detail::OpenHandleCountForTesting()); }

 private:
  size_t m_openHandles = 0;
};

// Events: an auto-reset signal goes to exactly one wait; a manual-reset one stays until reset.

TEST_F(SyncTest, AutoResetEventReleasesExactlyOneOfTwoWaitersPerSet) {
  HANDLE stop = NewEvent(true);
  HANDLE queue = NewEvent(false);
  Counter released;
  std::atomic<int> failures{0};
  auto waiter = [&] {
    HANDLE handles[2] = {stop, queue};
    for (;;) {
      DWORD r = WaitForMultipleObjects(2, handles, FALSE, kBoundedMs);
      if (r == WAIT_OBJECT_0) return;
      if (r == WAIT_OBJECT_0 + 1) {
        released.Add();
      } else {
        ++failures;
        return;
      }
    }
  };
  std::thread a(waiter);
  std::thread b(waiter);
  constexpr int kSets = 50;
  for (int k = 1; k <= kSets; ++k) {
    EXPECT_TRUE(SetEvent(queue));
    if (!released.WaitFor(k)) {
      ADD_FAILURE() << "set " << k << " released no waiter";
      break;
    }
  }
  // Nothing is left signalled, and no set released a second waiter.
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(queue, 50));
  EXPECT_EQ(kSets, released.Get());
  SetEvent(stop);
  a.join();
  b.join();
  EXPECT_EQ(0, failures.load());
  CloseHandle(stop);
  CloseHandle(queue);
}

TEST_F(SyncTest, ManualResetEventStaysSetUntilReset) {
  HANDLE event = NewEvent(true);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
  DWORD results[2] = {1, 1};
  std::thread a([&] { results[0] = WaitForSingleObject(event, kBoundedMs); });
  std::thread b([&] { results[1] = WaitForSingleObject(event, kBoundedMs); });
  EXPECT_TRUE(SetEvent(event));
  a.join();
  b.join();
  EXPECT_EQ(WAIT_OBJECT_0, results[0]);
  EXPECT_EQ(WAIT_OBJECT_0, results[1]);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
  EXPECT_TRUE(ResetEvent(event));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(event, 0));
  CloseHandle(event);

  HANDLE initiallySet = NewEvent(false, true);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(initiallySet, 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(initiallySet, 0));
  CloseHandle(initiallySet);

  // The Winsock flavour is manual-reset and starts unsignalled.
  WSAEVENT wsaEvent = WSACreateEvent();
  ASSERT_NE(WSA_INVALID_EVENT, wsaEvent);
  EXPECT_EQ(WSA_WAIT_TIMEOUT, WSAWaitForMultipleEvents(1, &wsaEvent, FALSE, 0, FALSE));
  EXPECT_TRUE(WSASetEvent(wsaEvent));
  EXPECT_EQ(WSA_WAIT_EVENT_0, WSAWaitForMultipleEvents(1, &wsaEvent, FALSE, 0, FALSE));
  EXPECT_EQ(WSA_WAIT_EVENT_0, WSAWaitForMultipleEvents(1, &wsaEvent, FALSE, WSA_INFINITE, FALSE));
  EXPECT_TRUE(WSAResetEvent(wsaEvent));
  EXPECT_EQ(WSA_WAIT_TIMEOUT, WSAWaitForMultipleEvents(1, &wsaEvent, FALSE, 0, FALSE));
  EXPECT_TRUE(WSACloseEvent(wsaEvent));
  EXPECT_FALSE(WSACloseEvent(wsaEvent));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
}

// Wait-any: the lowest signalled index wins and only that object is consumed.

TEST_F(SyncTest, WaitAnyTakesLowestSignalledIndexOfSixtyFour) {
  std::vector<HANDLE> events(MAXIMUM_WAIT_OBJECTS);
  for (HANDLE& e : events) e = NewEvent(false);
  SetEvent(events[40]);
  SetEvent(events[7]);
  SetEvent(events[63]);
  EXPECT_EQ(WAIT_OBJECT_0 + 7, WaitForMultipleObjects(64, events.data(), FALSE, 0));
  EXPECT_EQ(WAIT_OBJECT_0 + 40, WaitForMultipleObjects(64, events.data(), FALSE, 0));
  EXPECT_EQ(WAIT_OBJECT_0 + 63, WaitForMultipleObjects(64, events.data(), FALSE, 0));
  EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(64, events.data(), FALSE, 0));

  // A parked wait on all 64 wakes for the last one.
  std::thread setter([&] { SetEvent(events[63]); });
  EXPECT_EQ(WAIT_OBJECT_0 + 63, WaitForMultipleObjects(64, events.data(), FALSE, kBoundedMs));
  setter.join();

  // A set stop event in slot 0 keeps winning and leaves the others alone.
  HANDLE stop = NewEvent(true, true);
  HANDLE pair[2] = {stop, events[5]};
  SetEvent(events[5]);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, pair, FALSE, 0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, pair, FALSE, 0));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(events[5], 0));
  CloseHandle(stop);
  for (HANDLE e : events) CloseHandle(e);
}

TEST_F(SyncTest, BadWaitRequestsFailWithWindowsErrors) {
  HANDLE event = NewEvent(false, true);
  std::vector<HANDLE> tooMany(MAXIMUM_WAIT_OBJECTS + 1, event);
  EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(65, tooMany.data(), FALSE, 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  EXPECT_EQ(WAIT_FAILED, WSAWaitForMultipleEvents(65, tooMany.data(), FALSE, 0, FALSE));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(0, tooMany.data(), FALSE, 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  HANDLE twice[2] = {event, event};
  EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(2, twice, TRUE, 0));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());

  // A stale handle fails the whole wait before anything is consumed.
  HANDLE stale = NewEvent(true, true);
  CloseHandle(stale);
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(stale, 0));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  HANDLE mixed[2] = {event, stale};
  EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(2, mixed, FALSE, kBoundedMs));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 0));
  SetLastError(0);
  EXPECT_FALSE(SetEvent(stale));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  EXPECT_FALSE(ResetEvent(stale));
  EXPECT_FALSE(ReleaseMutex(stale));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(INVALID_HANDLE_VALUE, 0));
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(nullptr, 0));
  // An event is not a mutex, whatever the caller thinks.
  EXPECT_FALSE(ReleaseMutex(event));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());

  // Names would carry a cross-process meaning the layer does not give events (named mutexes
  // have their own tests).
  EXPECT_EQ(nullptr, CreateEventW(nullptr, TRUE, FALSE, u"Global\\x"));
  EXPECT_EQ(ERROR_NOT_SUPPORTED, GetLastError());
  CloseHandle(event);
}

TEST_F(SyncTest, TimedWaitTimesOutOnTime) {
  using std::chrono::milliseconds;
  using std::chrono::steady_clock;
  HANDLE events[3] = {NewEvent(false), NewEvent(true), CreateMutexW(nullptr, FALSE, nullptr)};
  std::thread owner([&] {
    WaitForSingleObject(events[2], 0);
    SetEvent(events[1]);
    WaitForSingleObject(events[0], kBoundedMs);
    ReleaseMutex(events[2]);
  });
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(events[1], kBoundedMs));
  ResetEvent(events[1]);
  // Time-outs never end early and are not grossly late (ten times over, for a busy machine).
  auto start = steady_clock::now();
  EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(3, events, FALSE, 120));
  auto elapsed = steady_clock::now() - start;
  EXPECT_GE(elapsed, milliseconds(120));
  EXPECT_LT(elapsed, milliseconds(1200));
  start = steady_clock::now();
  Sleep(30);
  EXPECT_GE(steady_clock::now() - start, milliseconds(30));
  SetEvent(events[0]);
  owner.join();
  for (HANDLE e : events) CloseHandle(e);
}

// Wait-all: everything at once, or nothing consumed.

TEST_F(SyncTest, WaitAllTakesEverythingAtOnceOrNothing) {
  HANDLE autoEvent = NewEvent(false, true);
  HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
  HANDLE held = NewEvent(true);
  HANDLE go = NewEvent(true);
  std::thread owner([&] {
    WaitForSingleObject(mutex, kBoundedMs);
    SetEvent(held);
    WaitForSingleObject(go, kBoundedMs);
    ReleaseMutex(mutex);
  });
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(held, kBoundedMs));
  HANDLE both[2] = {autoEvent, mutex};
  EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, both, TRUE, 30));
  // The auto-reset event was not consumed by the wait that did not complete.
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(autoEvent, 0));
  SetEvent(autoEvent);

  SetEvent(go);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, both, TRUE, kBoundedMs));
  owner.join();
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(autoEvent, 0));
  EXPECT_TRUE(ReleaseMutex(mutex));
  for (HANDLE h : {autoEvent, mutex, held, go}) CloseHandle(h);
}

// Mutexes: owner recursion, 288 for non-owners, abandonment hands over ownership once.

TEST_F(SyncTest, MutexIsRecursiveForItsOwnerOnly) {
  HANDLE mutex = CreateMutexW(nullptr, TRUE, nullptr);
  ASSERT_NE(nullptr, mutex);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0));
  DWORD otherWait = 0;
  BOOL otherRelease = TRUE;
  DWORD otherError = 0;
  std::thread([&] {
    otherWait = WaitForSingleObject(mutex, 0);
    otherRelease = ReleaseMutex(mutex);
    otherError = GetLastError();
  }).join();
  EXPECT_EQ(WAIT_TIMEOUT, otherWait);
  EXPECT_FALSE(otherRelease);
  EXPECT_EQ(ERROR_NOT_OWNER, otherError);

  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_FALSE(ReleaseMutex(mutex));
  EXPECT_EQ(ERROR_NOT_OWNER, GetLastError());
  std::thread([&] {
    otherWait = WaitForSingleObject(mutex, 0);
    otherRelease = ReleaseMutex(mutex);
  }).join();
  EXPECT_EQ(WAIT_OBJECT_0, otherWait);
  EXPECT_TRUE(otherRelease);
  CloseHandle(mutex);
}

TEST_F(SyncTest, MutexAbandonedByEndingThreadIsHandedOverOnce) {
  HANDLE stop = NewEvent(true);
  HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
  HANDLE held = NewEvent(true);
  HANDLE go = NewEvent(true);
  // Not a layer thread: abandonment must not depend on CreateThread.
  std::thread owner([&] {
    WaitForSingleObject(mutex, kBoundedMs);
    WaitForSingleObject(mutex, kBoundedMs);  // twice: recursion does not survive the owner
    SetEvent(held);
    WaitForSingleObject(go, kBoundedMs);
  });
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(held, kBoundedMs));
  SetEvent(go);
  HANDLE handles[2] = {stop, mutex};
  EXPECT_EQ(WAIT_ABANDONED_0 + 1, WaitForMultipleObjects(2, handles, FALSE, kBoundedMs));
  owner.join();
  // The waiter owns it, once.
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_FALSE(ReleaseMutex(mutex));
  EXPECT_EQ(ERROR_NOT_OWNER, GetLastError());
  DWORD next = 1;
  std::thread([&] {
    next = WaitForSingleObject(mutex, 0);
    ReleaseMutex(mutex);
  }).join();
  EXPECT_EQ(WAIT_OBJECT_0, next);

  // Abandoned before anyone waits: the first later wait reports it.
  std::thread([&] { WaitForSingleObject(mutex, 0); }).join();
  EXPECT_EQ(WAIT_ABANDONED_0, WaitForSingleObject(mutex, 0));
  EXPECT_TRUE(ReleaseMutex(mutex));
  for (HANDLE h : {stop, mutex, held, go}) CloseHandle(h);
}

// Critical sections are recursive, exclude other threads, and embed by value.

TEST_F(SyncTest, CriticalSectionIsRecursiveAndExcludesOtherThreads) {
  CRITICAL_SECTION cs;
  EXPECT_TRUE(InitializeCriticalSectionAndSpinCount(&cs, 4000));
  EXPECT_EQ(4000u, cs.SpinCount);
  auto otherCanEnter = [&] {
    BOOL entered = FALSE;
    std::thread([&] {
      entered = TryEnterCriticalSection(&cs);
      if (entered) LeaveCriticalSection(&cs);
    }).join();
    return entered;
  };
  EnterCriticalSection(&cs);
  EXPECT_TRUE(TryEnterCriticalSection(&cs));
  EXPECT_FALSE(otherCanEnter());
  LeaveCriticalSection(&cs);
  EXPECT_FALSE(otherCanEnter());
  LeaveCriticalSection(&cs);
  EXPECT_TRUE(otherCanEnter());

  long total = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        EnterCriticalSection(&cs);
        EnterCriticalSection(&cs);
        ++total;
        LeaveCriticalSection(&cs);
        LeaveCriticalSection(&cs);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(80000, total);
  DeleteCriticalSection(&cs);
}

// Interlocked operations are atomic, and the pointer forms keep all 64 bits.

TEST_F(SyncTest, InterlockedOperationsAreAtomicAndPointerSized) {
  volatile LONG counter = 0;
  PVOID volatile state = nullptr;
  std::vector<int> owners(4);
  std::atomic<int> winners{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50000; ++i) InterlockedIncrement(&counter);
      for (int i = 0; i < 10000; ++i) InterlockedDecrement(&counter);
      if (InterlockedCompareExchangePointer(&state, &owners[t], nullptr) == nullptr) ++winners;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(160000, counter);
  EXPECT_EQ(1, winners.load());

  // A heap address above 4 GiB survives the exchange intact.
  auto high = reinterpret_cast<PVOID>(uintptr_t{0x00007ffd12345678});
  PVOID previous = InterlockedExchangePointer(&state, high);
  EXPECT_NE(nullptr, previous);
  EXPECT_EQ(high, InterlockedCompareExchangePointer(&state, nullptr, high));
  EXPECT_EQ(nullptr, state);

  volatile LONG value = 5;
  EXPECT_EQ(5, InterlockedCompareExchange(&value, 9, 4));
  EXPECT_EQ(5, value);
  EXPECT_EQ(5, InterlockedCompareExchange(&value, 9, 5));
  EXPECT_EQ(9, InterlockedExchangeAdd(&value, -10));
  EXPECT_EQ(-1, InterlockedExchange(&value, 3));
  EXPECT_EQ(3, value);
}

// The hook message-queue waits use: input counts as index `count`, after the objects.

struct FakeQueue {
  std::mutex lock;
  bool posted = false;
};

bool FakeQueueReady(void* context) {
  auto* queue = static_cast<FakeQueue*>(context);
  std::lock_guard<std::mutex> lock(queue->lock);
  return queue->posted;
}

TEST_F(SyncTest, ExtraReadyHookWakesOnDoorbellAfterObjects) {
  FakeQueue queue;
  EXPECT_EQ(WAIT_TIMEOUT, detail::WaitObjects(0, nullptr, FALSE, 20, FakeQueueReady, &queue));

  detail::Doorbell* pBell = detail::CurrentDoorbell();
  std::thread poster([&] {
    {
      std::lock_guard<std::mutex> lock(queue.lock);
      queue.posted = true;
    }
    detail::RingDoorbell(pBell);
  });
  HANDLE event = NewEvent(true);
  EXPECT_EQ(WAIT_OBJECT_0 + 1,
            detail::WaitObjects(1, &event, FALSE, kBoundedMs, FakeQueueReady, &queue));
  poster.join();
  SetEvent(event);
  EXPECT_EQ(WAIT_OBJECT_0, detail::WaitObjects(1, &event, FALSE, 0, FakeQueueReady, &queue));
  CloseHandle(event);
}

}  // namespace
