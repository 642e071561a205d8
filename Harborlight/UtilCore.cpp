#include "UtilCore.h"

#include "Basalt/KwDiag.h"
#include "Basalt/Util.h"

using namespace win32;

namespace Util::Core {

BOOL CreateObject(REFCLSID clsid, REFIID riid, void** ppObject) {
  IKwCore* pCore = nullptr;
  GetPlatformCore(&pCore);
  if (!pCore) {
    KwAssert("! L\"CreateObject时Util::Core::GetCurrentCore失败.\"", "UtilCore", 103);
    return FALSE;
  }
  HRESULT hr = pCore->CreateObject(clsid, riid, ppObject);
  pCore->Release();
  return SUCCEEDED(hr) ? TRUE : FALSE;
}

}  // namespace Util::Core
