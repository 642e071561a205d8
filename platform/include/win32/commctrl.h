#pragma once
// Common controls. The toolkit's widgets need no registration, so the call only checks its record.

#include "win32/base.h"

namespace win32 {

struct INITCOMMONCONTROLSEX {
  DWORD dwSize;
  DWORD dwICC;
};
using LPINITCOMMONCONTROLSEX = INITCOMMONCONTROLSEX*;

// TRUE for a record whose dwSize is its own size (8), whatever classes it names.
WIN32_API BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* picce);

}  // namespace win32
