#include "win32/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "devices.h"
#include "fdobject.h"
#include "handles.h"
#include "paths.h"
#include "win32/strings.h"

namespace win32 {
namespace {

using detail::Fail;

// Share modes live in an open-file-description lock on one byte no real file reaches. Such locks
// belong to the open (not the process), conflict across processes and vanish with the last
// descriptor, which is exactly the lifetime of a Windows share reservation.
constexpr off_t kShareSentinel = off_t{1} << 62;

HANDLE FailHandle(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

bool ParentIsDirectory(const std::string& posix) {
  std::string parent = posix;
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  size_t cut = parent.find_last_of('/');
  if (cut == std::string::npos) return true;  // relative: the current folder
  parent.resize(cut == 0 ? 1 : cut);
  struct stat st;
  return stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// errno of a call on `posix` -> Win32 error. Windows tells a missing file (2) from a missing
// folder on the way (3), and refuses file operations on folders with 5.
DWORD PathError(int err, const std::string& posix) {
  switch (err) {
    case ENOENT:
      return ParentIsDirectory(posix) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    default:
      return detail::Win32ErrorFromErrno(err);
  }
}

// Null name: 87. A name that converts to nothing (empty): 3.
bool PosixName(LPCWSTR name, std::string* pPosix, DWORD* pError) {
  if (!name) {
    *pError = ERROR_INVALID_PARAMETER;
    return false;
  }
  if (!detail::ToPosixPath(std::u16string_view(name), pPosix)) {
    *pError = ERROR_PATH_NOT_FOUND;
    return false;
  }
  return true;
}

std::string BaseName(const std::string& posix) {
  std::string path = posix;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  size_t cut = path.find_last_of('/');
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

struct FileFacts {
  DWORD attributes = 0;
  FILETIME creation = {0, 0};
  FILETIME lastAccess = {0, 0};
  FILETIME lastWrite = {0, 0};
  uint64_t size = 0;
};

void ToFileTime(const struct statx_timestamp& t, FILETIME* pFt) {
  timespec ts = {static_cast<time_t>(t.tv_sec), static_cast<long>(t.tv_nsec)};
  if (!TimespecToFileTime(ts, pFt)) *pFt = FILETIME{0, 0};
}

// statx of dirFd/path (AT_EMPTY_PATH with "" for a descriptor). `name` decides "hidden". A
// symbolic link reports its target's facts (its own when it dangles) and is flagged as a reparse
// point, which is how Windows marks links.
bool ReadFacts(int dirFd, const char* path, int flags, const std::string& name, FileFacts* pFacts,
               int* pErr) {
  struct statx stx;
  const int lookFlags = (flags & AT_EMPTY_PATH) ? flags : flags | AT_SYMLINK_NOFOLLOW;
  if (statx(dirFd, path, lookFlags, STATX_BASIC_STATS | STATX_BTIME, &stx) != 0) {
    *pErr = errno;
    return false;
  }
  const bool isLink = S_ISLNK(stx.stx_mode);
  if (isLink && !(flags & AT_SYMLINK_NOFOLLOW)) {
    struct statx target;
    if (statx(dirFd, path, flags, STATX_BASIC_STATS | STATX_BTIME, &target) == 0) stx = target;
  }
  const bool isDir = S_ISDIR(stx.stx_mode);
  pFacts->attributes = isDir ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
  if (!isDir && (stx.stx_mode & 0222) == 0) pFacts->attributes |= FILE_ATTRIBUTE_READONLY;
  if (name.size() > 1 && name[0] == '.' && name != "..") {
    pFacts->attributes |= FILE_ATTRIBUTE_HIDDEN;
  }
  if (isLink) pFacts->attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
  pFacts->size = isDir ? 0 : stx.stx_size;
  ToFileTime(stx.stx_atime, &pFacts->lastAccess);
  ToFileTime(stx.stx_mtime, &pFacts->lastWrite);
  // Not every file system records a birth time; the last write is the nearest stand-in.
  ToFileTime((stx.stx_mask & STATX_BTIME) ? stx.stx_btime : stx.stx_mtime, &pFacts->creation);
  return true;
}

// A file opened through CreateFileW.
// Lifetime: owned by the handle table and by callers in the middle of a call; the descriptor
//   (and with it the share reservation) goes when the last of them lets go.
// Threading: any thread; the descriptor's file position is shared, as a Windows handle's is.
class FileObject final : public detail::FdObject {
 public:
  FileObject(int fd, bool canRead, bool canWrite)
      : FdObject(detail::ObjectKind::kFile, fd), m_canRead(canRead), m_canWrite(canWrite) {
    struct stat st;
    m_regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  }

  bool CanWrite() const { return m_canWrite; }
  bool IsRegular() const { return m_regular; }

  // FdObject:
  // A file read returns fewer bytes than asked only at the end of the file.
  BOOL ReadSync(void* pBuffer, DWORD toRead, DWORD* pRead) override {
    if (pRead) *pRead = 0;
    if (!m_canRead) return Fail(ERROR_ACCESS_DENIED);
    if (!m_regular) return FdObject::ReadSync(pBuffer, toRead, pRead);
    char* p = static_cast<char*>(pBuffer);
    DWORD done = 0;
    int err = 0;
    while (done < toRead) {
      ssize_t r = read(Fd(), p + done, toRead - done);
      if (r < 0) {
        if (errno == EINTR) continue;
        err = errno;
        break;
      }
      if (r == 0) break;
      done += static_cast<DWORD>(r);
    }
    if (pRead) *pRead = done;
    if (err != 0)
      return Fail(err == EISDIR ? ERROR_ACCESS_DENIED : detail::Win32ErrorFromErrno(err));
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }

  BOOL WriteSync(const void* pBuffer, DWORD toWrite, DWORD* pWritten) override {
    if (pWritten) *pWritten = 0;
    if (!m_canWrite) return Fail(ERROR_ACCESS_DENIED);
    if (!m_regular) return FdObject::WriteSync(pBuffer, toWrite, pWritten);
    const char* p = static_cast<const char*>(pBuffer);
    DWORD done = 0;
    int err = 0;
    while (done < toWrite) {
      ssize_t r = write(Fd(), p + done, toWrite - done);
      if (r < 0) {
        if (errno == EINTR) continue;
        err = errno;
        break;
      }
      done += static_cast<DWORD>(r);
    }
    if (pWritten) *pWritten = done;
    if (err != 0) return Fail(detail::Win32ErrorFromErrno(err));
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }

 private:
  // Set in the constructor, then constant.
  const bool m_canRead;
  const bool m_canWrite;
  bool m_regular = false;
};

std::shared_ptr<FileObject> LookupFile(HANDLE handle) { return detail::Lookup<FileObject>(handle); }

// Takes the share reservation: writers that deny writing hold the sentinel exclusively, writers
// that allow it hold it shared. False only on a conflict; a file system without such locks
// simply goes unguarded.
bool ReserveShare(int fd, bool exclusive) {
  struct flock fl = {};
  fl.l_type = exclusive ? F_WRLCK : F_RDLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = kShareSentinel;
  fl.l_len = 1;
  if (fcntl(fd, F_OFD_SETLK, &fl) == 0) return true;
  return errno != EAGAIN && errno != EACCES;
}

HANDLE OpenFile(const std::string& posix, DWORD access, DWORD shareMode, DWORD disposition,
                DWORD flags) {
  const bool wantRead = (access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) != 0;
  const bool wantWrite =
      (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
  if (flags & FILE_FLAG_OVERLAPPED) return FailHandle(ERROR_NOT_SUPPORTED);
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING ||
      (disposition == TRUNCATE_EXISTING && !wantWrite)) {
    return FailHandle(ERROR_INVALID_PARAMETER);
  }
  int baseFlags = O_CLOEXEC | (wantWrite ? O_RDWR : O_RDONLY);
  if (flags & FILE_FLAG_WRITE_THROUGH) baseFlags |= O_DSYNC;

  // A writer opens read-write when it may, because a shared share reservation is a read lock.
  auto openOnce = [&](int extra) {
    int fd;
    do {
      fd = open(posix.c_str(), baseFlags | extra, 0666);
      if (fd < 0 && errno == EACCES && wantWrite && !wantRead) {
        fd = open(posix.c_str(), (baseFlags & ~O_RDWR) | O_WRONLY | extra, 0666);
      }
    } while (fd < 0 && errno == EINTR);
    return fd;
  };

  int fd = -1;
  bool existed = false;
  switch (disposition) {
    case CREATE_NEW:
      fd = openOnce(O_CREAT | O_EXCL);
      if (fd < 0 && errno == EEXIST) return FailHandle(ERROR_FILE_EXISTS);
      break;
    case OPEN_EXISTING:
    case TRUNCATE_EXISTING:
      fd = openOnce(0);
      existed = true;
      break;
    default:
      // OPEN_ALWAYS / CREATE_ALWAYS: tell "opened" from "created" without O_TRUNC, which must
      // wait for the share check. The loop settles a race with a concurrent create or delete.
      for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        fd = openOnce(0);
        if (fd >= 0) {
          existed = true;
          break;
        }
        if (errno != ENOENT) break;
        fd = openOnce(O_CREAT | O_EXCL);
        if (fd < 0 && errno != EEXIST) break;
      }
      break;
  }
  if (fd < 0) return FailHandle(PathError(errno, posix));

  auto file = std::make_shared<FileObject>(fd, wantRead, wantWrite);  // closes fd on every path
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && !(flags & FILE_FLAG_BACKUP_SEMANTICS)) {
    return FailHandle(ERROR_ACCESS_DENIED);
  }
  if (wantWrite && !ReserveShare(fd, (shareMode & FILE_SHARE_WRITE) == 0)) {
    return FailHandle(ERROR_SHARING_VIOLATION);
  }
  if (existed && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) &&
      file->IsRegular()) {
    int r = wantWrite ? ftruncate(fd, 0) : truncate(posix.c_str(), 0);
    if (r != 0) return FailHandle(detail::Win32ErrorFromErrno(errno));
  }
  HANDLE handle = detail::InsertHandle(std::move(file));
  if (!handle) return INVALID_HANDLE_VALUE;  // last error already set
  const bool reportExisting =
      existed && (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS);
  SetLastError(reportExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

// Moves the file position; target beyond 4 GiB is refused when the caller can only see 32 bits.
bool Seek(FileObject* pFile, int64_t distance, DWORD method, bool limit32, int64_t* pNew,
          DWORD* pError) {
  int64_t base = 0;
  if (method == FILE_CURRENT) {
    base = lseek(pFile->Fd(), 0, SEEK_CUR);
  } else if (method == FILE_END) {
    struct stat st;
    base = fstat(pFile->Fd(), &st) == 0 ? st.st_size : -1;
  } else if (method != FILE_BEGIN) {
    *pError = ERROR_INVALID_PARAMETER;
    return false;
  }
  if (base < 0) {
    *pError = detail::Win32ErrorFromErrno(errno);
    return false;
  }
  int64_t target;
  if (__builtin_add_overflow(base, distance, &target)) {
    *pError = distance < 0 ? ERROR_NEGATIVE_SEEK : ERROR_INVALID_PARAMETER;
    return false;
  }
  if (target < 0) {
    *pError = ERROR_NEGATIVE_SEEK;
    return false;
  }
  if (limit32 && target > 0xFFFFFFFFll) {
    *pError = ERROR_INVALID_PARAMETER;
    return false;
  }
  if (lseek(pFile->Fd(), target, SEEK_SET) < 0) {
    *pError = detail::Win32ErrorFromErrno(errno);
    return false;
  }
  *pNew = target;
  return true;
}

// --- Find handles ---

// '*' matches any run, '?' one UTF-16 unit; "*.*" matches every name, as on Windows.
bool WildcardMatch(std::u16string_view pattern, std::u16string_view name) {
  if (pattern == u"*.*") pattern = u"*";
  size_t p = 0;
  size_t n = 0;
  size_t starP = std::u16string_view::npos;
  size_t starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == u'?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == u'*') {
      starP = p++;
      starN = n;
    } else if (starP != std::u16string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}

void FillFindData(const FileFacts& facts, std::u16string_view name, WIN32_FIND_DATAW* pData) {
  memset(pData, 0, sizeof(*pData));
  pData->dwFileAttributes = facts.attributes;
  pData->ftCreationTime = facts.creation;
  pData->ftLastAccessTime = facts.lastAccess;
  pData->ftLastWriteTime = facts.lastWrite;
  pData->nFileSizeHigh = static_cast<DWORD>(facts.size >> 32);
  pData->nFileSizeLow = static_cast<DWORD>(facts.size);
  size_t n = name.size() < MAX_PATH ? name.size() : MAX_PATH - 1;
  std::copy(name.begin(), name.begin() + n, pData->cFileName);
}

// An enumeration in progress.
// Lifetime: owned by the handle table until FindClose; the directory stream closes with it.
// Threading: Next may be called from any thread; m_lock serialises the directory stream.
class FindObject final : public detail::KernelObject {
 public:
  // pDir null: a search without wildcards, whose single answer was already given.
  FindObject(DIR* pDir, std::u16string pattern)
      : KernelObject(detail::ObjectKind::kFind), m_pDir(pDir), m_pattern(std::move(pattern)) {}
  FindObject(const FindObject&) = delete;
  FindObject& operator=(const FindObject&) = delete;
  ~FindObject() override {
    if (m_pDir) closedir(m_pDir);
  }

  // The next matching entry; false with the error (ERROR_NO_MORE_FILES at the end).
  bool Next(WIN32_FIND_DATAW* pData, DWORD* pError) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_pDir) {
      *pError = ERROR_NO_MORE_FILES;
      return false;
    }
    for (;;) {
      errno = 0;
      dirent* pEntry = readdir(m_pDir);
      if (!pEntry) {
        *pError = errno != 0 ? detail::Win32ErrorFromErrno(errno) : ERROR_NO_MORE_FILES;
        return false;
      }
      const std::string name = pEntry->d_name;
      // A name with a backslash, or not valid UTF-8, would turn into a different path when the
      // caller hands it back; such entries cannot be addressed in Windows form.
      if (name.find('\\') != std::string::npos) continue;
      const std::u16string wide = Utf8ToUtf16(name);
      if (Utf16ToUtf8(wide) != name || wide.size() >= MAX_PATH) continue;
      if (!WildcardMatch(m_pattern, wide)) continue;
      FileFacts facts;
      int err = 0;
      if (!ReadFacts(dirfd(m_pDir), name.c_str(), 0, name, &facts, &err) &&
          !ReadFacts(dirfd(m_pDir), name.c_str(), AT_SYMLINK_NOFOLLOW, name, &facts, &err)) {
        continue;  // gone since readdir
      }
      FillFindData(facts, wide, pData);
      return true;
    }
  }

 private:
  std::mutex m_lock;
  DIR* const m_pDir;  // owned
  const std::u16string m_pattern;
};

// Range of a byte-range lock, kept below the share sentinel so that unlocking "the whole file"
// never drops the share reservation.
bool LockRange(const OVERLAPPED* pOverlapped, DWORD low, DWORD high, struct flock* pLock) {
  const uint64_t offset = (uint64_t{pOverlapped->OffsetHigh} << 32) | pOverlapped->Offset;
  const uint64_t length = (uint64_t{high} << 32) | low;
  if (offset >= static_cast<uint64_t>(kShareSentinel)) return false;
  uint64_t end = offset + length;
  if (end < offset || end > static_cast<uint64_t>(kShareSentinel)) end = kShareSentinel;
  *pLock = {};
  pLock->l_whence = SEEK_SET;
  pLock->l_start = static_cast<off_t>(offset);
  pLock->l_len = static_cast<off_t>(end - offset);
  return true;
}

}  // namespace

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE) {
  if (!fileName) return FailHandle(ERROR_INVALID_PARAMETER);
  if (HANDLE device = detail::OpenDeviceByName(fileName, desiredAccess)) return device;
  std::string posix;
  DWORD error;
  if (!PosixName(fileName, &posix, &error)) return FailHandle(error);
  return OpenFile(posix, desiredAccess, shareMode, creationDisposition, flagsAndAttributes);
}

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile) {
  if (!fileName) return FailHandle(ERROR_INVALID_PARAMETER);
  return CreateFileW(Utf8ToUtf16(fileName).c_str(), desiredAccess, shareMode, securityAttributes,
                     creationDisposition, flagsAndAttributes, templateFile);
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD pRead, LPOVERLAPPED overlapped) {
  if (pRead) *pRead = 0;
  std::shared_ptr<detail::FdObject> object = detail::Lookup<detail::FdObject>(file);
  if (!object) return Fail(ERROR_INVALID_HANDLE);
  if (overlapped || (!buffer && toRead > 0)) return Fail(ERROR_INVALID_PARAMETER);
  return object->ReadSync(buffer, toRead, pRead);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD pWritten,
               LPOVERLAPPED overlapped) {
  if (pWritten) *pWritten = 0;
  std::shared_ptr<detail::FdObject> object = detail::Lookup<detail::FdObject>(file);
  if (!object) return Fail(ERROR_INVALID_HANDLE);
  if (overlapped || (!buffer && toWrite > 0)) return Fail(ERROR_INVALID_PARAMETER);
  return object->WriteSync(buffer, toWrite, pWritten);
}

DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD moveMethod) {
  std::shared_ptr<FileObject> object = LookupFile(file);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_SET_FILE_POINTER;
  }
  const int64_t move =
      distanceHigh
          ? static_cast<int64_t>((uint64_t(uint32_t(*distanceHigh)) << 32) | uint32_t(distance))
          : int64_t{distance};
  int64_t position;
  DWORD error;
  if (!Seek(object.get(), move, moveMethod, distanceHigh == nullptr, &position, &error)) {
    SetLastError(error);
    return INVALID_SET_FILE_POINTER;
  }
  if (distanceHigh) *distanceHigh = static_cast<LONG>(position >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(position);
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER* pNewPosition,
                      DWORD moveMethod) {
  std::shared_ptr<FileObject> object = LookupFile(file);
  if (!object) return Fail(ERROR_INVALID_HANDLE);
  int64_t position;
  DWORD error;
  if (!Seek(object.get(), distance.QuadPart, moveMethod, false, &position, &error)) {
    return Fail(error);
  }
  if (pNewPosition) pNewPosition->QuadPart = position;
  return TRUE;
}

BOOL SetEndOfFile(HANDLE file) {
  std::shared_ptr<FileObject> object = LookupFile(file);
  if (!object) return Fail(ERROR_INVALID_HANDLE);
  if (!object->CanWrite()) return Fail(ERROR_ACCESS_DENIED);
  off_t position = lseek(object->Fd(), 0, SEEK_CUR);
  if (position < 0 || ftruncate(object->Fd(), position) != 0) {
    return Fail(detail::Win32ErrorFromErrno(errno));
  }
  return TRUE;
}

DWORD GetFileSize(HANDLE file, LPDWORD pSizeHigh) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) return INVALID_FILE_SIZE;
  if (pSizeHigh) *pSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(size.QuadPart) >> 32);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(size.QuadPart);
}

BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* pSize) {
  std::shared_ptr<FileObject> object = LookupFile(file);
  if (!object) return Fail(ERROR_INVALID_HANDLE);
  if (!pSize) return Fail(ERROR_INVALID_PARAMETER);
  struct stat st;
  if (fstat(object->Fd(), &st) != 0) return Fail(detail::Win32ErrorFromErrno(errno));
  pSize->QuadPart = st.st_size;
  return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
  std::shared_ptr<detail::FdObject> object = detail::Lookup<detail::FdObject>(file);
  if (!object) return Fail(ERROR_INVALID_HANDLE);
  auto* pFile = dynamic_cast<FileObject*>(object.get());
  if (!pFile || !pFile->IsRegular()) return TRUE;  // pipes and devices hold nothing to flush
  if (!pFile->CanWrite()) return Fail(ERROR_ACCESS_DENIED);
  int r;
  do {
    r = fdatasync(pFile->Fd());
  } while (r != 0 && errno == EINTR);
  if (r != 0) return Fail(detail::Win32ErrorFromErrno(errno));
  return TRUE;
}

BOOL SetFileTime(HANDLE file, const FILETIME*, const FILETIME* lastAccess,
                 const FILETIME* lastWrite) {
  std::shared_ptr<FileObject> object = LookupFile(file);
  if (!object) return Fail(ERROR_INVALID_HANDLE);
  timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
  const FILETIME* wanted[2] = {lastAccess, lastWrite};
  for (int i = 0; i < 2; ++i) {
    if (!wanted[i] || FileTimeToUInt64(*wanted[i]) == 0) continue;  // zero: leave as it is
    if (!FileTimeToTimespec(*wanted[i], &times[i])) return Fail(ERROR_INVALID_PARAMETER);
  }
  if (times[0].tv_nsec == UTIME_OMIT && times[1].tv_nsec == UTIME_OMIT) return TRUE;
  if (futimens(object->Fd(), times) != 0) return Fail(detail::Win32ErrorFromErrno(errno));
  return TRUE;
}

BOOL GetFileTime(HANDLE file, FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) {
  std::shared_ptr<FileObject> object = LookupFile(file);
  if (!object) return Fail(ERROR_INVALID_HANDLE);
  FileFacts facts;
  int err = 0;
  if (!ReadFacts(object->Fd(), "", AT_EMPTY_PATH, std::string(), &facts, &err)) {
    return Fail(detail::Win32ErrorFromErrno(err));
  }
  if (creation) *creation = facts.creation;
  if (lastAccess) *lastAccess = facts.lastAccess;
  if (lastWrite) *lastWrite = facts.lastWrite;
  return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR fileName) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(fileName, GetFileExInfoStandard, &data)) {
    return INVALID_FILE_ATTRIBUTES;
  }
  return data.dwFileAttributes;
}

DWORD GetFileAttributesA(LPCSTR fileName) {
  if (!fileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_FILE_ATTRIBUTES;
  }
  return GetFileAttributesW(Utf8ToUtf16(fileName).c_str());
}

BOOL GetFileAttributesExW(LPCWSTR fileName, GET_FILEEX_INFO_LEVELS infoLevel, LPVOID pInfo) {
  if (infoLevel != GetFileExInfoStandard || !pInfo) return Fail(ERROR_INVALID_PARAMETER);
  std::string posix;
  DWORD error;
  if (!PosixName(fileName, &posix, &error)) return Fail(error);
  FileFacts facts;
  int err = 0;
  if (!ReadFacts(AT_FDCWD, posix.c_str(), 0, BaseName(posix), &facts, &err)) {
    return Fail(PathError(err, posix));
  }
  auto* pData = static_cast<WIN32_FILE_ATTRIBUTE_DATA*>(pInfo);
  pData->dwFileAttributes = facts.attributes;
  pData->ftCreationTime = facts.creation;
  pData->ftLastAccessTime = facts.lastAccess;
  pData->ftLastWriteTime = facts.lastWrite;
  pData->nFileSizeHigh = static_cast<DWORD>(facts.size >> 32);
  pData->nFileSizeLow = static_cast<DWORD>(facts.size);
  return TRUE;
}

BOOL SetFileAttributesW(LPCWSTR fileName, DWORD) {
  std::string posix;
  DWORD error;
  if (!PosixName(fileName, &posix, &error)) return Fail(error);
  struct stat st;
  if (stat(posix.c_str(), &st) != 0) return Fail(PathError(errno, posix));
  return TRUE;
}

BOOL CreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES) {
  std::string posix;
  DWORD error;
  if (!PosixName(pathName, &posix, &error)) return Fail(error);
  if (mkdir(posix.c_str(), 0777) != 0) {
    // The folder to create is missing by definition: ENOENT means its parent is.
    return Fail(errno == ENOENT ? ERROR_PATH_NOT_FOUND : PathError(errno, posix));
  }
  return TRUE;
}

BOOL CreateDirectoryA(LPCSTR pathName, LPSECURITY_ATTRIBUTES securityAttributes) {
  if (!pathName) return Fail(ERROR_INVALID_PARAMETER);
  return CreateDirectoryW(Utf8ToUtf16(pathName).c_str(), securityAttributes);
}

BOOL RemoveDirectoryW(LPCWSTR pathName) {
  std::string posix;
  DWORD error;
  if (!PosixName(pathName, &posix, &error)) return Fail(error);
  if (rmdir(posix.c_str()) != 0) return Fail(PathError(errno, posix));
  return TRUE;
}

BOOL DeleteFileW(LPCWSTR fileName) {
  std::string posix;
  DWORD error;
  if (!PosixName(fileName, &posix, &error)) return Fail(error);
  if (unlink(posix.c_str()) != 0) return Fail(PathError(errno, posix));
  return TRUE;
}

BOOL DeleteFileA(LPCSTR fileName) {
  if (!fileName) return Fail(ERROR_INVALID_PARAMETER);
  return DeleteFileW(Utf8ToUtf16(fileName).c_str());
}

BOOL MoveFileW(LPCWSTR existingFileName, LPCWSTR newFileName) {
  return MoveFileExW(existingFileName, newFileName, 0);
}

BOOL MoveFileExW(LPCWSTR existingFileName, LPCWSTR newFileName, DWORD flags) {
  if (flags & ~(MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  std::string from;
  std::string to;
  DWORD error;
  if (!PosixName(existingFileName, &from, &error) || !PosixName(newFileName, &to, &error)) {
    return Fail(error);
  }
  int r;
  if (flags & MOVEFILE_REPLACE_EXISTING) {
    r = rename(from.c_str(), to.c_str());
  } else {
    r = renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
    if (r != 0 && (errno == EINVAL || errno == ENOSYS)) {
      // The file system cannot rename without replacing: a hard link fails atomically on an
      // existing target; folders cannot be linked and get a (racy) check instead.
      struct stat st;
      if (lstat(from.c_str(), &st) != 0) {
        r = -1;
      } else if (!S_ISDIR(st.st_mode)) {
        r = link(from.c_str(), to.c_str());
        if (r == 0 && unlink(from.c_str()) != 0) {
          int err = errno;
          unlink(to.c_str());
          errno = err;
          r = -1;
        }
      } else if (lstat(to.c_str(), &st) == 0) {
        errno = EEXIST;
        r = -1;
      } else {
        r = rename(from.c_str(), to.c_str());
      }
    }
  }
  if (r == 0) return TRUE;
  const int err = errno;
  if (err == EEXIST) return Fail(ERROR_ALREADY_EXISTS);
  if (err == ENOENT) {
    // Either the source is missing (2/3) or the target's folder is (3).
    struct stat st;
    return Fail(lstat(from.c_str(), &st) != 0 ? PathError(ENOENT, from) : ERROR_PATH_NOT_FOUND);
  }
  return Fail(PathError(err, to));
}

BOOL CopyFileW(LPCWSTR existingFileName, LPCWSTR newFileName, BOOL failIfExists) {
  std::string from;
  std::string to;
  DWORD error;
  if (!PosixName(existingFileName, &from, &error) || !PosixName(newFileName, &to, &error)) {
    return Fail(error);
  }
  const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return Fail(PathError(errno, from));
  struct stat st;
  if (fstat(in, &st) != 0 || S_ISDIR(st.st_mode)) {
    close(in);
    return Fail(ERROR_ACCESS_DENIED);
  }
  struct stat targetStat;
  if (failIfExists && lstat(to.c_str(), &targetStat) == 0) {
    close(in);
    return Fail(ERROR_FILE_EXISTS);
  }

  // The temporary file sits beside the target (same file system, so the rename is atomic) and
  // starts with a dot; its name is kept short enough for any target name.
  std::string folder = to;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  size_t cut = folder.find_last_of('/');
  folder = cut == std::string::npos ? std::string(".") : folder.substr(0, cut == 0 ? 1 : cut);
  std::string temp =
      folder + (folder.back() == '/' ? "." : "/.") + BaseName(to).substr(0, 200) + ".XXXXXX";
  const int out = mkostemp(temp.data(), O_CLOEXEC);
  if (out < 0) {
    int err = errno;
    close(in);
    return Fail(err == ENOENT ? ERROR_PATH_NOT_FOUND : PathError(err, to));
  }

  int err = 0;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(in, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      err = errno;
      break;
    }
    if (n == 0) break;
    for (ssize_t done = 0; done < n && err == 0;) {
      ssize_t w = write(out, buffer + done, n - done);
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) {
        err = errno;
      } else {
        done += w;
      }
    }
    if (err != 0) break;
  }
  close(in);
  // Windows keeps the last-write time and the permissions of the source. The data is made
  // durable before the rename, so a crash never leaves an empty file under the target name.
  if (err == 0) {
    timespec times[2] = {st.st_atim, st.st_mtim};
    fchmod(out, st.st_mode & 07777);
    futimens(out, times);
    if (fdatasync(out) != 0) err = errno;
  }
  if (close(out) != 0 && err == 0) err = errno;
  if (err == 0) {
    if (failIfExists) {
      if (link(temp.c_str(), to.c_str()) != 0) err = errno;
      unlink(temp.c_str());
      if (err == EEXIST) return Fail(ERROR_FILE_EXISTS);
    } else if (rename(temp.c_str(), to.c_str()) != 0) {
      err = errno;
    }
  }
  if (err != 0) {
    unlink(temp.c_str());
    return Fail(PathError(err, to));
  }
  return TRUE;
}

HANDLE FindFirstFileW(LPCWSTR fileName, WIN32_FIND_DATAW* pFindData) {
  if (!pFindData) return FailHandle(ERROR_INVALID_PARAMETER);
  std::string posix;
  DWORD error;
  if (!PosixName(fileName, &posix, &error)) {
    return FailHandle(error == ERROR_PATH_NOT_FOUND ? ERROR_FILE_NOT_FOUND : error);
  }
  const size_t cut = posix.find_last_of('/');
  const std::string last = cut == std::string::npos ? posix : posix.substr(cut + 1);
  const std::string folder =
      cut == std::string::npos ? std::string(".") : posix.substr(0, cut == 0 ? 1 : cut);
  if (last.empty()) return FailHandle(ERROR_FILE_NOT_FOUND);

  std::shared_ptr<FindObject> find;
  if (last.find_first_of("*?") == std::string::npos) {
    FileFacts facts;
    int err = 0;
    if (!ReadFacts(AT_FDCWD, posix.c_str(), 0, last, &facts, &err)) {
      return FailHandle(PathError(err, posix));
    }
    FillFindData(facts, Utf8ToUtf16(last), pFindData);
    find = std::make_shared<FindObject>(nullptr, std::u16string());
  } else {
    DIR* pDir = opendir(folder.c_str());
    if (!pDir) {
      return FailHandle(errno == ENOENT ? ERROR_PATH_NOT_FOUND : PathError(errno, folder));
    }
    find = std::make_shared<FindObject>(pDir, Utf8ToUtf16(last));
    if (!find->Next(pFindData, &error)) {
      return FailHandle(error == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND : error);
    }
  }
  HANDLE handle = detail::InsertHandle(std::move(find));
  if (!handle) return INVALID_HANDLE_VALUE;
  SetLastError(ERROR_SUCCESS);
  return handle;
}

BOOL FindNextFileW(HANDLE findFile, WIN32_FIND_DATAW* pFindData) {
  std::shared_ptr<FindObject> find = detail::Lookup<FindObject>(findFile);
  if (!find) return Fail(ERROR_INVALID_HANDLE);
  if (!pFindData) return Fail(ERROR_INVALID_PARAMETER);
  DWORD error;
  if (!find->Next(pFindData, &error)) return Fail(error);
  return TRUE;
}

BOOL FindClose(HANDLE findFile) {
  if (!detail::Lookup<FindObject>(findFile)) return Fail(ERROR_INVALID_HANDLE);
  std::shared_ptr<detail::KernelObject> object = detail::RemoveHandle(findFile);
  if (!object) return Fail(ERROR_INVALID_HANDLE);
  object->OnHandleClosed();
  return TRUE;
}

int SHCreateDirectoryExW(HWND, LPCWSTR path, const SECURITY_ATTRIBUTES*) {
  auto finish = [](DWORD result) {
    SetLastError(result);
    return static_cast<int>(result);
  };
  if (!path) return finish(ERROR_BAD_PATHNAME);
  std::u16string_view view(path);
  const bool hasLetter = view.size() >= 2 && view[1] == u':';
  if (hasLetter) view.remove_prefix(2);
  if (view.empty() || (view[0] != u'\\' && view[0] != u'/')) return finish(ERROR_BAD_PATHNAME);
  std::string posix;
  if (!detail::ToPosixPath(std::u16string_view(path), &posix)) {
    return finish(hasLetter ? ERROR_PATH_NOT_FOUND : ERROR_BAD_PATHNAME);
  }

  struct stat st;
  if (stat(posix.c_str(), &st) == 0) {
    return finish(S_ISDIR(st.st_mode) ? ERROR_ALREADY_EXISTS : ERROR_FILE_EXISTS);
  }
  for (size_t at = posix.find('/', 1); at != std::string::npos; at = posix.find('/', at + 1)) {
    const std::string prefix = posix.substr(0, at);
    if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
      return finish(errno == ENOENT ? ERROR_PATH_NOT_FOUND : PathError(errno, prefix));
    }
  }
  if (mkdir(posix.c_str(), 0777) != 0) {
    const int err = errno;
    if (err == EEXIST && stat(posix.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      return finish(ERROR_ALREADY_EXISTS);
    }
    // A file in the way of a parent gives ENOTDIR here.
    return finish(err == EEXIST ? ERROR_FILE_EXISTS : PathError(err, posix));
  }
  return finish(ERROR_SUCCESS);
}

BOOL LockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD bytesLow, DWORD bytesHigh,
                LPOVERLAPPED overlapped) {
  std::shared_ptr<FileObject> object = LookupFile(file);
  if (!object) return Fail(ERROR_INVALID_HANDLE);
  if (!overlapped || reserved != 0) return Fail(ERROR_INVALID_PARAMETER);
  if (bytesLow == 0 && bytesHigh == 0) return TRUE;
  struct flock lock;
  if (!LockRange(overlapped, bytesLow, bytesHigh, &lock)) return Fail(ERROR_INVALID_PARAMETER);
  lock.l_type = (flags & LOCKFILE_EXCLUSIVE_LOCK) ? F_WRLCK : F_RDLCK;
  const int command = (flags & LOCKFILE_FAIL_IMMEDIATELY) ? F_OFD_SETLK : F_OFD_SETLKW;
  int r;
  do {
    r = fcntl(object->Fd(), command, &lock);
  } while (r != 0 && errno == EINTR);
  if (r == 0) return TRUE;
  if (errno == EAGAIN || errno == EACCES) return Fail(ERROR_LOCK_VIOLATION);
  // A lock kind the handle's access does not allow (an exclusive lock on a read-only handle).
  if (errno == EBADF) return Fail(ERROR_ACCESS_DENIED);
  return Fail(detail::Win32ErrorFromErrno(errno));
}

BOOL UnlockFileEx(HANDLE file, DWORD reserved, DWORD bytesLow, DWORD bytesHigh,
                  LPOVERLAPPED overlapped) {
  std::shared_ptr<FileObject> object = LookupFile(file);
  if (!object) return Fail(ERROR_INVALID_HANDLE);
  if (!overlapped || reserved != 0) return Fail(ERROR_INVALID_PARAMETER);
  if (bytesLow == 0 && bytesHigh == 0) return TRUE;
  struct flock lock;
  if (!LockRange(overlapped, bytesLow, bytesHigh, &lock)) return Fail(ERROR_INVALID_PARAMETER);
  lock.l_type = F_UNLCK;
  if (fcntl(object->Fd(), F_OFD_SETLK, &lock) != 0) {
    return Fail(detail::Win32ErrorFromErrno(errno));
  }
  return TRUE;
}

}  // namespace win32
