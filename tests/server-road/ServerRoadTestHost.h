#pragma once
// Starts and stops the library's parts the way the root object does (I/O thread, name
// resolver, connect thread, settings and device store, phone command manager, upload thread,
// server session, local server) in a fresh sandbox root per test, with a headless UI thread
// that owns the session's hidden window and a logic sink that records what it is handed.

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

namespace server_road_test {

// What the settings file holds before the store opens.
struct Seed {
  struct Device {
    int64_t id = 0;
    std::string key;  // 16 characters
    std::u16string name;
  };
  int64_t pcId = 0;  // 0: not registered yet
  std::string idKey = "5e55104e1d4b3a21";
  std::vector<Device> devices;
};

struct UiRecord {
  int type = -1;
  int value = 0;
  int64_t id = 0;
  std::string payload;
  win32::DWORD threadId = 0;
};

// A logic sink owned by the test; it counts references but never frees itself.
class RecordingSink : public IOrbalynLogicSink {
 public:
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID riid, void** ppObject) override;
  win32::ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  win32::ULONG STDMETHODCALLTYPE Release() override { return --m_refs; }
  win32::HRESULT STDMETHODCALLTYPE OnLogicMessage(IOrbalynMessage* pMessage) override;

  std::vector<UiRecord> Records();
  // Values of the messages of one type (and one id, unless id is -1), in delivery order.
  std::vector<int> Values(int type, int64_t id = -1);
  bool WaitFor(const std::function<bool(const std::vector<UiRecord>&)>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Waits for a message {type, value} (of that id, unless id is -1).
  bool WaitMessage(int type, int value, int64_t id = -1,
                   std::chrono::milliseconds timeout = std::chrono::seconds(20));
  void Clear();
  win32::ULONG References() const { return m_refs.load(); }

 private:
  std::atomic<win32::ULONG> m_refs{0};
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<UiRecord> m_records;
};

// A thread running the layer's message loop, as the host's UI thread does.
class UiThread {
 public:
  UiThread();
  UiThread(const UiThread&) = delete;
  UiThread& operator=(const UiThread&) = delete;
  ~UiThread();

  // Runs `task` on the UI thread and waits for it; false when it did not run in time.
  bool Run(const std::function<void()>& task);
  win32::DWORD ThreadId() const { return m_threadId; }

 private:
  std::thread m_thread;
  win32::DWORD m_threadId = 0;
};

class ServerRoadHost {
 public:
  ServerRoadHost() = default;
  ServerRoadHost(const ServerRoadHost&) = delete;
  ServerRoadHost& operator=(const ServerRoadHost&) = delete;
  ~ServerRoadHost() { Stop(); }

  // A new sandbox root, the seed written into its settings file, every part started and the
  // sink advised on the UI thread. False when a step failed.
  bool Start(const Seed& seed, IOrbalynLogicSink* pSink);
  // Reverse order; the sandbox root is removed.
  void Stop();

  UiThread& Ui() { return m_ui; }
  uint16_t LocalPort() const { return m_localPort; }
  const std::string& Root() const { return m_root; }

 private:
  UiThread m_ui;
  IOrbalynLogicSink* m_pSink = nullptr;
  bool m_started = false;
  uint16_t m_localPort = 0;
  std::string m_root;
};

// One value of the settings file ("" when absent).
std::string Setting(const char16_t* pSection, const char16_t* pKey);
// The library log written so far in this process.
std::string LogText();
// Returns once the I/O thread has handled everything queued before the call.
bool DrainIoThread();
// Polls `done` until it holds or the time is up.
bool Eventually(const std::function<bool()>& done,
                std::chrono::milliseconds timeout = std::chrono::seconds(20));
// A device's remote state, -1 when the store does not have it.
int RemoteStateOf(int64_t id);
bool HasDevice(int64_t id);

}  // namespace server_road_test
