#pragma once
// Tasks that record what happens to them, bounded waits, plain windows and thread names, for
// the loop and thread tests.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "AsyncFrame/Task.h"
#include "win32/thread.h"
#include "win32/window.h"

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

// A message-only window of class `pClassName` (registered here) on the calling thread.
inline win32::HWND CreatePlainWindow(const char16_t* pClassName, win32::WNDPROC proc) {
  win32::WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = proc;
  windowClass.lpszClassName = pClassName;
  win32::RegisterClassExW(&windowClass);
  return win32::CreateWindowExW(0, pClassName, u"", 0, 0, 0, 0, 0, win32::HWND_MESSAGE, nullptr,
                                nullptr, nullptr);
}

// The names of a process's threads ("/proc/self/task", "/proc/<pid>/task"), as the kernel keeps
// them (15 bytes).
inline std::set<std::string> ThreadNames(const std::string& taskFolder) {
  std::set<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(taskFolder, error)) {
    std::ifstream comm(entry.path() / "comm");
    std::string name;
    std::getline(comm, name);
    names.insert(name);
  }
  return names;
}

}  // namespace asyncframe_test
