#pragma once

#include <atomic>
#include <cstdint>

#include "Interface/IOrbalyn.h"
#include "Common/Singleton.h"

// The root object that GetIOrbalyn hands to the host: it starts and stops every manager of the
// library in a fixed order and hands out the logic, store and uploader interfaces while started.
// Lifetime: process-wide singleton (static: AddRef and Release count nothing), built by the first
//   GetIOrbalyn and destroyed at exit. Start and Stop may alternate any number of times; each
//   Start after a Stop starts everything anew.
// Threading: Start and Stop run on the host's user-interface thread (Start creates the hidden
//   window that delivers logic messages there) and are not guarded against concurrent calls.
//   The getters may be called from any thread; they read only the atomic flag.
class COrbalyn final : public IOrbalyn, public Singleton<COrbalyn> {
 public:
  // Time the library's copy of the statistics client is given to flush at Stop.
  static constexpr win32::DWORD kReportClientUnInitMs = 3000;

  COrbalyn(const COrbalyn&) = delete;
  COrbalyn& operator=(const COrbalyn&) = delete;

  // IUnknown:
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID riid, void** ppObject) override;
  win32::ULONG STDMETHODCALLTYPE AddRef() override;
  win32::ULONG STDMETHODCALLTYPE Release() override;

  // IOrbalyn:
  win32::HRESULT STDMETHODCALLTYPE Start() override;
  win32::HRESULT STDMETHODCALLTYPE Stop() override;
  win32::HRESULT STDMETHODCALLTYPE GetLogic(IOrbalynLogic** ppLogic) override;
  win32::HRESULT STDMETHODCALLTYPE GetDB(IOrbalynDB** ppDb) override;
  win32::HRESULT STDMETHODCALLTYPE GetUploader(IOrbalynUploader** ppUploader) override;

 private:
  friend class Singleton<COrbalyn>;

  COrbalyn() = default;
  // Only forgets the started state: every manager has its own exit destructor.
  ~COrbalyn() override;

  // Written by Start and Stop on the host's thread, read by the getters on any thread.
  std::atomic<int32_t> m_started{0};
};
