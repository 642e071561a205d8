#pragma once
// The byte buffer behind Util::Data::CreateKwBuffer. It either holds its own copy (SetData) or
// owns a malloc block it was handed (Attach), which it frees exactly once.
// Threading: one thread at a time (the UI thread).

#include <vector>

#include "Basalt/KwInterfaces.h"
#include "CKwUnknown.h"

class CKwBufferObject final : public CKwUnknown<IKwBuffer, IID_IKwBuffer> {
 public:
  CKwBufferObject() = default;

  // IKwBuffer:
  win32::HRESULT STDMETHODCALLTYPE SetData(const win32::BYTE* pData, win32::DWORD size) override;
  win32::HRESULT STDMETHODCALLTYPE Attach(win32::BYTE* pMallocBlock, win32::DWORD size) override;
  win32::HRESULT STDMETHODCALLTYPE GetData(const win32::BYTE** ppData) override;
  win32::HRESULT STDMETHODCALLTYPE GetSize(win32::DWORD* pSize) override;

 private:
  ~CKwBufferObject() override;
  void FreeAttached();

  std::vector<win32::BYTE> m_copy;
  win32::BYTE* m_pAttached = nullptr;  // owned, from malloc
  win32::DWORD m_attachedSize = 0;
};
