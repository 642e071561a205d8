#pragma once
// Deletes an object on the thread that runs the task.

#include "AsyncFrame/Task.h"

namespace AsyncFrame {

template <class T>
class DeleteTask final : public CancelableTask {
 public:
  explicit DeleteTask(const T* pObject) : m_pObject(pObject) {}
  // A task dropped unrun (its loop was destroyed) still deletes the object: the loop's thread
  // destroys its pending tasks, so this is the thread the object was meant to die on.
  ~DeleteTask() override { delete m_pObject; }

  void Run() override {
    delete m_pObject;
    m_pObject = nullptr;
  }
  void Cancel() override { m_pObject = nullptr; }

 private:
  const T* m_pObject;
};

}  // namespace AsyncFrame
