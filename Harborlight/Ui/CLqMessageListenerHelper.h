#pragma once
// A window class's registry of window-message handlers: member functions of T registered for
// (element, message id) pairs, reached through one message sink; the element list and the
// destroy sink are CLqListenerRegistry's. A handler's result is the message's answer; a message
// without handler answers 0.
// Threading: UI thread only.

#include <map>
#include <utility>

#include "CComSinkPtr.h"
#include "CLqListenerRegistry.h"
#include "CLqMessageListener.h"
#include "Lq/LqInterfaces.h"

template <class T>
class CLqMessageListenerHelper
    : public CLqListenerRegistry<CLqMessageListenerHelper<T>, ILqMessageSource,
                                 IID_ILqMessageSource> {
 public:
  // Gets the message id's address, wParam, lParam and the handled flag.
  using Handler = win32::HRESULT (T::*)(win32::UINT* pMessage, win32::WPARAM wParam,
                                        win32::LPARAM lParam, win32::BOOL* pHandled);
  // Gets the element as well.
  using GenericHandler = win32::HRESULT (T::*)(ILqElement* pElement, win32::UINT* pMessage,
                                               win32::WPARAM wParam, win32::LPARAM lParam,
                                               win32::BOOL* pHandled);

  explicit CLqMessageListenerHelper(T* pOwner) : m_messageSink(this), m_pOwner(pOwner) {
    m_messageSink->SetCallback(&CLqMessageListenerHelper::Dispatch);
  }

  virtual win32::HRESULT Dispatch(ILqElement* pElement, win32::UINT* pMessage,
                                  win32::WPARAM wParam, win32::LPARAM lParam,
                                  win32::BOOL* pHandled, win32::LRESULT* pResult) {
    if (!pMessage) return 0;
    Key key{pElement, *pMessage};
    win32::HRESULT answer = 0;
    if (auto it = m_specificMap.find(key); it != m_specificMap.end()) {
      Handler handler = it->second;
      answer = (m_pOwner->*handler)(pMessage, wParam, lParam, pHandled);
    } else if (auto generic = m_genericMap.find(key); generic != m_genericMap.end()) {
      GenericHandler handler = generic->second;
      answer = (m_pOwner->*handler)(pElement, pMessage, wParam, lParam, pHandled);
    }
    if (pResult) *pResult = answer;
    return answer;
  }

  virtual ~CLqMessageListenerHelper() { RemoveAll(); }

  bool AddListener(ILqElement* pElement, win32::UINT message, Handler handler) {
    if (!Register(pElement)) return false;
    m_specificMap[Key{pElement, message}] = handler;
    return true;
  }
  bool AddGenericListener(ILqElement* pElement, win32::UINT message, GenericHandler handler) {
    if (!Register(pElement)) return false;
    m_genericMap[Key{pElement, message}] = handler;
    return true;
  }

  void RemoveAll() {
    this->UnhookAll();
    m_specificMap.clear();
    m_genericMap.clear();
  }

  // CLqListenerRegistry:
  ILqMessageListener* ListenerSink() {
    return m_messageSink.template GetInterface<ILqMessageListener>();
  }
  void ForgetElement(ILqElement* pElement) {
    std::erase_if(m_specificMap,
                  [pElement](const auto& entry) { return entry.first.first == pElement; });
    std::erase_if(m_genericMap,
                  [pElement](const auto& entry) { return entry.first.first == pElement; });
  }

 private:
  using Key = std::pair<ILqElement*, win32::UINT>;

  bool Register(ILqElement* pElement) {
    return this->Hook(pElement,
                      [this](ILqMessageSource* pSource) { return pSource->AddListener(ListenerSink()); });
  }

  CComSinkPtr<CLqMessageListener<CLqMessageListenerHelper>> m_messageSink;
  std::map<Key, Handler> m_specificMap;
  std::map<Key, GenericHandler> m_genericMap;
  T* const m_pOwner;
};
