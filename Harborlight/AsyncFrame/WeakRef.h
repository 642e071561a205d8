#pragma once
// Weak references for tasks bound to objects that may die first (the user interface's pages):
// the target owns a WeakFlagOwner; each WeakRef holds a reference to its shared flag, which the
// owner clears when the target goes.
// Threading: flags are counted with interlocked operations and may be released on any thread;
//   a WeakRef is tested and its target used only on the target's thread.

#include <utility>

#include "win32/sync.h"

namespace AsyncFrame {

class WeakFlag {
 public:
  WeakFlag() = default;
  WeakFlag(const WeakFlag&) = delete;
  WeakFlag& operator=(const WeakFlag&) = delete;

  void AddRef() { win32::InterlockedIncrement(&m_refCount); }
  // Deletes the flag with its last reference.
  void Release();
  bool IsValid() const;
  void Invalidate() { win32::InterlockedExchange(&m_valid, 0); }

 private:
  ~WeakFlag() = default;

  volatile win32::LONG m_refCount = 1;  // the creator's
  mutable volatile win32::LONG m_valid = 1;
};

class WeakFlagOwner {
 public:
  WeakFlagOwner() = default;
  WeakFlagOwner(const WeakFlagOwner&) = delete;
  WeakFlagOwner& operator=(const WeakFlagOwner&) = delete;
  ~WeakFlagOwner() { Invalidate(); }

  // The current flag with a reference for the caller; a new valid one when there is none yet or
  // the last was invalidated.
  WeakFlag* GetRef();
  // Every reference handed out so far becomes invalid.
  void Invalidate();
  bool HasRefs() const { return m_pFlag != nullptr; }

 private:
  WeakFlag* m_pFlag = nullptr;  // the owner's reference
};

template <class T>
class WeakRef {
 public:
  WeakRef() = default;
  // Takes over the caller's flag reference.
  WeakRef(WeakFlag* pFlag, T* pTarget) : m_pFlag(pFlag), m_pTarget(pTarget) {}
  WeakRef(const WeakRef& other) : m_pFlag(other.m_pFlag), m_pTarget(other.m_pTarget) {
    if (m_pFlag) m_pFlag->AddRef();
  }
  WeakRef& operator=(const WeakRef& other) {
    WeakRef copy(other);
    std::swap(m_pFlag, copy.m_pFlag);
    std::swap(m_pTarget, copy.m_pTarget);
    return *this;
  }
  ~WeakRef() {
    if (m_pFlag) m_pFlag->Release();
  }

  bool IsValid() const { return m_pFlag && m_pFlag->IsValid(); }
  // The target while it lives, else null.
  T* Get() const { return IsValid() ? m_pTarget : nullptr; }

 private:
  WeakFlag* m_pFlag = nullptr;
  T* m_pTarget = nullptr;
};

// What a target holds to hand out references to itself.
template <class T>
class WeakRefFactory {
 public:
  explicit WeakRefFactory(T* pTarget) : m_pTarget(pTarget) {}
  WeakRef<T> GetWeakRef() { return WeakRef<T>(m_owner.GetRef(), m_pTarget); }
  void InvalidateWeakRefs() { m_owner.Invalidate(); }

 private:
  WeakFlagOwner m_owner;
  T* const m_pTarget;
};

}  // namespace AsyncFrame
