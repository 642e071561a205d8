#pragma once
// Module identity: which module holds an address, the full path of a module, the system folder
// and the process id.
//
// An HMODULE is the address at which the module's ELF image is mapped (dladdr's dli_fbase), the
// way a Windows HMODULE is the image base; null means the main program.

#include "win32/base.h"

namespace win32 {

constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_PIN = 0x1;
constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT = 0x2;
constexpr DWORD GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS = 0x4;

// Full path of the module (null: the program), in Windows form ("\usr\lib\...\Orbalyn.so").
// Returns the length without NUL. A short buffer gets the path cut and NUL-terminated, the
// return value nSize and last error ERROR_INSUFFICIENT_BUFFER. An unknown module fails with
// ERROR_MOD_NOT_FOUND. The A form is UTF-8 and never cuts inside a character.
WIN32_API DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR pFileName, DWORD nSize);
WIN32_API DWORD GetModuleFileNameA(HMODULE hModule, LPSTR pFileName, DWORD nSize);

// With FLAG_FROM_ADDRESS, `moduleName` is an address inside the module wanted. Otherwise it is a
// module name ("Orbalyn.dll" finds the loaded Orbalyn.so; null is the program). Unless
// FLAG_UNCHANGED_REFCOUNT is given the module gains a reference, so it stays loaded for as long
// as the caller holds it; FLAG_PIN keeps it loaded for good.
WIN32_API BOOL GetModuleHandleExW(DWORD flags, LPCWSTR moduleName, HMODULE* phModule);

// The virtual system folder ("\Windows\System32"). Only its "drivers\etc\hosts" leads anywhere:
// to /etc/hosts, or to the file named by LUMIDOCK_HOSTS_FILE. Returns the length without NUL, or
// the size needed (NUL included) when the buffer is too small.
WIN32_API UINT GetSystemDirectoryW(LPWSTR pBuffer, UINT uSize);
WIN32_API UINT GetSystemDirectoryA(LPSTR pBuffer, UINT uSize);

WIN32_API DWORD GetCurrentProcessId();

}  // namespace win32
