#pragma once
// A window class's registry of UI-framework event handlers: member functions of T registered for
// (element, event id) pairs, reached through one event sink; the element list and the destroy
// sink are CLqListenerRegistry's. Handlers are keyed by the pair itself: an address cut to 32
// bits would let two elements whose addresses share their low half trade each other's clicks.
// RemoveAll (also run by the destructor) takes the sinks off every element still listed.
// Threading: UI thread only.

#include <map>
#include <utility>

#include "CComSinkPtr.h"
#include "CLqEventListener.h"
#include "CLqListenerRegistry.h"
#include "Lq/LqInterfaces.h"

template <class T>
class CLqEventListenerHelper
    : public CLqListenerRegistry<CLqEventListenerHelper<T>, ILqEventSource, IID_ILqEventSource> {
 public:
  // Gets the event object.
  using Handler = win32::HRESULT (T::*)(ILqEvent* pEvent);
  // Gets the event id, the element and the event object.
  using GenericHandler = win32::HRESULT (T::*)(win32::UINT eventId, ILqElement* pElement,
                                               ILqEvent* pEvent);

  explicit CLqEventListenerHelper(T* pOwner) : m_eventSink(this), m_pOwner(pOwner) {
    m_eventSink->SetCallback(&CLqEventListenerHelper::Dispatch);
  }

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
    this->UnhookAll();
    m_elementEventMap.clear();
    m_genericMap.clear();
  }

  // CLqListenerRegistry:
  ILqEventListener* ListenerSink() {
    return m_eventSink.template GetInterface<ILqEventListener>();
  }
  void ForgetElement(ILqElement* pElement) {
    std::erase_if(m_elementEventMap,
                  [pElement](const auto& entry) { return entry.first.first == pElement; });
    std::erase_if(m_genericMap,
                  [pElement](const auto& entry) { return entry.first.first == pElement; });
  }

 private:
  using Key = std::pair<ILqElement*, win32::UINT>;

  bool Register(ILqElement* pElement, win32::UINT eventId) {
    return this->Hook(pElement, [this, eventId](ILqEventSource* pSource) {
      return pSource->AddListener(eventId, ListenerSink());
    });
  }

  CComSinkPtr<CLqEventListener<CLqEventListenerHelper>> m_eventSink;
  std::map<Key, Handler> m_elementEventMap;
  std::map<Key, GenericHandler> m_genericMap;
  T* const m_pOwner;
};
