#pragma once

#include <atomic>

#include "Orbalyn/Interface/IOrbalyn.h"

// The test host's logic sink: one line per logic message on standard output, in the form the
// demo host prints ("logic upload_result value=<error> id=<phone> params=<file id>,..."), so the
// tests read both hosts alike.
// Lifetime: counted, starting at 1 for the creator; the last Release frees it.
// Threading: the host's user-interface thread, where the library delivers logic messages.
class CE2eLogicSink final : public IOrbalynLogicSink {
 public:
  CE2eLogicSink() = default;
  CE2eLogicSink(const CE2eLogicSink&) = delete;
  CE2eLogicSink& operator=(const CE2eLogicSink&) = delete;

  // IUnknown:
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID riid, void** ppObject) override;
  win32::ULONG STDMETHODCALLTYPE AddRef() override;
  win32::ULONG STDMETHODCALLTYPE Release() override;

  // IOrbalynLogicSink:
  win32::HRESULT STDMETHODCALLTYPE OnLogicMessage(IOrbalynMessage* pMessage) override;

 private:
  ~CE2eLogicSink() = default;

  std::atomic<win32::ULONG> m_refCount{1};
};
