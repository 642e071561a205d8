#pragma once
// The thread registry: well-known id (0 to 3) to the thread object that claimed it.
// Threading: any thread, under the registry lock (a critical section, spin count 2000), which
//   also guards the proxy table of the thread tables.

#include "win32/sync.h"

namespace AsyncFrame {

class CTSThread;

class CThreadRegistry {
 public:
  static constexpr int kSlotCount = 4;
  static constexpr win32::DWORD kLockSpinCount = 2000;

  CThreadRegistry() = delete;

  // The lock lives until the process ends: thread objects may unregister from exit handlers.
  static win32::CRITICAL_SECTION& Lock();
  // A taken slot, or an id outside 0 to 3, leaves the registry unchanged; false then.
  static bool Register(int id, CTSThread* pThread);
  // Only when the slot holds `pThread`: a thread that lost the race for its id never removes
  // the one that won.
  static void Unregister(int id, const CTSThread* pThread);
  static CTSThread* Find(int id);
};

}  // namespace AsyncFrame
