#pragma once
// The common part of the sinks through which the UI framework and the platform timers call a
// window class: a COM object (interlocked count, starting at 0 like an ATL object; deleted at
// the last Release) that forwards each call to a member function of its host, inside one
// performance transaction whose end carries the threshold 50 ms. The trace text names the
// call-back's whole address, so slow handlers can be told apart.
//
// A sink outlives its host whenever the framework still holds it: once the host is cleared
// (CComSinkPtr does it when it goes) every call answers 0 and does nothing.
// Threading: calls arrive on the UI thread; the lock covers host and call-back, never a call.

#include <atomic>
#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "Basalt/KwDiag.h"
#include "Basalt/Util.h"
#include "win32/com.h"
#include "win32/oleauto.h"
#include "win32/strings.h"
#include "win32/sync.h"

// Where a sink's transactions say they come from.
struct ComSinkTrace {
  const char* pHeader;
  int line;
  const char* pFunction;
  const char16_t* pMethod;
};

// `kIid` is the callback interface's id; `kDispatch`, whether it derives from IDispatch.
template <class TInterface, const win32::IID& kIid, bool kDispatch, class THost, class TCallback>
class CComSink : public TInterface {
 public:
  using Host = THost;
  using Callback = TCallback;

  CComSink() { win32::InitializeCriticalSection(&m_lock); }
  CComSink(const CComSink&) = delete;
  CComSink& operator=(const CComSink&) = delete;

  void SetHost(THost* pHost) {
    win32::EnterCriticalSection(&m_lock);
    m_pHost = pHost;
    win32::LeaveCriticalSection(&m_lock);
  }
  THost* GetHost() {
    win32::EnterCriticalSection(&m_lock);
    THost* pHost = m_pHost;
    win32::LeaveCriticalSection(&m_lock);
    return pHost;
  }
  void SetCallback(TCallback callback) {
    win32::EnterCriticalSection(&m_lock);
    if (!m_pHost) KwAssert("m_pHost != NULL", "ComSinkPtr", 61);
    m_callback = callback;
    win32::LeaveCriticalSection(&m_lock);
  }
  // Bytes added to the host's address before a timer call-back.
  void SetThisAdjustment(int32_t adjustment) { m_thisAdjustment = adjustment; }

  // IUnknown:
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID riid, void** ppObject) override {
    if (!ppObject) return win32::E_POINTER;
    if (riid == win32::IID_IUnknown || riid == kIid || (kDispatch && riid == win32::IID_IDispatch)) {
      *ppObject = static_cast<TInterface*>(this);
      AddRef();
      return win32::S_OK;
    }
    *ppObject = nullptr;
    return win32::E_NOINTERFACE;
  }
  win32::ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refCount; }
  win32::ULONG STDMETHODCALLTYPE Release() override {
    win32::ULONG count = --m_refCount;
    if (count == 0) delete this;
    return count;
  }

 protected:
  virtual ~CComSink() { win32::DeleteCriticalSection(&m_lock); }

  // Calls `call(host, call-back)` inside the transaction; 0 without host or call-back.
  template <class TCall>
  win32::HRESULT Forward(const ComSinkTrace& trace, TCall&& call) {
    win32::EnterCriticalSection(&m_lock);
    THost* pHost = m_pHost;
    TCallback callback = m_callback;
    win32::LeaveCriticalSection(&m_lock);
    if (!pHost || !callback) return 0;
    uintptr_t address = CallbackAddress(pHost, callback);
    char text[96];
    std::snprintf(text, sizeof(text), "<Addr-0x%" PRIxPTR ">", address);
    std::u16string base = u"*.COMSINK-" + std::u16string(trace.pMethod) + win32::Utf8ToUtf16(text);
    uint64_t handle = Util::Perf::RecordTransBegin(trace.pHeader, trace.line, 2, trace.pFunction,
                                                   (base + u".Begin").c_str());
    win32::HRESULT result = call(pHost, callback);
    Util::Perf::RecordTransEnd(handle, trace.pHeader, trace.line, 2, trace.pFunction,
                               (base + u".End").c_str(), kSlowCallMs);
    return result;
  }

  int32_t ThisAdjustment() const { return m_thisAdjustment; }

  // The code a member-function pointer reaches on `pHost`. Under the Itanium C++ ABI such a
  // pointer is {function address, or 1 + vtable offset for a virtual one; this adjustment}.
  static uintptr_t CallbackAddress(THost* pHost, TCallback callback) {
    struct Parts {
      uintptr_t function;
      ptrdiff_t adjustment;
    } parts;
    static_assert(sizeof(parts) == sizeof(callback));
    std::memcpy(&parts, &callback, sizeof(parts));
    if ((parts.function & 1) == 0) return parts.function;
    const char* pObject = reinterpret_cast<const char*>(pHost) + parts.adjustment;
    const uintptr_t* pVtable = *reinterpret_cast<const uintptr_t* const*>(pObject);
    return pVtable[(parts.function - 1) / sizeof(uintptr_t)];
  }

 private:
  static constexpr win32::DWORD kSlowCallMs = 50;

  std::atomic<win32::ULONG> m_refCount{0};
  win32::CRITICAL_SECTION m_lock;
  THost* m_pHost = nullptr;          // not owned; null once the owner went
  TCallback m_callback = nullptr;
  int32_t m_thisAdjustment = 0;
};

// IDispatch's four operations, which no caller of these sinks uses.
template <class TBase>
class CNoDispatch : public TBase {
 public:
  using TBase::TBase;

  win32::HRESULT STDMETHODCALLTYPE GetTypeInfoCount(win32::UINT* pCount) override {
    if (pCount) *pCount = 0;
    return win32::E_NOTIMPL;
  }
  win32::HRESULT STDMETHODCALLTYPE GetTypeInfo(win32::UINT, win32::LCID,
                                               win32::ITypeInfo**) override {
    return win32::E_NOTIMPL;
  }
  win32::HRESULT STDMETHODCALLTYPE GetIDsOfNames(win32::REFIID, win32::LPOLESTR*, win32::UINT,
                                                 win32::LCID, win32::DISPID*) override {
    return win32::E_NOTIMPL;
  }
  win32::HRESULT STDMETHODCALLTYPE Invoke(win32::DISPID, win32::REFIID, win32::LCID, win32::WORD,
                                          win32::DISPPARAMS*, win32::VARIANT*, win32::EXCEPINFO*,
                                          win32::UINT*) override {
    return win32::E_NOTIMPL;
  }
};
