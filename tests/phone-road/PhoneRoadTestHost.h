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

#include "Interface/IOrbalyn.h"
#include "win32/base.h"

namespace phone_road_test {

// What the settings file holds before the store opens.
struct PhoneRoadSeed {
  struct Device {
    int64_t id = 0;
    std::string key;  // 16 characters, or the store skips the device
    std::u16string name;
  };
  int64_t pcId = 0;  // 0 leaves the PC unregistered
  std::string idKey = "0123456789abcdef";
  std::vector<Device> devices;  // bound phones (state 4 once loaded)
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

struct UiRecord {
  int type = -1;
  int value = 0;
  int64_t id = 0;
  win32::DWORD threadId = 0;
};

// A logic sink owned by the test; it counts references but never frees itself.
class RecordingSink : public IOrbalynLogicSink {
 public:
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID riid, void** ppObject) override;
  win32::ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  win32::ULONG STDMETHODCALLTYPE Release() override { return --m_refs; }
  win32::HRESULT STDMETHODCALLTYPE OnLogicMessage(IOrbalynMessage* pMessage) override;

  // The records of one type, in delivery order.
  std::vector<UiRecord> OfType(int type);
  bool WaitFor(const std::function<bool(const std::vector<UiRecord>&)>& done);

 private:
  std::atomic<win32::ULONG> m_refs{0};
  Waiter m_waiter;
  std::vector<UiRecord> m_records;
};

// A plain thread running GetMessageW, as the host's UI thread does, with the logic's hidden
// window made on it and `pSink` registered.
class HeadlessUiThread {
 public:
  explicit HeadlessUiThread(IOrbalynLogicSink* pSink);
  HeadlessUiThread(const HeadlessUiThread&) = delete;
  HeadlessUiThread& operator=(const HeadlessUiThread&) = delete;
  // Stops the logic's window on this thread, forgets the sink and ends the loop.
  ~HeadlessUiThread();

  win32::DWORD ThreadId() const { return m_threadId; }
  bool WindowReady() const { return m_windowReady; }

 private:
  // Runs `task` on the UI thread and waits for it.
  bool Run(const std::function<void()>& task);

  std::thread m_thread;
  win32::DWORD m_threadId = 0;
  bool m_windowReady = false;
};

// The text of the library log written so far in this process.
std::string LogText();

}  // namespace phone_road_test
