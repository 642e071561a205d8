#pragma once
// The modules built into the layer ("kernel32.dll", "iphlpapi.dll", "netapi32.dll"): what
// GetProcAddress answers for them. module.cpp registers the exports the system resolves by name;
// another layer file can add one from a static initialiser:
//   [[maybe_unused]] const bool kExported =
//       detail::RegisterBuiltinExport("kernel32.dll", "GetNativeSystemInfo", &GetNativeSystemInfo);

#include "win32/module.h"

namespace win32::detail {

// Returns true; false when `moduleName` is not a built-in module (compared ignoring case).
// Registering a name again replaces its function.
bool RegisterBuiltinExport(const char* moduleName, const char* exportName, FARPROC function);

template <class Function>
bool RegisterBuiltinExport(const char* moduleName, const char* exportName, Function* function) {
  return RegisterBuiltinExport(moduleName, exportName, reinterpret_cast<FARPROC>(function));
}

}  // namespace win32::detail
