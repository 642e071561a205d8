#include "AsyncFrame/ThreadRegistry.h"

using namespace win32;

namespace AsyncFrame {
namespace {

CTSThread* g_registry[CThreadRegistry::kSlotCount] = {};  // guarded by the registry lock

bool IsSlot(int id) { return id >= 0 && id < CThreadRegistry::kSlotCount; }

}  // namespace

CRITICAL_SECTION& CThreadRegistry::Lock() {
  static CRITICAL_SECTION* pLock = [] {
    auto* pSection = new CRITICAL_SECTION;
    InitializeCriticalSectionAndSpinCount(pSection, kLockSpinCount);
    return pSection;
  }();
  return *pLock;
}

bool CThreadRegistry::Register(int id, CTSThread* pThread) {
  if (!IsSlot(id)) return false;
  EnterCriticalSection(&Lock());
  bool free = g_registry[id] == nullptr;
  if (free) g_registry[id] = pThread;
  LeaveCriticalSection(&Lock());
  return free;
}

void CThreadRegistry::Unregister(int id, const CTSThread* pThread) {
  if (!IsSlot(id)) return;
  EnterCriticalSection(&Lock());
  if (g_registry[id] == pThread) g_registry[id] = nullptr;
  LeaveCriticalSection(&Lock());
}

CTSThread* CThreadRegistry::Find(int id) {
  if (!IsSlot(id)) return nullptr;
  EnterCriticalSection(&Lock());
  CTSThread* pThread = g_registry[id];
  LeaveCriticalSection(&Lock());
  return pThread;
}

}  // namespace AsyncFrame
