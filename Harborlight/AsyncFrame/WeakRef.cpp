#include "AsyncFrame/WeakRef.h"

namespace AsyncFrame {

void WeakFlag::Release() {
  if (win32::InterlockedDecrement(&m_refCount) == 0) delete this;
}

bool WeakFlag::IsValid() const { return win32::InterlockedCompareExchange(&m_valid, 1, 1) != 0; }

WeakFlag* WeakFlagOwner::GetRef() {
  if (m_pFlag && !m_pFlag->IsValid()) Invalidate();
  if (!m_pFlag) m_pFlag = new WeakFlag;
  m_pFlag->AddRef();
  return m_pFlag;
}

void WeakFlagOwner::Invalidate() {
  if (!m_pFlag) return;
  m_pFlag->Invalidate();
  m_pFlag->Release();
  m_pFlag = nullptr;
}

}  // namespace AsyncFrame
