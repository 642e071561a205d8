#include "CKwDataObject.h"

#include <utility>

using namespace win32;

CKwDataObject::~CKwDataObject() {
  for (auto& [name, value] : m_values) {
    if (value.pBuffer) value.pBuffer->Release();
  }
}

HRESULT CKwDataObject::SetString(const WCHAR* pName, const WCHAR* pValue) {
  if (!pName) return E_POINTER;
  Value value;
  value.isString = true;
  value.text = pValue ? pValue : u"";
  IKwBuffer* pOld;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    pOld = StoreLocked(pName, std::move(value));
  }
  if (pOld) pOld->Release();
  return S_OK;
}

HRESULT CKwDataObject::GetString(const WCHAR* pName, BSTR* pValue) {
  if (!pName || !pValue) return E_POINTER;
  *pValue = nullptr;
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_values.find(pName);
  if (it == m_values.end() || !it->second.isString) return S_FALSE;
  const std::u16string& text = it->second.text;
  *pValue = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *pValue ? S_OK : E_OUTOFMEMORY;
}

HRESULT CKwDataObject::SetBuffer(const WCHAR* pName, IKwBuffer* pBuffer) {
  if (!pName || !pBuffer) return E_POINTER;
  pBuffer->AddRef();
  Value value;
  value.pBuffer = pBuffer;
  IKwBuffer* pOld;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    pOld = StoreLocked(pName, std::move(value));
  }
  if (pOld) pOld->Release();
  return S_OK;
}

HRESULT CKwDataObject::GetBuffer(const WCHAR* pName, IKwBuffer** ppBuffer) {
  if (!pName || !ppBuffer) return E_POINTER;
  std::lock_guard<std::mutex> guard(m_lock);
  auto it = m_values.find(pName);
  *ppBuffer = it == m_values.end() ? nullptr : it->second.pBuffer;
  if (!*ppBuffer) return S_FALSE;
  (*ppBuffer)->AddRef();
  return S_OK;
}

IKwBuffer* CKwDataObject::StoreLocked(const std::u16string& name, Value value) {
  Value& slot = m_values[name];
  IKwBuffer* pOld = std::exchange(slot.pBuffer, nullptr);
  slot = std::move(value);
  return pOld;
}
