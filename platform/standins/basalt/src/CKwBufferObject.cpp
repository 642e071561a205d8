#include "CKwBufferObject.h"

#include <cstdlib>

using namespace win32;

CKwBufferObject::~CKwBufferObject() { FreeAttached(); }

HRESULT CKwBufferObject::SetData(const BYTE* pData, DWORD size) {
  if (!pData && size > 0) return E_POINTER;
  FreeAttached();
  m_copy.assign(pData, pData + size);
  return S_OK;
}

HRESULT CKwBufferObject::Attach(BYTE* pMallocBlock, DWORD size) {
  if (!pMallocBlock && size > 0) return E_POINTER;
  // Attaching the block already held must not free it.
  if (pMallocBlock != m_pAttached) FreeAttached();
  m_copy.clear();
  m_pAttached = pMallocBlock;
  m_attachedSize = size;
  return S_OK;
}

HRESULT CKwBufferObject::GetData(const BYTE** ppData) {
  if (!ppData) return E_POINTER;
  *ppData = m_pAttached ? m_pAttached : m_copy.data();
  return S_OK;
}

HRESULT CKwBufferObject::GetSize(DWORD* pSize) {
  if (!pSize) return E_POINTER;
  *pSize = m_pAttached ? m_attachedSize : static_cast<DWORD>(m_copy.size());
  return S_OK;
}

void CKwBufferObject::FreeAttached() {
  std::free(m_pAttached);
  m_pAttached = nullptr;
  m_attachedSize = 0;
}
