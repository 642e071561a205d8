#pragma once
// The sink that receives a host's UI-framework events: OnLqEvent(event id, element, event object)
// goes to the host's call-back.

#include "CComSink.h"
#include "Lq/LqInterfaces.h"

template <class T>
class CLqEventListener final
    : public CNoDispatch<CComSink<ILqEventListener, IID_ILqEventListener, true, T,
                                  win32::HRESULT (T::*)(win32::UINT, ILqElement*, ILqEvent*)>> {
 public:
  // ILqEventListener:
  win32::HRESULT STDMETHODCALLTYPE OnLqEvent(win32::UINT eventId, ILqElement* pElement,
                                             ILqEvent* pEvent) override {
    static constexpr ComSinkTrace kTrace{"ILqEvent", 47, "CLqEventListener<class T>::OnLqEvent",
                                         u"OnLqEvent"};
    return this->Forward(kTrace, [&](T* pHost, auto callback) {
      return (pHost->*callback)(eventId, pElement, pEvent);
    });
  }

 private:
  ~CLqEventListener() override = default;
};
