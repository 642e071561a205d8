#pragma once
// What both listener registries share: the elements that carry registrations (each once, not
// held), a destroy sink that forgets an element when it dies, and taking the registry's sink off
// every element. TDerived (CRTP) supplies its sink as the source's listener (ListenerSink) and
// drops its handlers of a dead element (ForgetElement); TSource is the element's event or message
// source, found under `kSourceIid`.
//
// The element list holds no references: the destroy sink takes an element off the list before
// the framework frees it, and UnhookAll takes both sinks off every element still listed.
// Threading: UI thread only.

#include <algorithm>
#include <vector>

#include "Basalt/KwDiag.h"
#include "CComSinkPtr.h"
#include "CLqElementDestroyListener.h"
#include "Lq/LqInterfaces.h"

template <class TDerived, class TSource, const win32::IID& kSourceIid>
class CLqListenerRegistry {
 public:
  CLqListenerRegistry(const CLqListenerRegistry&) = delete;
  CLqListenerRegistry& operator=(const CLqListenerRegistry&) = delete;

 protected:
  CLqListenerRegistry() : m_destroySink(this) {
    m_destroySink->SetCallback(&CLqListenerRegistry::OnElementDestroy);
  }
  ~CLqListenerRegistry() = default;

  // Registers the sink on the element's source with `add(source)` and gives the element the
  // destroy sink. A failure raises "!\"监听事件失败\"" and changes nothing.
  template <class TAdd>
  bool Hook(ILqElement* pElement, TAdd&& add) {
    TSource* pSource = nullptr;
    if (pElement) pElement->QueryInterface(kSourceIid, reinterpret_cast<void**>(&pSource));
    bool added = pSource && win32::SUCCEEDED(add(pSource));
    if (pSource) pSource->Release();
    if (!added) {
      KwAssert("!\"监听事件失败\"", "UtilMsgEvt", 292);
      return false;
    }
    pElement->AddDestroyListener(DestroySink());
    if (std::find(m_elements.begin(), m_elements.end(), pElement) == m_elements.end()) {
      m_elements.push_back(pElement);
    }
    return true;
  }

  // Takes both sinks off every listed element and forgets the list.
  void UnhookAll() {
    std::vector<ILqElement*> elements;
    elements.swap(m_elements);
    for (ILqElement* pElement : elements) Unhook(pElement);
  }

 private:
  ILqElementDestroyListener* DestroySink() {
    return m_destroySink.template GetInterface<ILqElementDestroyListener>();
  }

  // The destroy sink's call-back.
  win32::HRESULT OnElementDestroy(ILqElement* pElement) {
    auto it = std::find(m_elements.begin(), m_elements.end(), pElement);
    if (it != m_elements.end()) m_elements.erase(it);
    Unhook(pElement);
    static_cast<TDerived*>(this)->ForgetElement(pElement);
    return 0;
  }

  void Unhook(ILqElement* pElement) {
    pElement->RemoveDestroyListener(DestroySink());
    TSource* pSource = nullptr;
    if (win32::SUCCEEDED(pElement->QueryInterface(kSourceIid, reinterpret_cast<void**>(&pSource)))) {
      pSource->RemoveListener(static_cast<TDerived*>(this)->ListenerSink());
      pSource->Release();
    }
  }

  CComSinkPtr<CLqElementDestroyListener<CLqListenerRegistry>> m_destroySink;
  std::vector<ILqElement*> m_elements;  // each once, not held
};
