#include "fdobject.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace win32::detail {
namespace {

// Windows has no SIGPIPE: a write to a pipe whose reader is gone must fail, not kill the
// process. The signal is blocked on this thread around the write, and one raised by it is
// consumed before the mask is restored (unless one was already pending for other reasons).
class ScopedSigpipeBlock {
 public:
  ScopedSigpipeBlock() {
    sigemptyset(&m_pipeSet);
    sigaddset(&m_pipeSet, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    m_wasPending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &m_pipeSet, &m_oldMask);
  }
  ScopedSigpipeBlock(const ScopedSigpipeBlock&) = delete;
  ScopedSigpipeBlock& operator=(const ScopedSigpipeBlock&) = delete;
  ~ScopedSigpipeBlock() {
    if (m_raised && !m_wasPending) {
      timespec zero = {0, 0};
      while (sigtimedwait(&m_pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &m_oldMask, nullptr);
  }
  void NoteRaised() { m_raised = true; }

 private:
  sigset_t m_pipeSet;
  sigset_t m_oldMask;
  bool m_wasPending = false;
  bool m_raised = false;
};

}  // namespace

FdObject::~FdObject() {
  if (m_fd >= 0) close(m_fd);
}

BOOL FdObject::ReadSync(void* pBuffer, DWORD toRead, DWORD* pRead) {
  if (pRead) *pRead = 0;
  ssize_t r;
  do {
    r = read(m_fd, pBuffer, toRead);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return Fail(Win32ErrorFromErrno(errno));
  if (r == 0 && toRead > 0 && Kind() == ObjectKind::kPipe) return Fail(ERROR_BROKEN_PIPE);
  if (pRead) *pRead = static_cast<DWORD>(r);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL FdObject::WriteSync(const void* pBuffer, DWORD toWrite, DWORD* pWritten) {
  if (pWritten) *pWritten = 0;
  const char* p = static_cast<const char*>(pBuffer);
  DWORD done = 0;
  int err = 0;
  {
    ScopedSigpipeBlock guard;
    while (done < toWrite) {
      ssize_t r = write(m_fd, p + done, toWrite - done);
      if (r < 0) {
        if (errno == EINTR) continue;
        err = errno;
        if (err == EPIPE) guard.NoteRaised();
        break;
      }
      done += static_cast<DWORD>(r);
    }
  }
  if (pWritten) *pWritten = done;
  if (err != 0) return Fail(Win32ErrorFromErrno(err));
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // namespace win32::detail
