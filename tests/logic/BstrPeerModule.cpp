// Another module of the process that links the layer: strings allocated on one side of a
// module boundary are freed on the other, as the program and the library do with BSTRs.

#include "win32/oleauto.h"

extern "C" __attribute__((visibility("default"))) win32::BSTR PeerAllocString(
    const char16_t* pText) {
  return win32::SysAllocString(pText);
}

extern "C" __attribute__((visibility("default"))) void PeerFreeString(win32::BSTR text) {
  win32::SysFreeString(text);
}
