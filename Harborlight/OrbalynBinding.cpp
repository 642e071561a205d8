#include "OrbalynBinding.h"

#include <string>
#include <utility>

#include "LibraryPath.h"
#include "Orbalyn/LibraryEntry.h"
#include "win32/module.h"

using namespace win32;

namespace {

// The binding state.
// Lifetime: the first of the program's process-wide objects, so the last to go: at exit it
//   frees a library still loaded (without calling Stop) after the task threads are gone.
class COrbalynBinding {
 public:
  COrbalynBinding() = default;
  COrbalynBinding(const COrbalynBinding&) = delete;
  COrbalynBinding& operator=(const COrbalynBinding&) = delete;
  ~COrbalynBinding() { Forget(); }

  // Frees the library (if loaded) and clears both pointers.
  void Forget() {
    if (HMODULE hModule = std::exchange(m_hModule, nullptr)) FreeLibrary(hModule);
    m_pRoot = nullptr;
  }

  HMODULE m_hModule = nullptr;
  IOrbalyn* m_pRoot = nullptr;
};

__attribute__((init_priority(1001))) COrbalynBinding g_binding;

template <class TInterface>
TInterface* FromRoot(HRESULT (STDMETHODCALLTYPE IOrbalyn::*getter)(TInterface**)) {
  if (!g_binding.m_pRoot) return nullptr;
  TInterface* pInterface = nullptr;
  (g_binding.m_pRoot->*getter)(&pInterface);
  return pInterface;
}

}  // namespace

int LoadOrbalyn(const WCHAR* pFolder) {
  if (g_binding.m_hModule) return 0;
  std::u16string path = LibraryPathInFolder(pFolder, u"Orbalyn.dll");
  g_binding.m_hModule = LoadLibraryW(path.c_str());
  if (!g_binding.m_hModule) return 0;
  auto getRoot =
      reinterpret_cast<GetIOrbalynFn>(GetProcAddress(g_binding.m_hModule, kGetIOrbalynName));
  g_binding.m_pRoot = getRoot ? getRoot() : nullptr;
  if (!g_binding.m_pRoot) {
    g_binding.Forget();
    return 0;
  }
  if (g_binding.m_pRoot->Start() != S_OK) {
    g_binding.Forget();
    return 0;
  }
  return 1;
}

HRESULT UnloadOrbalyn() {
  if (!g_binding.m_pRoot) return 0;
  HRESULT result = g_binding.m_pRoot->Stop();
  g_binding.Forget();
  return result;
}

IOrbalynLogic* GetOrbalynLogic() { return FromRoot(&IOrbalyn::GetLogic); }

IOrbalynDB* GetOrbalynDB() { return FromRoot(&IOrbalyn::GetDB); }

IOrbalynUploader* GetOrbalynUploader() { return FromRoot(&IOrbalyn::GetUploader); }

int RegisterUploadAssist(IOrbalynUploadAssist* pAssist) {
  IOrbalynUploader* pUploader = GetOrbalynUploader();
  return pUploader && pUploader->Advise(pAssist) == S_OK ? 1 : 0;
}

void SetOrbalynRootForTesting(IOrbalyn* pRoot) {
  g_binding.Forget();
  g_binding.m_pRoot = pRoot;
}
