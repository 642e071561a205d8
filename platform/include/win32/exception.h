#pragma once
// Software exceptions. Nothing in this process handles one, so RaiseException behaves as an
// unhandled exception would: it ends the process (a line on stderr, then abort, which leaves a
// core dump and the crash handlers' report). The one exception is the debuggers' thread-naming
// convention, which names the thread and returns.

#include "win32/base.h"

namespace win32 {

constexpr DWORD EXCEPTION_NONCONTINUABLE = 0x1;
constexpr DWORD EXCEPTION_MAXIMUM_PARAMETERS = 15;

// The thread-naming exception: the arguments are a THREADNAME_INFO (dwType 0x1000), read as
// ULONG_PTRs. dwThreadID (DWORD)-1 means the calling thread.
constexpr DWORD MS_VC_EXCEPTION = 0x406D1388;
struct THREADNAME_INFO {
  DWORD dwType;
  LPCSTR szName;
  DWORD dwThreadID;
  DWORD dwFlags;
};

// MS_VC_EXCEPTION: the kernel keeps the first 15 bytes of the name (cut at a character
// boundary), which is what ps, top, gdb and /proc/<pid>/task/<tid>/comm show; a thread of another
// process or an unknown id is left alone. Any other code does not return.
WIN32_API void RaiseException(DWORD code, DWORD flags, DWORD numberOfArguments,
                              const ULONG_PTR* arguments);

}  // namespace win32
