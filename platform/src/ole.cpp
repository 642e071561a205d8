#include "win32/ole.h"

#include "win32/com.h"

namespace win32 {

HRESULT OleInitialize(LPVOID reserved) {
  return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED);
}

void OleUninitialize() { CoUninitialize(); }

}  // namespace win32
