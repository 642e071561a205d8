#pragma once
// A window class's registry of UI-framework event handlers: member functions of T registered for
// (element, event id) pairs, reached through one event sink, with a destroy sink that forgets an
// element when it dies. Handlers are keyed by the pair itself: an address cut to 32 bits would
// let two elements whose addresses share their low half trade each other's clicks.
//
// The element list holds no references: the destroy sink takes an element off the list before
// the framework frees it, and RemoveAll (also run by the destructor) takes the sinks off every
// element still listed.
// Threading: UI thread only.

#include <algorithm>
#include <map>
#include <utility>
#include <vector>

#include "Basalt/KwDiag.h"
#include "CComSinkPtr.h"
#include "CLqElementDestroyListener.h"
#include "CLqEventListener.h"
#include "Lq/LqInterfaces.h"

template <class T>
class CLqEventListenerHelper {
 public:
  // Gets the event object.
  using Handler = win32::HRESULT (T::*)(ILqEvent* pEvent);
  // Gets the event id, the element and the event object.
  using GenericHandler = win32::HRESULT (T::*)(win32::UINT eventId, ILqElement* pElement,
                                               ILqEvent* pEvent);

  explicit CLqEventListenerHelper(T* pOwner)
      : m_eventSink(this), m_destroySink(this), m_pOwner(pOwner) {
    m_eventSink->SetCallback(&CLqEventListenerHelper::Dispatch);
    m_destroySink->SetCallback(&CLqEventListenerHelper::OnElementDestroy);
  }
  CLqEventListenerHelper(const CLqEventListenerHelper&) = delete;
  CLqEventListenerHelper& operator=(const CLqEventListenerHelper&) = delete;

  // The event sink's call-back: the pair's handler, else its generic one, else nothing.
  virtual win32::HRESULT Dispatch(win32::UINT eventId, ILqElement* pElement, ILqEvent* pEvent) {
    Key key{pElement, eventId};
    if (auto it = m_elementEventMap.find(key); it != m_elementEventMap.end()) {
      Handler handler = it->second;
      (m_pOwner->*handler)(pEvent);
    } else if (auto generic = m_genericMap.find(key); generic != m_genericMap.end()) {
      GenericHandler handler = generic->second;
      (m_pOwner->*handler)(eventId, pElement, pEvent);
    }
    return 0;
  }

  virtual ~CLqEventListenerHelper() { RemoveAll(); }

  // Registers `handler` for the pair; a later registration of the same pair replaces the
  // earlier one. A failure raises "!\"监听事件失败\"" and changes nothing.
  bool AddListener(ILqElement* pElement, win32::UINT eventId, Handler handler) {
    if (!Register(pElement, eventId)) return false;
    m_elementEventMap[Key{pElement, eventId}] = handler;
    return true;
  }
  bool AddGenericListener(ILqElement* pElement, win32::UINT eventId, GenericHandler handler) {
    if (!Register(pElement, eventId)) return false;
    m_genericMap[Key{pElement, eventId}] = handler;
    return true;
  }

  // Takes both sinks off every listed element and forgets every registration.
  void RemoveAll() {
    std::vector<ILqElement*> elements;
    elements.swap(m_elements);
    for (ILqElement* pElement : elements) Unhook(pElement);
    m_elementEventMap.clear();
    m_genericMap.clear();
  }

 private:
  using Key = std::pair<ILqElement*, win32::UINT>;

  bool Register(ILqElement* pElement, win32::UINT eventId) {
    ILqEventSource* pSource = nullptr;
    if (pElement) {
      pElement->QueryInterface(IID_ILqEventSource, reinterpret_cast<void**>(&pSource));
    }
    bool added = pSource && win32::SUCCEEDED(pSource->AddListener(
                                eventId, m_eventSink.template GetInterface<ILqEventListener>()));
    if (pSource) pSource->Release();
    if (!added) {
      KwAssert("!\"监听事件失败\"", "UtilMsgEvt", 292);
      return false;
    }
    pElement->AddDestroyListener(m_destroySink.template GetInterface<ILqElementDestroyListener>());
    if (std::find(m_elements.begin(), m_elements.end(), pElement) == m_elements.end()) {
      m_elements.push_back(pElement);
    }
    return true;
  }

  // The destroy sink's call-back.
  win32::HRESULT OnElementDestroy(ILqElement* pElement) {
    auto it = std::find(m_elements.begin(), m_elements.end(), pElement);
    if (it != m_elements.end()) m_elements.erase(it);
    Unhook(pElement);
    std::erase_if(m_elementEventMap, [pElement](const auto& entry) {
      return entry.first.first == pElement;
    });
    std::erase_if(m_genericMap,
                  [pElement](const auto& entry) { return entry.first.first == pElement; });
    return 0;
  }

  void Unhook(ILqElement* pElement) {
    pElement->RemoveDestroyListener(
        m_destroySink.template GetInterface<ILqElementDestroyListener>());
    ILqEventSource* pSource = nullptr;
    if (win32::SUCCEEDED(pElement->QueryInterface(IID_ILqEventSource,
                                           reinterpret_cast<void**>(&pSource)))) {
      pSource->RemoveListener(m_eventSink.template GetInterface<ILqEventListener>());
      pSource->Release();
    }
  }

  CComSinkPtr<CLqEventListener<CLqEventListenerHelper>> m_eventSink;
  CComSinkPtr<CLqElementDestroyListener<CLqEventListenerHelper>> m_destroySink;
  std::map<Key, Handler> m_elementEventMap;
  std::map<Key, GenericHandler> m_genericMap;
  T* const m_pOwner;
  std::vector<ILqElement*> m_elements;  // each once, not held
};
