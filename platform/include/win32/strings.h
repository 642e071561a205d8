#pragma once
// UTF-16 text (WCHAR is char16_t), code-page conversion and the wide formatter.
// The "system code page" (CP_ACP) is UTF-8 here, so no phone name degrades to '?'.

#include <cstdarg>
#include <string>
#include <string_view>

#include "win32/base.h"

namespace win32 {

constexpr UINT CP_ACP = 0;
constexpr UINT CP_OEMCP = 1;
constexpr UINT CP_THREAD_ACP = 3;
constexpr UINT CP_UTF8 = 65001;

// Conversion flags: fail with ERROR_NO_UNICODE_TRANSLATION instead of substituting U+FFFD.
constexpr DWORD MB_ERR_INVALID_CHARS = 0x08;
constexpr DWORD WC_ERR_INVALID_CHARS = 0x80;
constexpr DWORD ERROR_NO_UNICODE_TRANSLATION = 1113;

WIN32_API UINT GetACP();

// Windows contract: cbMultiByte/cchWideChar of -1 means "NUL-terminated, NUL included"; an output
// size of 0 measures. Invalid input becomes U+FFFD. Returns 0 with 122 when the output is short.
WIN32_API int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR src, int cbSrc, LPWSTR dst,
                                  int cchDst);
WIN32_API int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR src, int cchSrc, LPSTR dst,
                                  int cbDst, LPCSTR defaultChar, BOOL* usedDefault);

WIN32_API int lstrlenW(LPCWSTR s);
WIN32_API int lstrcmpW(LPCWSTR a, LPCWSTR b);
// Per-code-unit simple upper-casing (ASCII and Latin-1 range).
WIN32_API int lstrcmpiW(LPCWSTR a, LPCWSTR b);
WIN32_API int lstrcmpiA(LPCSTR a, LPCSTR b);

// Convenience conversions for the layer and the system (whole strings, UTF-8 <-> UTF-16).
WIN32_API std::u16string Utf8ToUtf16(std::string_view s);
WIN32_API std::string Utf16ToUtf8(std::u16string_view s);

// Wide printf with Windows meaning: in a wide format %s is a wide string, %hs and %S narrow
// (UTF-8). Supports flags - 0 + space, width, precision, %s %c %d %i %u %x %X %ld %lu %lld %llu
// %I64d %I64u %f %e %g (and capitals) %p %%. Returns the number of characters written (without
// NUL), or -1 when it was cut.
WIN32_API int FormatW(WCHAR* dst, size_t cchDst, const WCHAR* format, ...);
WIN32_API int VFormatW(WCHAR* dst, size_t cchDst, const WCHAR* format, va_list args);
WIN32_API std::u16string FormatW(const WCHAR* format, ...);
WIN32_API std::u16string VFormatW(const WCHAR* format, va_list args);
// wsprintfW / swprintf_s style names the system code may use.
WIN32_API int wsprintfW(LPWSTR dst, LPCWSTR format, ...);

// Paths: the system holds them in Windows form (\ separators, rooted at \, no drive letter);
// the layer converts to POSIX only at the system call.
// Exact comparison: the file systems here are case-sensitive. Either separator (\ or /) matches
// the other, since the layer accepts both; a drive letter matches in either case.
WIN32_API bool PathsEqual(LPCWSTR a, LPCWSTR b);

}  // namespace win32
