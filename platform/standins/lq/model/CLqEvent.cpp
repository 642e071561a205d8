#include "CLqEvent.h"

#include <new>

#include "LqThread.h"

using namespace win32;

namespace lq {

CLqEvent* CLqEvent::Create(UINT eventId, ILqElement* pElement, INT_PTR argument) {
  return new (std::nothrow) CLqEvent(eventId, pElement, argument);
}

CLqEvent::CLqEvent(UINT eventId, ILqElement* pElement, INT_PTR argument)
    : m_eventId(eventId), m_pElement(pElement), m_argument(argument) {
  if (m_pElement) m_pElement->AddRef();
}

CLqEvent::~CLqEvent() {
  if (m_pElement) m_pElement->Release();
}

int CLqEvent::IntProperty(const char16_t* pName) const {
  const Property* pProperty = Find(pName);
  return pProperty && !pProperty->isString ? pProperty->number : 0;
}

HRESULT CLqEvent::QueryInterface(REFIID riid, void** ppObject) {
  if (!ppObject) return E_POINTER;
  if (riid != IID_IUnknown && riid != IID_ILqEvent) {
    *ppObject = nullptr;
    return E_NOINTERFACE;
  }
  *ppObject = static_cast<ILqEvent*>(this);
  AddRef();
  return S_OK;
}

ULONG CLqEvent::AddRef() { return ++m_refCount; }

ULONG CLqEvent::Release() {
  ULONG count = --m_refCount;
  if (count == 0) delete this;
  return count;
}

HRESULT CLqEvent::GetEventId(UINT* pEventId) {
  LQ_UI_THREAD_ONLY();
  if (!pEventId) return E_POINTER;
  *pEventId = m_eventId;
  return S_OK;
}

HRESULT CLqEvent::GetElement(ILqElement** ppElement) {
  LQ_UI_THREAD_ONLY();
  if (!ppElement) return E_POINTER;
  *ppElement = m_pElement;
  if (!m_pElement) return S_FALSE;
  m_pElement->AddRef();
  return S_OK;
}

HRESULT CLqEvent::GetArgument(INT_PTR* pValue) {
  LQ_UI_THREAD_ONLY();
  if (!pValue) return E_POINTER;
  *pValue = m_argument;
  return S_OK;
}

HRESULT CLqEvent::GetString(const WCHAR* pName, BSTR* pValue) {
  LQ_UI_THREAD_ONLY();
  if (!pName || !pValue) return E_POINTER;
  const Property* pProperty = Find(pName);
  if (!pProperty || !pProperty->isString) {
    *pValue = nullptr;
    return S_FALSE;
  }
  *pValue = SysAllocStringLen(pProperty->text.data(), static_cast<UINT>(pProperty->text.size()));
  return *pValue ? S_OK : E_OUTOFMEMORY;
}

HRESULT CLqEvent::SetString(const WCHAR* pName, const WCHAR* pValue) {
  LQ_UI_THREAD_ONLY();
  if (!pName) return E_POINTER;
  Property& property = Make(pName);
  property.isString = true;
  property.text = pValue ? pValue : u"";
  return S_OK;
}

HRESULT CLqEvent::GetInt(const WCHAR* pName, INT* pValue) {
  LQ_UI_THREAD_ONLY();
  if (!pName || !pValue) return E_POINTER;
  const Property* pProperty = Find(pName);
  *pValue = pProperty && !pProperty->isString ? pProperty->number : 0;
  return pProperty && !pProperty->isString ? S_OK : S_FALSE;
}

HRESULT CLqEvent::SetInt(const WCHAR* pName, INT value) {
  LQ_UI_THREAD_ONLY();
  if (!pName) return E_POINTER;
  Property& property = Make(pName);
  property.isString = false;
  property.number = value;
  return S_OK;
}

CLqEvent::Property* CLqEvent::Find(const char16_t* pName) {
  for (Property& property : m_properties) {
    if (property.name == pName) return &property;
  }
  return nullptr;
}

const CLqEvent::Property* CLqEvent::Find(const char16_t* pName) const {
  return const_cast<CLqEvent*>(this)->Find(pName);
}

CLqEvent::Property& CLqEvent::Make(const char16_t* pName) {
  if (Property* pProperty = Find(pName)) return *pProperty;
  m_properties.push_back(Property{pName, false, {}, 0});
  return m_properties.back();
}

}  // namespace lq
