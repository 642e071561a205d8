#include "CKwPluginCore.h"

using namespace win32;

HRESULT CKwPluginCore::GetName(BSTR* pName) {
  if (!pName) return E_POINTER;
  *pName = SysAllocStringLen(m_name.data(), static_cast<UINT>(m_name.size()));
  return *pName ? S_OK : E_OUTOFMEMORY;
}
