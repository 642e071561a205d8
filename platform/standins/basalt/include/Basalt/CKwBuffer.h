#pragma once
// Holds one reference to an IKwBuffer (or none): what Util::FS::GetFileHash fills in.

#include "Basalt/KwInterfaces.h"

class CKwBuffer {
 public:
  CKwBuffer() = default;
  CKwBuffer(const CKwBuffer&) = delete;
  CKwBuffer& operator=(const CKwBuffer&) = delete;
  ~CKwBuffer() { Reset(nullptr); }

  // Takes over the caller's reference.
  void Reset(IKwBuffer* pBuffer) {
    if (m_pBuffer) m_pBuffer->Release();
    m_pBuffer = pBuffer;
  }
  IKwBuffer* Get() const { return m_pBuffer; }

 private:
  IKwBuffer* m_pBuffer = nullptr;
};
