#pragma once
// Starts and stops the library's parts the way the root object does (I/O thread, name
// resolver, connect thread, settings and device store, phone command manager, upload thread,
// server session, local server) in a fresh sandbox root per test, with a headless UI thread
// that owns the session's hidden window and a logic sink that records what it is handed.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "../common/EngineTestSupport.h"
#include "../common/RecordingSink.h"
#include "../common/UiLoopThread.h"
#include "Interface/IOrbalyn.h"
#include "win32/base.h"

namespace server_road_test {

// What the settings file holds before the store opens.
struct Seed : test_common::SettingsSeed {
  Seed() { idKey = "5e55104e1d4b3a21"; }
};

using UiRecord = test_common::SinkRecord;
using test_common::RecordingSink;
// A thread running the layer's message loop, as the host's UI thread does.
using UiThread = test_common::UiLoopThread;

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
using test_common::DrainIoThread;
using test_common::LogText;
// Polls `done` until it holds or the time is up.
bool Eventually(const std::function<bool()>& done,
                std::chrono::milliseconds timeout = std::chrono::seconds(20));
// A device's remote state, -1 when the store does not have it.
int RemoteStateOf(int64_t id);
bool HasDevice(int64_t id);

}  // namespace server_road_test
