#pragma once
// Profile (INI) files with the Windows rules. Files are UTF-8 on disk; the A variants take and
// give UTF-8 (the system code page here). Every call reads the file, and every write replaces
// it atomically, so another process never sees a half-written file. One process-wide lock
// serialises all profile calls.

#include "win32/base.h"

namespace win32 {

// Copies the value of section/key (trimmed, outer quotes removed) into `returned`; a missing
// file, section or key gives `defaultValue` without its trailing blanks. A value that does not fit
// is cut to size-1 characters and the result is size-1 (last error 234), so a caller can tell a
// cut value by that result. A null key lists the section's keys, a null section lists the file's
// sections: each name NUL-terminated, one more NUL at the end; a list that does not fit is cut
// with two closing NULs and the result is size-2.
WIN32_API DWORD GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR defaultValue,
                                         LPWSTR returned, DWORD size, LPCWSTR fileName);
WIN32_API DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR defaultValue,
                                         LPSTR returned, DWORD size, LPCSTR fileName);

// An optional sign and the leading decimal digits of the value; a present value without digits
// gives 0, a missing one gives defaultValue.
WIN32_API UINT GetPrivateProfileIntW(LPCWSTR section, LPCWSTR key, INT defaultValue,
                                     LPCWSTR fileName);
WIN32_API UINT GetPrivateProfileIntA(LPCSTR section, LPCSTR key, INT defaultValue, LPCSTR fileName);

// Writes "key=value": in place of the key's line, else at the end of its section, else in a new
// section at the end of the file. A null value deletes the key, a null key the whole section.
// The file is created when missing, its folder is not (error 3). CR, LF and NUL in the section,
// key and value are written as spaces, so a value can never add lines, keys or sections.
WIN32_API BOOL WritePrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR value,
                                          LPCWSTR fileName);
WIN32_API BOOL WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value,
                                          LPCSTR fileName);

}  // namespace win32
