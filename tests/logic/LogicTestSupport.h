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

#include "../common/TestFiles.h"
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
class SandboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_root = test_files::MakeTempFolder("logic-test");
    ASSERT_FALSE(m_root.empty());
    setenv("LUMIDOCK_ROOT", m_root.c_str(), 1);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(m_root, ignored);
  }

  const std::string& Root() const { return m_root; }
  std::string SettingsPath() const { return m_root + "/appdata/Corvane/Orbalyn/Orbalyn.dat"; }

 private:
  std::string m_root;
};

struct SinkRecord {
  int type = -1;
  int64_t id = 0;
  int value = 0;
  int param1 = 0;
  int param2 = 0;
  std::string payload;
  win32::DWORD threadId = 0;
};

// A logic sink owned by the test: counts references but never frees itself.
class RecordingSink : public IOrbalynLogicSink {
 public:
  using Hook = std::function<void(IOrbalynMessage*)>;

  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID riid, void** ppObject) override {
    if (riid != win32::IID_IUnknown && riid != IID_IOrbalynLogicSink) return win32::E_NOINTERFACE;
    AddRef();
    *ppObject = static_cast<IOrbalynLogicSink*>(this);
    return win32::S_OK;
  }
  win32::ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  win32::ULONG STDMETHODCALLTYPE Release() override { return --m_refs; }

  win32::HRESULT STDMETHODCALLTYPE OnLogicMessage(IOrbalynMessage* pMessage) override {
    SinkRecord record;
    pMessage->GetType(&record.type);
    pMessage->GetId(&record.id);
    pMessage->GetValue(&record.value);
    pMessage->GetParam1(&record.param1);
    pMessage->GetParam2(&record.param2);
    const win32::BYTE* pData = nullptr;
    int length = 0;
    pMessage->GetPayload(&pData, &length);
    record.payload.assign(reinterpret_cast<const char*>(pData), static_cast<size_t>(length));
    record.threadId = win32::GetCurrentThreadId();
    if (m_hook) m_hook(pMessage);
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_records.push_back(record);
    }
    m_changed.notify_all();
    return win32::S_OK;
  }

  // Runs inside OnLogicMessage, before the record is kept. Set before delivery starts.
  void SetHook(Hook hook) { m_hook = std::move(hook); }

  bool WaitForCount(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_records.size() >= count; });
  }
  std::vector<SinkRecord> Records() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records;
  }
  win32::ULONG References() const { return m_refs.load(); }

 private:
  std::atomic<win32::ULONG> m_refs{0};
  Hook m_hook;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<SinkRecord> m_records;
};

// A plain thread running the layer's message loop, as the host's UI thread does.
class HeadlessUiThread {
 public:
  HeadlessUiThread() {
    std::promise<win32::DWORD> started;
    std::future<win32::DWORD> threadId = started.get_future();
    m_thread = std::thread([this, &started] {
      win32::MSG msg;
      win32::PeekMessageW(&msg, nullptr, 0, 0, win32::PM_NOREMOVE);  // makes the queue
      started.set_value(win32::GetCurrentThreadId());
      while (win32::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (!msg.hwnd && msg.message == kRunTask) {
          (*reinterpret_cast<std::function<void()>*>(msg.lParam))();
          continue;
        }
        win32::TranslateMessage(&msg);
        win32::DispatchMessageW(&msg);
      }
    });
    m_threadId = threadId.get();
  }
  HeadlessUiThread(const HeadlessUiThread&) = delete;
  HeadlessUiThread& operator=(const HeadlessUiThread&) = delete;
  ~HeadlessUiThread() {
    Run([] { win32::PostQuitMessage(0); });
    m_thread.join();
  }

  // Runs `task` on the UI thread between two messages and waits for it.
  void Run(std::function<void()> task) {
    std::promise<void> done;
    std::function<void()> wrapped = [&] {
      task();
      done.set_value();
    };
    std::future<void> finished = done.get_future();
    ASSERT_TRUE(win32::PostThreadMessageW(m_threadId, kRunTask, 0,
                                          reinterpret_cast<win32::LPARAM>(&wrapped)));
    ASSERT_EQ(finished.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  }

  win32::DWORD ThreadId() const { return m_threadId; }

 private:
  static constexpr win32::UINT kRunTask = win32::WM_APP + 7;

  std::thread m_thread;
  win32::DWORD m_threadId = 0;
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
