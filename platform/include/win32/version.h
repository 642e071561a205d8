#pragma once
// Version resources. Linux files carry none, so a module has one only when it registers it while
// it loads (the programs' blocks are made by the build); every other file answers 1813.
// The block is our own layout; read it only through VerQueryValueW.

#include "win32/base.h"

namespace win32 {

constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;

struct VERSION_STRING {
  LPCWSTR key;  // "FileDescription", "FileVersion", "ProductName", ...
  LPCWSTR value;
};

// Registers the version resource of the module that holds `anchor` (any address inside it), with
// one translation (language, code page) and its strings, which are copied. A module registers
// once; a second registration replaces the first.
WIN32_API BOOL RegisterModuleVersionInfo(const void* anchor, WORD language, WORD codePage,
                                         const VERSION_STRING* strings, UINT count);

// The block's size in bytes: 0 with 2 for a missing file, 1813 for a file without a resource.
// The file is matched by identity, so a link to a module finds its resource too. *handle = 0.
WIN32_API DWORD GetFileVersionInfoSizeW(LPCWSTR fileName, LPDWORD handle);
// Copies the block; 122 when `len` is smaller than the size.
WIN32_API BOOL GetFileVersionInfoW(LPCWSTR fileName, DWORD handle, DWORD len, LPVOID data);
// "\VarFileInfo\Translation": the (language, code page) pair, 4 bytes.
// "\StringFileInfo\<language and code page, 8 hex digits>\<key>": the value, *len in characters
// with the NUL.
// Names and digits ignore case. Anything else, or no such value: FALSE.
WIN32_API BOOL VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, UINT* len);

}  // namespace win32
