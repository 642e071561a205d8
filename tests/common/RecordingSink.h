#pragma once
// A logic sink owned by the test: it keeps every message it is handed, with the thread that
// delivered it, and lets the test wait (bounded) for what it expects. It counts references but
// never frees itself.
//
// Threading: messages arrive on the UI thread; the accessors take the lock and may be called
// from any thread.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Interface/IOrbalyn.h"
#include "win32/base.h"
#include "win32/thread.h"

namespace test_common {

struct SinkRecord {
  int type = -1;
  int64_t id = 0;
  int value = 0;
  int param1 = 0;
  int param2 = 0;
  std::string payload;
  win32::DWORD threadId = 0;
};

class RecordingSink : public IOrbalynLogicSink {
 public:
  using Hook = std::function<void(IOrbalynMessage*)>;
  static constexpr std::chrono::milliseconds kWaitTimeout = std::chrono::seconds(20);

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

  std::vector<SinkRecord> Records() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records;
  }
  // The records of one type, in delivery order.
  std::vector<SinkRecord> OfType(int type) {
    std::vector<SinkRecord> records;
    for (const SinkRecord& record : Records()) {
      if (record.type == type) records.push_back(record);
    }
    return records;
  }
  // Values of the messages of one type (and one id, unless id is -1), in delivery order.
  std::vector<int> Values(int type, int64_t id = -1) {
    std::vector<int> values;
    for (const SinkRecord& record : Records()) {
      if (record.type == type && (id == -1 || record.id == id)) values.push_back(record.value);
    }
    return values;
  }

  bool WaitFor(const std::function<bool(const std::vector<SinkRecord>&)>& done,
               std::chrono::milliseconds timeout = kWaitTimeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return done(m_records); });
  }
  bool WaitForCount(size_t count, std::chrono::milliseconds timeout = kWaitTimeout) {
    return WaitFor([&](const std::vector<SinkRecord>& records) { return records.size() >= count; },
                   timeout);
  }
  // Waits for a message {type, value} (of that id, unless id is -1).
  bool WaitMessage(int type, int value, int64_t id = -1,
                   std::chrono::milliseconds timeout = kWaitTimeout) {
    return WaitFor(
        [&](const std::vector<SinkRecord>& records) {
          for (const SinkRecord& record : records) {
            if (record.type == type && record.value == value && (id == -1 || record.id == id)) {
              return true;
            }
          }
          return false;
        },
        timeout);
  }

  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.clear();
  }
  win32::ULONG References() const { return m_refs.load(); }

 private:
  std::atomic<win32::ULONG> m_refs{0};
  Hook m_hook;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<SinkRecord> m_records;
};

}  // namespace test_common
