#pragma once
// The registry: a file-backed store with one hive file per root (HKEY_LOCAL_MACHINE,
// HKEY_CURRENT_USER) in the layer's registry folder. HKEY_CLASSES_ROOT is HKLM\Software\Classes.
// Key and value names are case-insensitive and keep their case; values are raw bytes plus a type.
// Nothing on Linux publishes values here, so system values the program reads are simply absent.
// The 32/64-bit views are one view (KEY_WOW64_* are ignored).

#include "win32/base.h"

namespace win32 {

struct FILETIME;  // win32/time.h

using REGSAM = DWORD;
using LSTATUS = LONG;

inline const HKEY HKEY_CLASSES_ROOT =
    reinterpret_cast<HKEY>(static_cast<intptr_t>(static_cast<int32_t>(0x80000000)));
inline const HKEY HKEY_CURRENT_USER =
    reinterpret_cast<HKEY>(static_cast<intptr_t>(static_cast<int32_t>(0x80000001)));
inline const HKEY HKEY_LOCAL_MACHINE =
    reinterpret_cast<HKEY>(static_cast<intptr_t>(static_cast<int32_t>(0x80000002)));

// Access rights
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_EXECUTE = 0x20019;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

// Value types
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

// RegCreateKeyExW options and dispositions
constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// The handle's key was deleted after it was opened.
constexpr DWORD ERROR_KEY_DELETED = 1018;

// Every function returns the Win32 error number (ERROR_SUCCESS on success) and, as on Windows,
// leaves the last error alone. Missing keys or values give 2; a handle opened without the right
// access gives 5. Sub-key paths use '\' and may be empty (another handle to the same key).
WIN32_API LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access,
                                PHKEY pResult);
WIN32_API LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access,
                                PHKEY pResult);
// Creates every missing key on the path. pDisposition (optional) tells whether the last key was
// created or already there. securityAttributes and keyClass are accepted and ignored.
WIN32_API LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass,
                                  DWORD options, REGSAM access,
                                  const SECURITY_ATTRIBUTES* securityAttributes, PHKEY pResult,
                                  LPDWORD pDisposition);
WIN32_API LSTATUS RegCloseKey(HKEY key);

// pData null with pcbData set: size query. A buffer that is too short gives 234 with the needed
// size in *pcbData and the buffer untouched. The A variant hands strings out in UTF-8.
WIN32_API LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD pType,
                                   BYTE* pData, LPDWORD pcbData);
WIN32_API LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD pType,
                                   BYTE* pData, LPDWORD pcbData);
// Stores the bytes as given: a REG_SZ written with its NUL reads back with it. The A variant
// takes strings in UTF-8 and stores them as UTF-16.
WIN32_API LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type,
                                 const BYTE* pData, DWORD cbData);
WIN32_API LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type,
                                 const BYTE* pData, DWORD cbData);
WIN32_API LSTATUS RegDeleteValueW(HKEY key, LPCWSTR valueName);

// Sub-keys come in case-insensitive name order; 259 past the last one. *pcchName is the buffer
// size in characters on entry and the name length (without NUL) on return; too short gives 234.
// *pLastWriteTime (optional) is set to zero: write times are not kept.
WIN32_API LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD pcchName,
                                LPDWORD reserved, LPWSTR keyClass, LPDWORD pcchClass,
                                FILETIME* pLastWriteTime);
// Refused with 5 while the key has sub-keys. An empty sub-key deletes the key itself.
WIN32_API LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey);
// Deletes the sub-key with everything below it; a null sub-key empties the key itself.
WIN32_API LSTATUS RegDeleteTreeW(HKEY key, LPCWSTR subKey);

}  // namespace win32
