// ZyIpc.so: the IPC library's stand-in. Its one export hands out the process's pipe manager.

#include <new>

#include "CZyIpcPipe.h"
#include "ZyIpc/IZyIpc.h"

using namespace win32;

namespace {

// The manager lives as long as the library; its count is kept only for the callers' balance.
class CZyIpcManager final : public IZyIpcManager {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppObject) override {
    if (!ppObject) return E_POINTER;
    if (riid != IID_IUnknown && riid != IID_IZyIpcManager) {
      *ppObject = nullptr;
      return E_NOINTERFACE;
    }
    *ppObject = static_cast<IZyIpcManager*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE CreatePipe(const WCHAR* pName, const ZyIpcPipeConfig* pConfig,
                                       IZyIpcPipe** ppPipe) override {
    if (!ppPipe) return E_POINTER;
    *ppPipe = nullptr;
    if (!pName || !*pName || !pConfig) return E_INVALIDARG;
    *ppPipe = new (std::nothrow) CZyIpcPipe(pName, *pConfig);
    return *ppPipe ? S_OK : E_OUTOFMEMORY;
  }
};

CZyIpcManager g_manager;

}  // namespace

extern "C" __attribute__((visibility("default"))) IZyIpcManager* GetZyIpcManager() {
  return &g_manager;
}
