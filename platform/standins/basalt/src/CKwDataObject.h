#pragma once
// The key/value set behind Util::Data::CreateKwData: each name holds a string or a buffer.
// Threading: any thread; m_lock guards the values.

#include <map>
#include <mutex>
#include <string>

#include "Basalt/KwInterfaces.h"
#include "CKwUnknown.h"

class CKwDataObject final : public CKwUnknown<IKwData, IID_IKwData> {
 public:
  CKwDataObject() = default;

  // IKwData:
  win32::HRESULT STDMETHODCALLTYPE SetString(const win32::WCHAR* pName,
                                             const win32::WCHAR* pValue) override;
  win32::HRESULT STDMETHODCALLTYPE GetString(const win32::WCHAR* pName,
                                             win32::BSTR* pValue) override;
  win32::HRESULT STDMETHODCALLTYPE SetBuffer(const win32::WCHAR* pName,
                                             IKwBuffer* pBuffer) override;
  win32::HRESULT STDMETHODCALLTYPE GetBuffer(const win32::WCHAR* pName,
                                             IKwBuffer** ppBuffer) override;

 private:
  struct Value {
    bool isString = false;
    std::u16string text;
    IKwBuffer* pBuffer = nullptr;  // one reference
  };

  ~CKwDataObject() override;
  // Replaces what `name` holds; returns the buffer to release once the lock is gone.
  IKwBuffer* StoreLocked(const std::u16string& name, Value value);

  std::mutex m_lock;
  std::map<std::u16string, Value> m_values;
};
