#include "CBrowserEvent.h"

#include <string>

#include "CBrowserWnd.h"
#include "win32/webbrowser.h"

using namespace win32;

namespace {

// The address argument: a string, directly or by reference.
bool AddressOf(const VARIANT& argument, std::u16string* pAddress) {
  const VARIANT* pValue = &argument;
  if (argument.vt == (VT_BYREF | VT_VARIANT)) pValue = argument.pvarVal;
  if (!pValue || pValue->vt != VT_BSTR || !pValue->bstrVal) return false;
  *pAddress = pValue->bstrVal;
  return true;
}

}  // namespace

HRESULT CBrowserEvent::QueryInterface(REFIID riid, void** ppObject) {
  if (!ppObject) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IDispatch) {
    *ppObject = static_cast<IDispatch*>(this);
    return S_OK;
  }
  *ppObject = nullptr;
  return E_NOINTERFACE;
}

HRESULT CBrowserEvent::GetTypeInfoCount(UINT* pCount) {
  if (pCount) *pCount = 0;
  return S_OK;
}

HRESULT CBrowserEvent::GetTypeInfo(UINT, LCID, ITypeInfo**) { return DISP_E_BADINDEX; }

HRESULT CBrowserEvent::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }

HRESULT CBrowserEvent::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* pParams, VARIANT*,
                              EXCEPINFO*, UINT*) {
  switch (id) {
    case DISPID_NAVIGATECOMPLETE2: {
      std::u16string address;
      if (pParams && pParams->rgvarg && pParams->cArgs >= 1 &&
          AddressOf(pParams->rgvarg[0], &address)) {
        m_pOwner->OnNavigateComplete(address);
      }
      return S_OK;
    }
    case DISPID_WINDOWCLOSING:
      m_pOwner->OnWindowClosing();
      return S_OK;
    default:  // DISPID_BEFORENAVIGATE2 and the rest
      return S_OK;
  }
}
