#pragma once
// A unit of work posted to a message loop.
// Ownership: posting hands the task to the framework, which deletes it right after it runs, when
//   its loop is destroyed with the task still queued, or at once when the post fails. The poster
//   never touches it again.

#include <type_traits>
#include <utility>

#include "AsyncFrame/Location.h"
#include "win32/base.h"

namespace AsyncFrame {

class Task {
 public:
  // Notes the creation time (GetTickCount).
  Task();
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  virtual ~Task() = default;
  virtual void Run() = 0;

  win32::DWORD CreationTime() const { return m_creationTime; }
  const Location& GetLocation() const { return m_location; }
  // The posting location replaces the default when the task is posted.
  void SetLocation(const Location& location) { m_location = location; }

 private:
  win32::DWORD m_creationTime;
  Location m_location;
};

// A task whose work can be called off before it runs.
class CancelableTask : public Task {
 public:
  virtual void Cancel() = 0;
};

// Runs a callable; for the program's own posts.
template <class TFunction>
class FunctionTask final : public Task {
 public:
  explicit FunctionTask(TFunction function) : m_function(std::move(function)) {}
  void Run() override { m_function(); }

 private:
  TFunction m_function;
};

// A new task (owned by whoever posts it) that calls `function`.
template <class TFunction>
Task* NewTask(TFunction&& function) {
  return new FunctionTask<std::decay_t<TFunction>>(std::forward<TFunction>(function));
}

}  // namespace AsyncFrame
