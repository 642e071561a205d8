#pragma once
// The sink that receives a window class's KwTimer timers: OnTimer(timer id) goes to the host's
// call-back, with the host's address moved by the this-adjustment first (0 unless set).

#include "Basalt/KwInterfaces.h"
#include "CComSink.h"

template <class T>
class CKwTimerCallback final
    : public CComSink<IKwTimerCallback, IID_IKwTimerCallback, false, T,
                      win32::HRESULT (T::*)(win32::UINT)> {
 public:
  // IKwTimerCallback:
  win32::HRESULT STDMETHODCALLTYPE OnTimer(win32::UINT timerId) override {
    static constexpr ComSinkTrace kTrace{"ITimer", 52, "CKwTimerCallback<class T>::OnTimer",
                                         u"OnTimer"};
    int32_t adjustment = this->ThisAdjustment();
    return this->Forward(kTrace, [timerId, adjustment](T* pHost, auto callback) {
      T* pTarget = adjustment == 0
                       ? pHost
                       : reinterpret_cast<T*>(reinterpret_cast<char*>(pHost) + adjustment);
      return (pTarget->*callback)(timerId);
    });
  }

 private:
  ~CKwTimerCallback() override = default;
};
