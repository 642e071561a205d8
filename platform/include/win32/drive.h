#pragma once
// Drive letters. The layer keeps a table, letter to folder:
// - C: is the home folder (<LUMIDOCK_ROOT>/drives/C in a sandbox);
// - D: onwards are the other writable, non-removable block-device mounts, one letter per
//   device (the home folder's device has C:, and of several mounts of one device the one
//   showing most of it counts). A letter, once given to a device, stays with it (recorded in
//   the registry), so a folder on D: never moves to another disk; while the device is absent
//   its letter names nothing. A sandbox sees no real mounts.
// - LUMIDOCK_DRIVES="C=/x/c;D=/x/d,free=<bytes>" replaces the table (tests); entries that are
//   not a letter, "=", and an absolute folder are ignored, and so are those naming something
//   that is not a folder; a missing folder keeps its letter. Each such entry is reported once
//   per process (see SetDriveWarningWriter).
//
// "X:\rest" reaches the file system as <folder of X>/rest, where ".." stops at the drive's root;
// "X:" without a backslash after it, and letters naming nothing, fail with ERROR_PATH_NOT_FOUND
// and create nothing. Rooted "\rest" stays the POSIX path "/rest". The system folder
// ("X:\Windows\System32", any letter) is the layer's own and maps before the table.

#include "win32/base.h"

namespace win32 {

constexpr UINT DRIVE_UNKNOWN = 0;
constexpr UINT DRIVE_NO_ROOT_DIR = 1;
constexpr UINT DRIVE_REMOVABLE = 2;
constexpr UINT DRIVE_FIXED = 3;

constexpr UINT SEM_FAILCRITICALERRORS = 0x0001;
constexpr UINT SEM_NOOPENFILEERRORBOX = 0x8000;

// Bit n set: letter 'A' + n names a folder now.
WIN32_API DWORD GetLogicalDrives();
// DRIVE_FIXED for a letter of the table ("X:" or "X:\"), DRIVE_NO_ROOT_DIR otherwise.
WIN32_API UINT GetDriveTypeW(LPCWSTR rootPathName);
// statvfs of the folder (the drive's, or any folder given); a "free=" entry replaces the free
// counts. Any pointer may be null.
WIN32_API BOOL GetDiskFreeSpaceExW(LPCWSTR directoryName, ULARGE_INTEGER* pFreeToCaller,
                                   ULARGE_INTEGER* pTotal, ULARGE_INTEGER* pTotalFree);
// Each bad LUMIDOCK_DRIVES entry is reported once per process, as a line on stderr and to this
// writer (a program hands it to its log); the lines reported before the writer was set are
// handed to it at once. Null: stderr only. Threading: any thread.
using DriveWarningWriter = void (*)(const char* pLine);
WIN32_API void SetDriveWarningWriter(DriveWarningWriter writer);
// No system dialogs exist here; the mode is kept and returned.
WIN32_API UINT SetErrorMode(UINT mode);

}  // namespace win32
