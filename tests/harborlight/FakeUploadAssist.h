#pragma once
// An upload assistant that only exists to be registered (the uploaders under test never call it).

#include "Orbalyn/Interface/IOrbalyn.h"

namespace harborlight_test {

class CFakeUploadAssist final : public IOrbalynUploadAssist {
 public:
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID, void**) override {
    return win32::E_NOINTERFACE;
  }
  win32::ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  win32::ULONG STDMETHODCALLTYPE Release() override { return 1; }
  win32::HRESULT STDMETHODCALLTYPE QuerySavePath(IOrbalynMessage*, win32::BSTR*) override {
    return win32::E_NOTIMPL;
  }
  win32::HRESULT STDMETHODCALLTYPE OnUploadEnd(int, win32::BSTR, win32::HRESULT) override {
    return win32::E_NOTIMPL;
  }
};

}  // namespace harborlight_test
