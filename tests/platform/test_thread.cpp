#include "win32/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "handles.h"
#include "win32/sync.h"

using namespace win32;

namespace {

constexpr DWORD kBoundedMs = 5000;

class ThreadTest : public ::testing::Test {
 protected:
  void SetUp() override { m_openHandles = detail::OpenHandleCountForTesting(); }
  void TearDown() override { EXPECT_EQ(m_openHandles, detail::OpenHandleCountForTesting()); }

 private:
  size_t m_openHandles = 0;
};

struct Probe {
  std::atomic<bool> ran{false};
  std::atomic<DWORD> seenId{0};
  HANDLE go = nullptr;
  HANDLE done = nullptr;
  HANDLE mutex = nullptr;
  std::atomic<int> priorityInside{0};
};

DWORD RecordIdRoutine(LPVOID parameter) {
  auto* probe = static_cast<Probe*>(parameter);
  probe->seenId = GetCurrentThreadId();
  probe->ran = true;
  return 42;
}

// Creation and exit: the id is known before the routine runs; the handle signals at exit.

TEST_F(ThreadTest, SuspendedThreadHasIdBeforeItRunsAndSignalsAtExit) {
  Probe probe;
  DWORD tid = 0;
  HANDLE thread = CreateThread(nullptr, 0, RecordIdRoutine, &probe, CREATE_SUSPENDED, &tid);
  ASSERT_NE(nullptr, thread);
  EXPECT_NE(0u, tid);
  EXPECT_NE(GetCurrentThreadId(), tid);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread, 20));
  EXPECT_FALSE(probe.ran.load());
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(STILL_ACTIVE, code);

  EXPECT_EQ(1u, ResumeThread(thread));
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, kBoundedMs));
  EXPECT_TRUE(probe.ran.load());
  EXPECT_EQ(tid, probe.seenId.load());
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(42u, code);
  // Ended is ended: the handle stays signalled for every later wait.
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0));
  EXPECT_EQ(0u, ResumeThread(thread));
  EXPECT_TRUE(CloseHandle(thread));
}

DWORD WaitForGoRoutine(LPVOID parameter) {
  auto* probe = static_cast<Probe*>(parameter);
  DWORD r = WaitForSingleObject(probe->go, kBoundedMs);
  SetEvent(probe->done);
  return r;
}

TEST_F(ThreadTest, ClosingHandleOfRunningThreadOnlyDropsTheHandle) {
  Probe probe;
  probe.go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  probe.done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreateThread(nullptr, 0, WaitForGoRoutine, &probe, 0, nullptr);
  ASSERT_NE(nullptr, thread);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread, 10));
  EXPECT_TRUE(CloseHandle(thread));
  SetEvent(probe.go);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(probe.done, kBoundedMs));

  // The closed handle is stale for every call.
  EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(thread, 0));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  DWORD code = 0;
  EXPECT_FALSE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  EXPECT_EQ(static_cast<DWORD>(-1), ResumeThread(thread));
  EXPECT_FALSE(SetThreadPriority(thread, THREAD_PRIORITY_NORMAL));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
  CloseHandle(probe.go);
  CloseHandle(probe.done);
}

DWORD TakeMutexAndEndRoutine(LPVOID parameter) {
  auto* probe = static_cast<Probe*>(parameter);
  return WaitForSingleObject(probe->mutex, kBoundedMs);
}

TEST_F(ThreadTest, MutexOwnedAtExitIsAbandonedBeforeTheHandleSignals) {
  Probe probe;
  probe.mutex = CreateMutexW(nullptr, FALSE, nullptr);
  HANDLE thread = CreateThread(nullptr, 0, TakeMutexAndEndRoutine, &probe, 0, nullptr);
  ASSERT_NE(nullptr, thread);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, kBoundedMs));
  DWORD code = 1;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(WAIT_OBJECT_0, code);
  EXPECT_EQ(WAIT_ABANDONED_0, WaitForSingleObject(probe.mutex, 0));
  EXPECT_TRUE(ReleaseMutex(probe.mutex));
  CloseHandle(thread);
  CloseHandle(probe.mutex);
}

DWORD CountRoutine(LPVOID parameter) {
  ++*static_cast<std::atomic<int>*>(parameter);
  return 0;
}

TEST_F(ThreadTest, WaitAllSeesManyThreadsEnd) {
  std::atomic<int> count{0};
  std::vector<HANDLE> threads;
  for (int i = 0; i < 32; ++i) {
    threads.push_back(CreateThread(nullptr, 256 * 1024, CountRoutine, &count, 0, nullptr));
    ASSERT_NE(nullptr, threads.back());
  }
  EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(32, threads.data(), TRUE, kBoundedMs));
  EXPECT_EQ(32, count.load());
  for (HANDLE t : threads) CloseHandle(t);
}

// Priority: validated, remembered, applied where the system lets us.

DWORD RaiseOwnPriorityRoutine(LPVOID parameter) {
  auto* probe = static_cast<Probe*>(parameter);
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
  probe->priorityInside = GetThreadPriority(GetCurrentThread());
  return 0;
}

TEST_F(ThreadTest, PriorityIsValidatedAndRemembered) {
  Probe probe;
  HANDLE thread =
      CreateThread(nullptr, 0, RaiseOwnPriorityRoutine, &probe, CREATE_SUSPENDED, nullptr);
  ASSERT_NE(nullptr, thread);
  EXPECT_EQ(THREAD_PRIORITY_NORMAL, GetThreadPriority(thread));
  EXPECT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_ABOVE_NORMAL));
  EXPECT_EQ(THREAD_PRIORITY_ABOVE_NORMAL, GetThreadPriority(thread));
  EXPECT_FALSE(SetThreadPriority(thread, 7));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  ResumeThread(thread);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, kBoundedMs));
  EXPECT_EQ(THREAD_PRIORITY_HIGHEST, probe.priorityInside.load());
  EXPECT_EQ(THREAD_PRIORITY_HIGHEST, GetThreadPriority(thread));
  CloseHandle(thread);

  // The pseudo-handle works on a thread the layer did not start.
  EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL));
  EXPECT_EQ(THREAD_PRIORITY_ABOVE_NORMAL, GetThreadPriority(GetCurrentThread()));
  EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL));
  EXPECT_EQ(THREAD_PRIORITY_ERROR_RETURN, GetThreadPriority(nullptr));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
}

}  // namespace
