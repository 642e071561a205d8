#include <cerrno>

#include "handles.h"

namespace win32::detail {

// File and other kernel calls.
DWORD Win32ErrorFromErrno(int err) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    // Disk full and vanished devices take the numbers the upload road maps to its results.
    case ENOSPC:
    case EDQUOT: return ERROR_HANDLE_DISK_FULL;
    case ENODEV:
    case ENXIO: return ERROR_NOT_DOS_DISK;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EXDEV: return ERROR_NOT_SAME_DEVICE;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EINVAL:
    case EFBIG: return ERROR_INVALID_PARAMETER;
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EIO: return ERROR_IO_DEVICE;
    case EBUSY:
    case ETXTBSY: return ERROR_SHARING_VIOLATION;
    case EPIPE: return ERROR_NO_DATA;
    case EAGAIN: return ERROR_LOCK_VIOLATION;
    case ELOOP: return ERROR_CANTOPEN;
    case ETIMEDOUT: return ERROR_SEM_TIMEOUT;
    case ENOSYS:
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    default: return ERROR_INVALID_FUNCTION;  // no closer Windows meaning
  }
}

// Immediate Winsock calls.
DWORD WsaErrorFromErrno(int err) {
  switch (err) {
    case 0: return 0;
    case EAGAIN:
    case EINPROGRESS: return 10035;  // WSAEWOULDBLOCK: the connect code waits on exactly this
    case EALREADY: return 10037;
    case EBADF:
    case ENOTSOCK: return 10038;
    case ECONNRESET:
    case EPIPE: return 10054;
    case ECONNREFUSED: return 10061;
    case ETIMEDOUT: return 10060;
    case ENETUNREACH: return 10051;
    case ENETDOWN: return 10050;
    case EHOSTUNREACH: return 10065;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ECONNABORTED: return 10053;
    case EMSGSIZE: return 10040;
    case ENOBUFS:
    case ENOMEM: return 10055;
    case EMFILE:
    case ENFILE: return 10024;
    case EINVAL: return 10022;
    case EACCES:
    case EPERM: return 10013;
    case EAFNOSUPPORT: return 10047;
    case EPROTONOSUPPORT: return 10043;
    case ENOTCONN: return 10057;
    case EISCONN: return 10056;
    case EOPNOTSUPP: return 10045;
    case EFAULT: return 10014;
    case EINTR: return 10004;
    default: return 10022;  // WSAEINVAL: no closer meaning
  }
}

// How Windows reports a failed overlapped request through GetQueuedCompletionStatus.
DWORD CompletionErrorFromErrno(int err) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ECONNRESET:
    case EPIPE: return ERROR_NETNAME_DELETED;
    case ECANCELED: return ERROR_OPERATION_ABORTED;
    case ECONNABORTED: return ERROR_CONNECTION_ABORTED;
    case ETIMEDOUT: return ERROR_SEM_TIMEOUT;
    case ECONNREFUSED: return ERROR_CONNECTION_REFUSED;
    case EMSGSIZE: return ERROR_MORE_DATA;
    default: return WsaErrorFromErrno(err);
  }
}

}  // namespace win32::detail
