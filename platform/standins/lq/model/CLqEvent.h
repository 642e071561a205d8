#pragma once
// The event object handed to event listeners: the event id, the element that raised it (held),
// the first argument and a small bag of named properties.
// Threading: UI thread only.

#include <atomic>
#include <string>
#include <vector>

#include "Lq/LqInterfaces.h"

namespace lq {

class CLqEvent final : public ILqEvent {
 public:
  // One reference for the caller.
  static CLqEvent* Create(win32::UINT eventId, ILqElement* pElement, win32::INT_PTR argument);

  CLqEvent(const CLqEvent&) = delete;
  CLqEvent& operator=(const CLqEvent&) = delete;

  // What handlers left behind, for the framework.
  int IntProperty(const char16_t* pName) const;

  // IUnknown:
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID riid, void** ppObject) override;
  win32::ULONG STDMETHODCALLTYPE AddRef() override;
  win32::ULONG STDMETHODCALLTYPE Release() override;
  // ILqEvent:
  win32::HRESULT STDMETHODCALLTYPE GetEventId(win32::UINT* pEventId) override;
  win32::HRESULT STDMETHODCALLTYPE GetElement(ILqElement** ppElement) override;
  win32::HRESULT STDMETHODCALLTYPE GetArgument(win32::INT_PTR* pValue) override;
  win32::HRESULT STDMETHODCALLTYPE GetString(const win32::WCHAR* pName,
                                             win32::BSTR* pValue) override;
  win32::HRESULT STDMETHODCALLTYPE SetString(const win32::WCHAR* pName,
                                             const win32::WCHAR* pValue) override;
  win32::HRESULT STDMETHODCALLTYPE GetInt(const win32::WCHAR* pName, win32::INT* pValue) override;
  win32::HRESULT STDMETHODCALLTYPE SetInt(const win32::WCHAR* pName, win32::INT value) override;

 private:
  struct Property {
    std::u16string name;
    bool isString = false;
    std::u16string text;
    int number = 0;
  };

  CLqEvent(win32::UINT eventId, ILqElement* pElement, win32::INT_PTR argument);
  ~CLqEvent();

  Property* Find(const char16_t* pName);
  const Property* Find(const char16_t* pName) const;
  Property& Make(const char16_t* pName);

  std::atomic<win32::ULONG> m_refCount{1};
  const win32::UINT m_eventId;
  ILqElement* const m_pElement;  // one reference
  const win32::INT_PTR m_argument;
  std::vector<Property> m_properties;
};

}  // namespace lq
