#pragma once
// A kernel object over one POSIX descriptor (pipe ends today). ReadFile, WriteFile and CloseHandle
// in file.cpp reach any such object through Lookup<FdObject>, so objects made elsewhere in the
// layer need no case of their own there.

#include "handles.h"

namespace win32::detail {

// Owns its descriptor and closes it when the last reference goes.
// Threading: ReadSync and WriteSync may run on any thread; the descriptor is constant.
class FdObject : public KernelObject {
 public:
  FdObject(ObjectKind kind, int fd) : KernelObject(kind), m_fd(fd) {}
  ~FdObject() override;

  int Fd() const { return m_fd; }

  // Synchronous ReadFile: blocks until some bytes come. The end of a pipe (every writer gone)
  // is FALSE with ERROR_BROKEN_PIPE, as Windows reports it; other descriptors give TRUE, 0 bytes.
  virtual BOOL ReadSync(void* pBuffer, DWORD toRead, DWORD* pRead);
  // Synchronous WriteFile: writes everything or fails. A pipe without a reader fails with
  // ERROR_NO_DATA, never with SIGPIPE.
  virtual BOOL WriteSync(const void* pBuffer, DWORD toWrite, DWORD* pWritten);

 private:
  const int m_fd;
};

}  // namespace win32::detail
