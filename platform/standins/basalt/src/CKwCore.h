#pragma once
// The platform core object. One runs at a time (CBasaltState); CreateObjectFromDllFile hands out
// references to it.
// Threading: any thread.

#include <atomic>

#include "Basalt/KwInterfaces.h"
#include "CKwUnknown.h"

class CKwCore final : public CKwUnknown<IKwCore, IID_IKwCore> {
 public:
  CKwCore() = default;

  // IKwCore:
  win32::HRESULT STDMETHODCALLTYPE CreateObject(win32::REFCLSID clsid, win32::REFIID riid,
                                                void** ppObject) override;
  win32::HRESULT STDMETHODCALLTYPE GetName(win32::BSTR* pName) override;
  win32::HRESULT STDMETHODCALLTYPE GetLayoutFolder(win32::BSTR* pFolder) override;
  win32::HRESULT STDMETHODCALLTYPE GetResourceFolder(win32::BSTR* pFolder) override;
  win32::HRESULT STDMETHODCALLTYPE Shutdown() override;

 private:
  std::atomic<bool> m_shutDown{false};
};
