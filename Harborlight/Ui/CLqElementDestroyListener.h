#pragma once
// The sink that hears elements die: OnLqElementDestroy(element) goes to the host's call-back.

#include "CComSink.h"
#include "Lq/LqInterfaces.h"

template <class T>
class CLqElementDestroyListener final
    : public CNoDispatch<CComSink<ILqElementDestroyListener, IID_ILqElementDestroyListener, true,
                                  T, win32::HRESULT (T::*)(ILqElement*)>> {
 public:
  // ILqElementDestroyListener:
  win32::HRESULT STDMETHODCALLTYPE OnLqElementDestroy(ILqElement* pElement) override {
    static constexpr ComSinkTrace kTrace{"ILqElement", 129,
                                         "CLqElementDestroyListener<class T>::OnLqElementDestroy",
                                         u"OnLqElementDestroy"};
    return this->Forward(kTrace,
                         [&](T* pHost, auto callback) { return (pHost->*callback)(pElement); });
  }

 private:
  ~CLqElementDestroyListener() override = default;
};
