#pragma once
// The browser's event sink (DWebBrowserEvents2): a committed navigation and a page closing its
// window go to the popup; everything else is ignored. It lives inside CBrowserWnd, so its
// reference counting does nothing.
// Threading: the GUI thread (the browser raises events there).

#include "win32/oleauto.h"

class CBrowserWnd;

class CBrowserEvent final : public win32::IDispatch {
 public:
  explicit CBrowserEvent(CBrowserWnd* pOwner) : m_pOwner(pOwner) {}
  CBrowserEvent(const CBrowserEvent&) = delete;
  CBrowserEvent& operator=(const CBrowserEvent&) = delete;

  // IUnknown:
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID riid, void** ppObject) override;
  win32::ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  win32::ULONG STDMETHODCALLTYPE Release() override { return 1; }
  // IDispatch:
  win32::HRESULT STDMETHODCALLTYPE GetTypeInfoCount(win32::UINT* pCount) override;
  win32::HRESULT STDMETHODCALLTYPE GetTypeInfo(win32::UINT index, win32::LCID lcid,
                                               win32::ITypeInfo** ppInfo) override;
  win32::HRESULT STDMETHODCALLTYPE GetIDsOfNames(win32::REFIID riid, win32::LPOLESTR* pNames,
                                                 win32::UINT count, win32::LCID lcid,
                                                 win32::DISPID* pIds) override;
  win32::HRESULT STDMETHODCALLTYPE Invoke(win32::DISPID id, win32::REFIID riid, win32::LCID lcid,
                                          win32::WORD flags, win32::DISPPARAMS* pParams,
                                          win32::VARIANT* pResult, win32::EXCEPINFO* pException,
                                          win32::UINT* pArgumentError) override;

 private:
  CBrowserWnd* const m_pOwner;
};
