#pragma once
// Child processes and anonymous pipes.
//
// Pipes are POSIX pipes; ReadFile on a read end blocks until bytes come and fails with
// ERROR_BROKEN_PIPE once every write end is closed (the child's and the parent's copy alike).
// A child receives only its three standard handles: every other descriptor of the layer stays
// close-on-exec, whatever the inheritance flags say (Windows would hand over every inheritable
// handle). A process handle is waitable and becomes signalled when the child has ended; the child
// is always reaped, so closing its handle early leaves no zombie behind.

#include "win32/base.h"
#include "win32/thread.h"

namespace win32 {

// dwFlags of STARTUPINFOW
constexpr DWORD STARTF_USESHOWWINDOW = 0x00000001;
constexpr DWORD STARTF_USESTDHANDLES = 0x00000100;

// Creation flags (window and console flags are accepted and have no effect here).
constexpr DWORD CREATE_NEW_CONSOLE = 0x00000010;
constexpr DWORD CREATE_UNICODE_ENVIRONMENT = 0x00000400;
constexpr DWORD CREATE_NO_WINDOW = 0x08000000;

struct STARTUPINFOW {
  DWORD cb;
  LPWSTR lpReserved;
  LPWSTR lpDesktop;
  LPWSTR lpTitle;
  DWORD dwX;
  DWORD dwY;
  DWORD dwXSize;
  DWORD dwYSize;
  DWORD dwXCountChars;
  DWORD dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  BYTE* lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
};
using LPSTARTUPINFOW = STARTUPINFOW*;

struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};
using LPPROCESS_INFORMATION = PROCESS_INFORMATION*;

// Both ends are close-on-exec; `size` is a hint and ignored.
WIN32_API BOOL CreatePipe(PHANDLE readPipe, PHANDLE writePipe, LPSECURITY_ATTRIBUTES attributes,
                          DWORD size);

// The command line is split by the Windows rules (quotes group, backslashes escape only before a
// quote). The program is `applicationName` when given, else the first word; "X.exe" names the
// program "X"; a name without a separator is searched on PATH. A program that does not exist
// fails with ERROR_FILE_NOT_FOUND; one that cannot run with ERROR_ACCESS_DENIED.
// With STARTF_USESTDHANDLES the child's standard input, output and error are the given handles
// (a null one becomes /dev/null); otherwise it shares the caller's. `environment` must be null
// (the child gets the caller's), else ERROR_NOT_SUPPORTED. hThread is a waitable handle that is
// signalled together with hProcess; both ids are the child's process id.
WIN32_API BOOL CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine,
                              LPSECURITY_ATTRIBUTES processAttributes,
                              LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                              DWORD creationFlags, LPVOID environment, LPCWSTR currentDirectory,
                              LPSTARTUPINFOW startupInfo, LPPROCESS_INFORMATION processInformation);

// STILL_ACTIVE while the child runs; then its exit status, or 128 + the signal that ended it.
WIN32_API BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode);

// Ends the child at once (SIGKILL); its exit code becomes `exitCode`. A child that has already
// ended fails with ERROR_ACCESS_DENIED, as on Windows.
WIN32_API BOOL TerminateProcess(HANDLE process, UINT exitCode);

}  // namespace win32
