#include "CKwCore.h"

#include <string>

#include "Basalt/Util.h"
#include "CBasaltState.h"
#include "win32/module_name.h"

using namespace win32;

namespace {

HRESULT HandOut(const std::u16string& text, BSTR* pOut) {
  if (!pOut) return E_POINTER;
  *pOut = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *pOut ? S_OK : E_OUTOFMEMORY;
}

}  // namespace

HRESULT CKwCore::CreateObject(REFCLSID clsid, REFIID riid, void** ppObject) {
  if (!ppObject) return E_POINTER;
  *ppObject = nullptr;
  if (m_shutDown) return E_UNEXPECTED;
  Util::Core::ObjectClassFactory factory = CBasaltState::Get().FindClass(clsid);
  if (!factory) return REGDB_E_CLASSNOTREG;
  HRESULT hr = factory(riid, ppObject);
  if (FAILED(hr)) *ppObject = nullptr;
  return hr;
}

HRESULT CKwCore::GetName(BSTR* pName) {
  WCHAR path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::u16string name(path, length < MAX_PATH ? length : 0);
  name.erase(0, name.rfind(u'\\') + 1);
  size_t dot = name.rfind(u'.');
  if (dot != std::u16string::npos && dot > 0) name.erase(dot);
  return HandOut(name, pName);
}

HRESULT CKwCore::GetLayoutFolder(BSTR* pFolder) {
  return HandOut(CBasaltState::Get().LayoutFolder(), pFolder);
}

HRESULT CKwCore::GetResourceFolder(BSTR* pFolder) {
  return HandOut(CBasaltState::Get().ResourceFolder(), pFolder);
}

HRESULT CKwCore::Shutdown() {
  CBasaltState::Get().Record("Shutdown");
  m_shutDown = true;
  CBasaltState::Get().ForgetRunningCore(this);
  return S_OK;
}
