#pragma once
// Shared by the engine tests: a sandbox root for the whole binary (the library log lands in it),
// log readers and a bounded waiter.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "../common/TestFiles.h"
#include "Common/ObjectLifecycleMgr.h"
#include "NetEngine/DllLog.h"
#include "NetEngine/IOHandler.h"
#include "NetEngine/IOOperation.h"
#include "NetEngine/NetHelpers.h"
#include "win32/thread.h"
#include "win32/time.h"

namespace netengine_test {

using test_files::PosixFromWindows;
using test_files::ReadWholeFile;
using test_files::WindowsFromPosix;

// The text of the library log written so far in this process.
inline std::string LogText() { return ReadWholeFile(PosixFromWindows(DllLogPathForTesting())); }

inline std::string PointerText(const void* p) {
  char text[32];
  snprintf(text, sizeof(text), "%p", p);
  return text;
}

// Every test process gets its own LUMIDOCK_ROOT, and the library log goes there as if the
// library lived in it, so no run writes beside the test binary.
class SandboxEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    // A death test's child runs in its parent's sandbox, which the parent removes.
    if (const char* pInherited = getenv(kInheritedVariable)) {
      m_root = pInherited;
    } else {
      std::string pattern = (std::filesystem::temp_directory_path() / "netengine-XXXXXX").string();
      if (mkdtemp(pattern.data())) m_root = pattern;
      m_owner = true;
      setenv(kInheritedVariable, m_root.c_str(), 1);
    }
    setenv("LUMIDOCK_ROOT", m_root.c_str(), 1);
    SetDllLogModulePathForTesting(WindowsFromPosix(m_root + "/netengine_tests"));
  }
  void TearDown() override {
    if (!m_owner) return;
    std::error_code ignored;
    std::filesystem::remove_all(m_root, ignored);
  }
  const std::string& Root() const { return m_root; }

 private:
  static constexpr const char* kInheritedVariable = "NETENGINE_TEST_SANDBOX";
  std::string m_root;
  bool m_owner = false;
};

inline SandboxEnvironment* const g_pSandbox =
    static_cast<SandboxEnvironment*>(::testing::AddGlobalTestEnvironment(new SandboxEnvironment));

// Waits, with a bound, for a condition that other threads make true under Signal.
class Waiter {
 public:
  // Runs `change` under the lock and wakes the waiters.
  // Notifies under the lock: a waiter that wakes may destroy the waiter at once.
  void Signal(const std::function<void()>& change = [] {}) {
    std::lock_guard<std::mutex> lock(m_mutex);
    change();
    m_cv.notify_all();
  }
  bool WaitFor(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, timeout, done);
  }
  std::mutex& Mutex() { return m_mutex; }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
};

// A handler that records what the I/O thread hands it. Optional hooks run inside the callback,
// before the record is made.
class RecordingHandler : public CIOHandler {
 public:
  struct Completion {
    uint32_t code;
    uint32_t error;
    uint32_t bytes;
    int32_t refCount;
    win32::DWORD threadId;
  };
  struct Timer {
    unsigned int timerId;
    win32::DWORD threadId;
    win32::DWORD tick;
  };

  // Stops the callbacks before the members they touch go away.
  ~RecordingHandler() override {
    CObjectLifecycleMgr::Instance()->Unregister(static_cast<CIOHandler*>(this));
  }

  void OnIoComplete(CIOOperation* pOp) override {
    if (onIoComplete) onIoComplete(pOp);
    Completion record{pOp->Code(), pOp->Error(), pOp->BytesTransferred(), pOp->RefCountForTesting(),
                      win32::GetCurrentThreadId()};
    m_waiter.Signal([&] { m_completions.push_back(record); });
  }
  void OnTimer(unsigned int timerId) override {
    if (onTimer) onTimer(timerId);
    Timer record{timerId, win32::GetCurrentThreadId(), win32::GetTickCount()};
    m_waiter.Signal([&] { m_timers.push_back(record); });
  }

  bool WaitCompletions(size_t count) {
    return m_waiter.WaitFor([&] { return m_completions.size() >= count; });
  }
  bool WaitTimers(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return m_waiter.WaitFor([&] { return m_timers.size() >= count; }, timeout);
  }
  std::vector<Completion> Completions() {
    std::lock_guard<std::mutex> lock(m_waiter.Mutex());
    return m_completions;
  }
  std::vector<Timer> Timers() {
    std::lock_guard<std::mutex> lock(m_waiter.Mutex());
    return m_timers;
  }

  std::function<void(CIOOperation*)> onIoComplete;
  std::function<void(unsigned int)> onTimer;

 private:
  Waiter m_waiter;
  std::vector<Completion> m_completions;
  std::vector<Timer> m_timers;
};

// Returns once the I/O thread has handled (and released) everything queued before the call:
// the port is first-in first-out and the loop handles one packet at a time.
inline bool DrainIoThread() {
  RecordingHandler barrier;
  CIOOperation* pOp = CIOOperation::Create(&barrier, 0xBA, 0);
  if (!pOp || !CIOOperation::Post(pOp)) return false;
  CIOOperation::Release(pOp);
  return barrier.WaitCompletions(1);
}

}  // namespace netengine_test
