#pragma once
// Thread-safe reference counting for framework objects. The count starts at 0: the creator takes
// the first reference. When it reaches 0, the traits decide where and when the object dies.

#include "win32/sync.h"

namespace AsyncFrame {

class CTSRefCountedThreadSafeBase {
 public:
  CTSRefCountedThreadSafeBase(const CTSRefCountedThreadSafeBase&) = delete;
  CTSRefCountedThreadSafeBase& operator=(const CTSRefCountedThreadSafeBase&) = delete;

 protected:
  CTSRefCountedThreadSafeBase() = default;
  ~CTSRefCountedThreadSafeBase() = default;

  void AddRefBase() const { win32::InterlockedIncrement(&m_refCount); }
  // True when this dropped the last reference.
  bool ReleaseBase() const { return win32::InterlockedDecrement(&m_refCount) == 0; }

 private:
  mutable volatile win32::LONG m_refCount = 0;
};

template <class T, class Traits>
class CTSRefCountedThreadSafe : public CTSRefCountedThreadSafeBase {
 public:
  void AddRef() const { AddRefBase(); }
  void Release() const {
    if (ReleaseBase()) Traits::Destruct(static_cast<const T*>(this));
  }

 protected:
  CTSRefCountedThreadSafe() = default;
  ~CTSRefCountedThreadSafe() = default;
};

}  // namespace AsyncFrame
