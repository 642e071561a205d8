#pragma once
// A window class's registry of window-message handlers: member functions of T registered for
// (element, message id) pairs, reached through one message sink, with a destroy sink that
// forgets an element when it dies. A handler's result is the message's answer; a message without
// handler answers 0.
// Threading: UI thread only.

#include <algorithm>
#include <map>
#include <utility>
#include <vector>

#include "Basalt/KwDiag.h"
#include "CComSinkPtr.h"
#include "CLqElementDestroyListener.h"
#include "CLqMessageListener.h"
#include "Lq/LqInterfaces.h"

template <class T>
class CLqMessageListenerHelper {
 public:
  // Gets the message id's address, wParam, lParam and the handled flag.
  using Handler = win32::HRESULT (T::*)(win32::UINT* pMessage, win32::WPARAM wParam,
                                        win32::LPARAM lParam, win32::BOOL* pHandled);
  // Gets the element as well.
  using GenericHandler = win32::HRESULT (T::*)(ILqElement* pElement, win32::UINT* pMessage,
                                               win32::WPARAM wParam, win32::LPARAM lParam,
                                               win32::BOOL* pHandled);

  explicit CLqMessageListenerHelper(T* pOwner)
      : m_messageSink(this), m_destroySink(this), m_pOwner(pOwner) {
    m_messageSink->SetCallback(&CLqMessageListenerHelper::Dispatch);
    m_destroySink->SetCallback(&CLqMessageListenerHelper::OnElementDestroy);
  }
  CLqMessageListenerHelper(const CLqMessageListenerHelper&) = delete;
  CLqMessageListenerHelper& operator=(const CLqMessageListenerHelper&) = delete;

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
    std::vector<ILqElement*> elements;
    elements.swap(m_elements);
    for (ILqElement* pElement : elements) Unhook(pElement);
    m_specificMap.clear();
    m_genericMap.clear();
  }

 private:
  using Key = std::pair<ILqElement*, win32::UINT>;

  bool Register(ILqElement* pElement) {
    ILqMessageSource* pSource = nullptr;
    if (pElement) {
      pElement->QueryInterface(IID_ILqMessageSource, reinterpret_cast<void**>(&pSource));
    }
    bool added = pSource && win32::SUCCEEDED(pSource->AddListener(
                                m_messageSink.template GetInterface<ILqMessageListener>()));
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

  win32::HRESULT OnElementDestroy(ILqElement* pElement) {
    auto it = std::find(m_elements.begin(), m_elements.end(), pElement);
    if (it != m_elements.end()) m_elements.erase(it);
    Unhook(pElement);
    std::erase_if(m_specificMap,
                  [pElement](const auto& entry) { return entry.first.first == pElement; });
    std::erase_if(m_genericMap,
                  [pElement](const auto& entry) { return entry.first.first == pElement; });
    return 0;
  }

  void Unhook(ILqElement* pElement) {
    pElement->RemoveDestroyListener(
        m_destroySink.template GetInterface<ILqElementDestroyListener>());
    ILqMessageSource* pSource = nullptr;
    if (win32::SUCCEEDED(pElement->QueryInterface(IID_ILqMessageSource,
                                           reinterpret_cast<void**>(&pSource)))) {
      pSource->RemoveListener(m_messageSink.template GetInterface<ILqMessageListener>());
      pSource->Release();
    }
  }

  CComSinkPtr<CLqMessageListener<CLqMessageListenerHelper>> m_messageSink;
  CComSinkPtr<CLqElementDestroyListener<CLqMessageListenerHelper>> m_destroySink;
  std::map<Key, Handler> m_specificMap;
  std::map<Key, GenericHandler> m_genericMap;
  T* const m_pOwner;
  std::vector<ILqElement*> m_elements;  // each once, not held
};
