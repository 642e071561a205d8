// Stand-ins for Orbalyn.so, one per build folder, for the binding and the "/uninstall" road:
//   FAKE_NO_ROOT_EXPORT   no GetIOrbalyn export at all
//   FAKE_NULL_ROOT        GetIOrbalyn returns null
//   FAKE_START_FAILS      the root's Start answers E_FAIL
//   (none)                a root that starts and stops (Stop answers 7, so callers can tell it)
// Every variant's UnregisterDrive appends "UnregisterDrive" to the file named by
// LUMIDOCK_FAKE_ORBALYN_MARKER.

#include <cstdio>
#include <cstdlib>

#include "Orbalyn/Interface/IOrbalyn.h"

using namespace win32;

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr HRESULT kStopResult = 7;

template <class TInterface>
class CStatic : public TInterface {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

class CFakeLogic final : public CStatic<IOrbalynLogic> {
 public:
  HRESULT STDMETHODCALLTYPE Advise(IOrbalynLogicSink*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Unadvise(IOrbalynLogicSink*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Login() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Logout() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetLoginState(int* pState) override {
    *pState = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetBindInfo(IOrbalynMessage**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE UnbindDevice(int64_t) override { return E_NOTIMPL; }
};

// Accepts one assistant, again and again, and refuses any other.
class CFakeUploader final : public CStatic<IOrbalynUploader> {
 public:
  HRESULT STDMETHODCALLTYPE Advise(IOrbalynUploadAssist* pAssist) override {
    if (m_pAssist && m_pAssist != pAssist) return E_FAIL;
    m_pAssist = pAssist;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Unadvise() override {
    m_pAssist = nullptr;
    return S_OK;
  }

 private:
  IOrbalynUploadAssist* m_pAssist = nullptr;
};

class CFakeRoot final : public CStatic<IOrbalyn> {
 public:
  HRESULT STDMETHODCALLTYPE Start() override {
#ifdef FAKE_START_FAILS
    return E_FAIL;
#else
    m_started = true;
    return S_OK;
#endif
  }
  HRESULT STDMETHODCALLTYPE Stop() override {
    m_started = false;
    return kStopResult;
  }
  HRESULT STDMETHODCALLTYPE GetLogic(IOrbalynLogic** ppLogic) override {
    *ppLogic = m_started ? &m_logic : nullptr;
    return m_started ? S_OK : E_ACCESSDENIED;
  }
  HRESULT STDMETHODCALLTYPE GetDB(IOrbalynDB** ppDb) override {
    *ppDb = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetUploader(IOrbalynUploader** ppUploader) override {
    *ppUploader = m_started ? &m_uploader : nullptr;
    return m_started ? S_OK : E_ACCESSDENIED;
  }

 private:
  bool m_started = false;
  CFakeLogic m_logic;
  CFakeUploader m_uploader;
};

CFakeRoot g_root;

}  // namespace

#ifndef FAKE_NO_ROOT_EXPORT
FAKE_EXPORT IOrbalyn* GetIOrbalyn() {
#ifdef FAKE_NULL_ROOT
  return nullptr;
#else
  return &g_root;
#endif
}
#endif

FAKE_EXPORT void UnregisterDrive() {
  const char* pMarker = std::getenv("LUMIDOCK_FAKE_ORBALYN_MARKER");
  if (!pMarker) return;
  if (std::FILE* pFile = std::fopen(pMarker, "a")) {
    std::fputs("UnregisterDrive\n", pFile);
    std::fclose(pFile);
  }
}
