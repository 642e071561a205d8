#pragma once
// The process's command line and environment variables, as Windows hands them out.

#include "win32/base.h"

namespace win32 {

using HLOCAL = void*;

constexpr DWORD ERROR_ENVVAR_NOT_FOUND = 203;

// The program's arguments (/proc/self/cmdline) joined into one line with the Windows quoting
// rules, so CommandLineToArgvW gives back exactly the arguments the program received. Read once;
// the same pointer on every call, valid until exit.
WIN32_API LPWSTR GetCommandLineW();

// Splits a line by the Windows rules (those of CreateProcessW). The array and its strings are one
// block that LocalFree releases. An empty line gives the program's own path alone. Null with 87
// for a null argument.
WIN32_API LPWSTR* CommandLineToArgvW(LPCWSTR cmdLine, int* pNumArgs);

// Releases a block the layer handed out to be freed with LocalFree; returns null.
WIN32_API HLOCAL LocalFree(HLOCAL mem);

// The value's length without its NUL when it fits in `size` characters, else the size needed
// with the NUL (the buffer is left alone); 0 with 203 when the variable is not set.
WIN32_API DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size);
// A null value removes the variable. An empty name or one holding '=' fails with 87.
// The C environment is not safe to change while other threads read it: programs set variables
// during start-up, before their threads run.
WIN32_API BOOL SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value);

}  // namespace win32
