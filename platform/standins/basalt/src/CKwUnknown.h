#pragma once
// The IUnknown half every object of the stand-in shares: one interface besides IUnknown, a count
// starting at 1 for the creator, and deletion at the last Release.

#include <atomic>

#include "win32/com.h"

template <class TInterface, const win32::IID& kInterfaceId>
class CKwUnknown : public TInterface {
 public:
  CKwUnknown() = default;
  CKwUnknown(const CKwUnknown&) = delete;
  CKwUnknown& operator=(const CKwUnknown&) = delete;

  // IUnknown:
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID riid, void** ppObject) override {
    if (!ppObject) return win32::E_POINTER;
    if (riid != win32::IID_IUnknown && riid != kInterfaceId) {
      *ppObject = nullptr;
      return win32::E_NOINTERFACE;
    }
    *ppObject = static_cast<TInterface*>(this);
    AddRef();
    return win32::S_OK;
  }
  win32::ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refCount; }
  win32::ULONG STDMETHODCALLTYPE Release() override {
    win32::ULONG count = --m_refCount;
    if (count == 0) delete this;
    return count;
  }

 protected:
  virtual ~CKwUnknown() = default;

 private:
  std::atomic<win32::ULONG> m_refCount{1};
};
