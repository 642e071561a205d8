#pragma once
// The sink that receives an element's window messages: OnMessage and PreMessage both go to the
// host's call-back with the six message arguments.

#include "CComSink.h"
#include "Lq/LqInterfaces.h"

template <class T>
using LqMessageCallback = win32::HRESULT (T::*)(ILqElement*, win32::UINT*, win32::WPARAM,
                                                win32::LPARAM, win32::BOOL*, win32::LRESULT*);

template <class T>
class CLqMessageListener final
    : public CNoDispatch<CComSink<ILqMessageListener, IID_ILqMessageListener, true, T,
                                  LqMessageCallback<T>>> {
 public:
  // ILqMessageListener:
  win32::HRESULT STDMETHODCALLTYPE OnMessage(ILqElement* pElement, win32::UINT* pMessage,
                                             win32::WPARAM wParam, win32::LPARAM lParam,
                                             win32::BOOL* pHandled,
                                             win32::LRESULT* pResult) override {
    static constexpr ComSinkTrace kTrace{"ILqMessage", 116,
                                         "CLqMessageListener<class T>::OnMessage", u"OnMessage"};
    return this->Forward(kTrace, [&](T* pHost, auto callback) {
      return (pHost->*callback)(pElement, pMessage, wParam, lParam, pHandled, pResult);
    });
  }
  win32::HRESULT STDMETHODCALLTYPE PreMessage(ILqElement* pElement, win32::UINT* pMessage,
                                              win32::WPARAM wParam, win32::LPARAM lParam,
                                              win32::BOOL* pHandled,
                                              win32::LRESULT* pResult) override {
    static constexpr ComSinkTrace kTrace{"ILqMessage", 117,
                                         "CLqMessageListener<class T>::PreMessage",
                                         u"PreMessage"};
    return this->Forward(kTrace, [&](T* pHost, auto callback) {
      return (pHost->*callback)(pElement, pMessage, wParam, lParam, pHandled, pResult);
    });
  }

 private:
  ~CLqMessageListener() override = default;
};
