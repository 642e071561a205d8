#pragma once
// Tasks that record what happens to them, and bounded waits, for the loop and thread tests.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "AsyncFrame/Task.h"
#include "win32/thread.h"

namespace asyncframe_test {

// An ordered, thread-safe record of events ("A", "M", "B", ...).
class CEventLog {
 public:
  void Add(const std::string& event) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_events.push_back(event);
    m_changed.notify_all();
  }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_events;
  }
  // Whether `count` events were seen within the time.
  [[nodiscard]] bool WaitForCount(size_t count,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, timeout, [&] { return m_events.size() >= count; });
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::vector<std::string> m_events;
};

// Records "<name>" when it runs (with the running thread's id) and "~<name>" when deleted, so a
// test tells tasks that ran from tasks deleted unrun.
class CRecordingTask final : public AsyncFrame::Task {
 public:
  CRecordingTask(CEventLog* pLog, std::string name, std::function<void()> action = nullptr)
      : m_pLog(pLog), m_name(std::move(name)), m_action(std::move(action)) {}
  ~CRecordingTask() override { m_pLog->Add("~" + m_name); }
  void Run() override {
    m_ranOn = win32::GetCurrentThreadId();
    s_lastRunThread = m_ranOn;
    m_pLog->Add(m_name);
    if (m_action) m_action();
  }

  static inline std::atomic<win32::DWORD> s_lastRunThread{0};

 private:
  CEventLog* m_pLog;
  std::string m_name;
  std::function<void()> m_action;
  win32::DWORD m_ranOn = 0;
};

inline AsyncFrame::Task* Record(CEventLog* pLog, std::string name,
                                std::function<void()> action = nullptr) {
  return new CRecordingTask(pLog, std::move(name), std::move(action));
}

// The events without the deletions.
inline std::vector<std::string> Runs(const std::vector<std::string>& events) {
  std::vector<std::string> runs;
  for (const std::string& event : events) {
    if (event.empty() || event[0] != '~') runs.push_back(event);
  }
  return runs;
}

inline size_t CountOf(const std::vector<std::string>& events, const std::string& event) {
  size_t count = 0;
  for (const std::string& e : events) count += e == event;
  return count;
}

}  // namespace asyncframe_test
