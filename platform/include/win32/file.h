#pragma once
// Files and folders: handles with share modes, synchronous I/O, sizes and times, attributes,
// moves and copies, enumeration and byte-range locks. Paths are in Windows form (either
// separator; a drive letter maps through the drive table of win32/drive.h) and reach the file
// system as POSIX paths.
//
// Share modes are honoured between users of this layer, across processes too: an open for
// writing that does not share writing excludes every other writer (ERROR_SHARING_VIOLATION).
// Other programs, and renames or deletes of open files, are not held back.

#include "win32/base.h"
#include "win32/overlapped.h"
#include "win32/time.h"

namespace win32 {

constexpr DWORD ERROR_NEGATIVE_SEEK = 131;
constexpr DWORD ERROR_BAD_PATHNAME = 161;

// Access rights
constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD GENERIC_ALL = 0x10000000;
constexpr DWORD FILE_READ_DATA = 0x0001;
constexpr DWORD FILE_WRITE_DATA = 0x0002;
constexpr DWORD FILE_APPEND_DATA = 0x0004;

// Share modes
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD FILE_SHARE_DELETE = 0x4;

// Creation dispositions
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;

// Attributes and flags
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x01;
constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x02;
constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x04;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
constexpr DWORD FILE_ATTRIBUTE_NOT_CONTENT_INDEXED = 0x2000;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
constexpr DWORD FILE_FLAG_WRITE_THROUGH = 0x80000000;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;
constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;

// File pointer
constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;
constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFF;
constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFF;

// MoveFileExW
constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
constexpr DWORD MOVEFILE_COPY_ALLOWED = 0x2;
constexpr DWORD MOVEFILE_WRITE_THROUGH = 0x8;

// LockFileEx
constexpr DWORD LOCKFILE_FAIL_IMMEDIATELY = 0x1;
constexpr DWORD LOCKFILE_EXCLUSIVE_LOCK = 0x2;

struct WIN32_FILE_ATTRIBUTE_DATA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
};

enum GET_FILEEX_INFO_LEVELS { GetFileExInfoStandard, GetFileExMaxInfoLevel };

struct WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[MAX_PATH];
  WCHAR cAlternateFileName[14];
};
using LPWIN32_FIND_DATAW = WIN32_FIND_DATAW*;

// Opens or creates a file. OPEN_ALWAYS and CREATE_ALWAYS leave ERROR_ALREADY_EXISTS (183) when
// the file was there, 0 when they created it; an existing file is truncated only after the
// share check passed, so a refused open never damages the holder's file. CREATE_NEW on an
// existing file fails with ERROR_FILE_EXISTS (80); a missing folder gives ERROR_PATH_NOT_FOUND.
// "\\.\" device names go to the disk reader. FILE_FLAG_OVERLAPPED is not supported (50).
WIN32_API HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                             LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                             DWORD flagsAndAttributes, HANDLE templateFile);
WIN32_API HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                             LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                             DWORD flagsAndAttributes, HANDLE templateFile);

// Synchronous I/O on files and pipes (overlapped must be null). ReadFile on a file returns fewer
// bytes only at its end; WriteFile writes everything or fails with the mapped error (disk full
// is ERROR_HANDLE_DISK_FULL, 39) and the count written so far.
WIN32_API BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD pRead,
                        LPOVERLAPPED overlapped);
WIN32_API BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD pWritten,
                         LPOVERLAPPED overlapped);

// Returns the low part of the new position; with distanceHigh, the distance and the result are
// 64-bit. Failure is INVALID_SET_FILE_POINTER with a non-zero last error (success sets 0, since
// the low part may itself be 0xFFFFFFFF). Without distanceHigh a target beyond 4 GiB fails (87).
WIN32_API DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD moveMethod);
WIN32_API BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER* pNewPosition,
                                DWORD moveMethod);
// Cuts (or extends) the file at the current position.
WIN32_API BOOL SetEndOfFile(HANDLE file);
// Same convention as SetFilePointer: INVALID_FILE_SIZE with last error 0 is a real size.
WIN32_API DWORD GetFileSize(HANDLE file, LPDWORD pSizeHigh);
WIN32_API BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* pSize);
// Makes the data (and the size needed to read it back) durable.
WIN32_API BOOL FlushFileBuffers(HANDLE file);

// Null or zero times are left as they are; the creation time cannot be set here and is ignored.
// A FILETIME with the top bit set fails with ERROR_INVALID_PARAMETER and changes nothing.
WIN32_API BOOL SetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* lastAccess,
                           const FILETIME* lastWrite);
WIN32_API BOOL GetFileTime(HANDLE file, FILETIME* creation, FILETIME* lastAccess,
                           FILETIME* lastWrite);

// Directory, archive (plain files), hidden (names starting with '.'), read-only (no write bit),
// reparse point (a symbolic link: the other attributes are its target's). FindFirstFileW too.
// INVALID_FILE_ATTRIBUTES with 2 or 3 when missing.
WIN32_API DWORD GetFileAttributesW(LPCWSTR fileName);
WIN32_API DWORD GetFileAttributesA(LPCSTR fileName);
WIN32_API BOOL GetFileAttributesExW(LPCWSTR fileName, GET_FILEEX_INFO_LEVELS infoLevel,
                                    LPVOID pInfo);
// The file must exist; hidden, system, read-only and the other attributes are accepted and have
// no effect.
WIN32_API BOOL SetFileAttributesW(LPCWSTR fileName, DWORD attributes);

// 183 when it exists, 3 when the parent is missing, 5 when denied.
WIN32_API BOOL CreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES securityAttributes);
WIN32_API BOOL CreateDirectoryA(LPCSTR pathName, LPSECURITY_ATTRIBUTES securityAttributes);
WIN32_API BOOL RemoveDirectoryW(LPCWSTR pathName);
WIN32_API BOOL DeleteFileW(LPCWSTR fileName);
WIN32_API BOOL DeleteFileA(LPCSTR fileName);

// Without MOVEFILE_REPLACE_EXISTING an existing target fails with ERROR_ALREADY_EXISTS, checked
// atomically. With it the target is replaced atomically. Across file systems: ERROR_NOT_SAME_DEVICE
// (copying is not offered).
WIN32_API BOOL MoveFileW(LPCWSTR existingFileName, LPCWSTR newFileName);
WIN32_API BOOL MoveFileExW(LPCWSTR existingFileName, LPCWSTR newFileName, DWORD flags);
// Copies through a temporary file beside the target, renamed into place, so the target is
// never seen half-written. failIfExists: an existing target fails with ERROR_FILE_EXISTS (80).
WIN32_API BOOL CopyFileW(LPCWSTR existingFileName, LPCWSTR newFileName, BOOL failIfExists);

// Wildcards * and ? in the last component ("*.*" is everything, "." and ".." included);
// case-sensitive like the file system. Names holding '\' or bytes that are not UTF-8 cannot be
// addressed in Windows form and are skipped. No match: ERROR_FILE_NOT_FOUND; the end:
// ERROR_NO_MORE_FILES.
WIN32_API HANDLE FindFirstFileW(LPCWSTR fileName, WIN32_FIND_DATAW* pFindData);
WIN32_API BOOL FindNextFileW(HANDLE findFile, WIN32_FIND_DATAW* pFindData);
WIN32_API BOOL FindClose(HANDLE findFile);

// mkdir -p for a full path. Returns (and sets as last error) ERROR_SUCCESS, ERROR_ALREADY_EXISTS
// when the folder was there, ERROR_FILE_EXISTS when a file holds the name, ERROR_BAD_PATHNAME
// for a relative path, or the error of the step that failed.
WIN32_API int SHCreateDirectoryExW(HWND hwnd, LPCWSTR path,
                                   const SECURITY_ATTRIBUTES* securityAttributes);

// Byte-range locks at overlapped->Offset/OffsetHigh, between handles (also across processes).
// Locks are advisory: they hold back other lockers, not reads and writes. A range reaching past
// 2^62 is cut there. Blocking unless LOCKFILE_FAIL_IMMEDIATELY, which fails with
// ERROR_LOCK_VIOLATION (33) on a conflict.
WIN32_API BOOL LockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD bytesLow, DWORD bytesHigh,
                          LPOVERLAPPED overlapped);
WIN32_API BOOL UnlockFileEx(HANDLE file, DWORD reserved, DWORD bytesLow, DWORD bytesHigh,
                            LPOVERLAPPED overlapped);

}  // namespace win32
