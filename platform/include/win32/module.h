#pragma once
// Loading modules by their Windows names. "X.dll" is the built X.so and "X.exe" the built
// program X. A bare name is looked for in the runtime folder (where libwin32.so, every program
// and every module sit); an absolute path is used as given, with its file name mapped.
// "kernel32.dll", "iphlpapi.dll" and "netapi32.dll" are built into the layer: they load from any
// folder and their exports are the layer's own functions.
//
// An HMODULE is the module's image base (see win32/module_name.h, which also has
// GetModuleFileNameW and GetModuleHandleExW); built-in modules have small pseudo values.

#include "win32/base.h"
#include "win32/module_name.h"

namespace win32 {

// Generic export pointer. void(*)() is the one function type GCC lets callers cast to their own
// signature without a -Wcast-function-type warning.
using FARPROC = void (*)();

// Reference counted: each successful load needs one FreeLibrary. A missing module (or one whose
// dependencies are missing) fails with 126. Setting LUMIDOCK_MISSING_MODULES to a list of
// built-in names ("iphlpapi.dll,netapi32.dll") makes those fail too, for tests of the fallbacks.
WIN32_API HMODULE LoadLibraryW(LPCWSTR fileName);
WIN32_API HMODULE LoadLibraryA(LPCSTR fileName);
// The flags are accepted and ignored.
WIN32_API HMODULE LoadLibraryExW(LPCWSTR fileName, HANDLE file, DWORD flags);
WIN32_API BOOL FreeLibrary(HMODULE module);

// Only what the module itself exports: a name the module merely imports fails with 127, as do
// ordinals.
WIN32_API FARPROC GetProcAddress(HMODULE module, LPCSTR procName);

// Null: the program. Otherwise a loaded module by name (no reference is added); 126 when it is
// not loaded.
WIN32_API HMODULE GetModuleHandleW(LPCWSTR moduleName);

// Whether `module` is the program itself rather than a library: Linux programs carry no ".exe"
// that would tell them apart by name.
WIN32_API bool IsMainExecutable(HMODULE module);

}  // namespace win32
