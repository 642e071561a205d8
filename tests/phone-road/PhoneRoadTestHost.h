#pragma once
// Starts and stops the parts a phone talks to, the way the root object does: the I/O thread,
// the connect thread, the settings and device store, the phone command manager and the local
// server, in the library's start order, and stops them in reverse. The store is seeded through
// its settings file under the sandbox root (LUMIDOCK_ROOT), so its own Load runs.
//
// Also here: a headless UI thread running the layer's message loop with the logic's hidden
// window on it, and a logic sink that records what it is handed.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../common/EngineTestSupport.h"
#include "../common/RecordingSink.h"
#include "../common/UiLoopThread.h"
#include "Interface/IOrbalyn.h"
#include "win32/base.h"

namespace phone_road_test {

// What the settings file holds before the store opens.
struct PhoneRoadSeed : test_common::SettingsSeed {
  PhoneRoadSeed() { idKey = "0123456789abcdef"; }
};

class PhoneRoadTestHost {
 public:
  PhoneRoadTestHost() = default;
  PhoneRoadTestHost(const PhoneRoadTestHost&) = delete;
  PhoneRoadTestHost& operator=(const PhoneRoadTestHost&) = delete;
  ~PhoneRoadTestHost() { Stop(); }

  // Writes the seed, starts every part, makes the bind key and waits (bounded) until the local
  // server listens. False when a step failed; Stop undoes what was started.
  bool Start(const PhoneRoadSeed& seed);
  // Reverse order: local server, phone command manager, store (saved, then emptied), connect
  // thread, I/O thread. The phone connections stay open, as they do in the library.
  void Stop();

  uint16_t Port() const { return m_port; }
  const std::string& BindKey() const { return m_bindKey; }
  bool Started() const { return m_started; }

  // The settings file of the sandbox root, as a POSIX path.
  static std::string SettingsPath();

 private:
  bool m_started = false;
  uint16_t m_port = 0;
  std::string m_bindKey;
};

// Waits, with a bound, for a condition that other threads make true under Signal.
class Waiter {
 public:
  void Signal(const std::function<void()>& change = [] {}) {
    std::lock_guard<std::mutex> lock(m_mutex);
    change();
    m_changed.notify_all();
  }
  bool WaitFor(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, done);
  }
  std::mutex& Mutex() { return m_mutex; }

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
};

using UiRecord = test_common::SinkRecord;
using test_common::RecordingSink;

// The host's UI thread, with the logic's hidden window made on it and `pSink` registered.
class HeadlessUiThread : private test_common::UiLoopThread {
 public:
  explicit HeadlessUiThread(IOrbalynLogicSink* pSink);
  // Stops the logic's window on this thread and forgets the sink; the loop ends after.
  ~HeadlessUiThread();

  using UiLoopThread::ThreadId;
  bool WindowReady() const { return m_windowReady; }

 private:
  bool m_windowReady = false;
};

using test_common::LogText;

}  // namespace phone_road_test
