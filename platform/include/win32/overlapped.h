#pragma once
// The overlapped request header shared by sockets and files. The pointer handed to a request is
// the pointer a completion returns, so callers may embed it first in a larger record.

#include "win32/base.h"

namespace win32 {

struct OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    void* Pointer;
  };
  HANDLE hEvent;
};
using LPOVERLAPPED = OVERLAPPED*;

}  // namespace win32
