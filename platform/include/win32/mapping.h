#pragma once
// Shared memory backed by the page file: named mappings are small files in the same per-user,
// per-display folder as named mutexes (see win32/sync.h), mapped with mmap. A named mapping
// exists while a handle to it is open somewhere; one left behind by a process that ended is
// gone. Unnamed mappings live in anonymous memory.

#include "win32/base.h"

namespace win32 {

constexpr DWORD PAGE_READONLY = 0x02;
constexpr DWORD PAGE_READWRITE = 0x04;

constexpr DWORD FILE_MAP_WRITE = 0x0002;
constexpr DWORD FILE_MAP_READ = 0x0004;
constexpr DWORD FILE_MAP_ALL_ACCESS = 0x000F001F;

// Page-file mappings only (`file` must be INVALID_HANDLE_VALUE, else ERROR_NOT_SUPPORTED); the
// size must be above 0. An existing live mapping of the name is opened instead, with
// ERROR_ALREADY_EXISTS; a new one starts zeroed.
WIN32_API HANDLE CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES attributes, DWORD protect,
                                    DWORD maximumSizeHigh, DWORD maximumSizeLow, LPCWSTR name);
// Finds a live named mapping; anything else is ERROR_FILE_NOT_FOUND.
WIN32_API HANDLE OpenFileMappingW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name);
// bytes 0: to the end. A write view of a mapping opened for reading: ERROR_ACCESS_DENIED.
WIN32_API LPVOID MapViewOfFile(HANDLE mapping, DWORD desiredAccess, DWORD fileOffsetHigh,
                               DWORD fileOffsetLow, SIZE_T bytes);
WIN32_API BOOL UnmapViewOfFile(LPCVOID baseAddress);

}  // namespace win32
