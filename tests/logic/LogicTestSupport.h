#pragma once
// Shared by the logic tests: a fresh sandbox root per test, path and file helpers, a headless
// UI thread with a message loop, a logic sink that records what it is handed, and a pump for
// the test's own thread.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../common/RecordingSink.h"
#include "../common/SandboxTest.h"
#include "../common/TestFiles.h"
#include "../common/UiLoopThread.h"
#include "Interface/IOrbalyn.h"
#include "NetEngine/NetHelpers.h"
#include "win32/thread.h"
#include "win32/window.h"

namespace logic_test {

using test_files::PosixFromWindows;
using test_files::ReadWholeFile;
using test_files::WindowsFromPosix;
using test_files::WriteWholeFile;

// Every test gets its own LUMIDOCK_ROOT, removed afterwards.
class SandboxTest : public test_common::SandboxTest {
 protected:
  SandboxTest() : test_common::SandboxTest("logic-test") {}

  std::string SettingsPath() const { return Root() + "/appdata/Corvane/Orbalyn/Orbalyn.dat"; }
};

using test_common::RecordingSink;
using test_common::SinkRecord;

// A plain thread running the layer's message loop, as the host's UI thread does.
class HeadlessUiThread : public test_common::UiLoopThread {
 public:
  // Runs `task` on the UI thread between two messages and waits for it.
  void Run(const std::function<void()>& task) {
    ASSERT_TRUE(UiLoopThread::Run(task, std::chrono::seconds(20)));
  }
};

// Dispatches the calling thread's messages until `done` holds or the time is up.
inline bool PumpUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  win32::MSG msg;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (win32::PeekMessageW(&msg, nullptr, 0, 0, win32::PM_REMOVE)) {
      win32::DispatchMessageW(&msg);
    } else {
      win32::MsgWaitForMultipleObjects(0, nullptr, win32::FALSE, 10, win32::QS_ALLINPUT);
    }
  }
  return true;
}

}  // namespace logic_test
