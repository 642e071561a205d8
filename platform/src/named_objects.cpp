// Named mutexes and page-file mappings, shared between processes of one user on one display.
//
// Each name is a file in a private folder (0700): $XDG_RUNTIME_DIR/lumidock/<display>, else
// /tmp/lumidock-<uid>/<display>, or <LUMIDOCK_ROOT>/named-objects/<display> in a sandbox. Liveness
// is an open-file-description lock on the file: the kernel drops it when the last descriptor of
// the holder goes, however the process ends, and a probe can test for it without taking it
// (F_OFD_GETLK), so looking never makes a concurrent creator believe it lost.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "handles.h"
#include "paths.h"
#include "store_files.h"
#include "win32/mapping.h"
#include "win32/strings.h"
#include "win32/sync.h"

namespace win32 {
namespace detail {

HANDLE CreateNamedMutex(LPCWSTR name);

namespace {

constexpr DWORD ERROR_INVALID_ADDRESS = 487;
// A file name holds at most 255 bytes; the suffix needs a few.
constexpr size_t kMaxEscapedName = 240;

HANDLE FailHandle(DWORD error) {
  SetLastError(error);
  return nullptr;
}

// Keeps letters, digits, '_' and '-' (and '.' after the first byte); every other byte of the
// UTF-8 name becomes %XX, so no name can climb out of the folder, hide, or clash with another.
std::string EscapeName(const std::string& name) {
  return PercentEncode(name, [](unsigned char c, size_t i) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || (c == '.' && i > 0);
  });
}

std::string ObjectRoot() {
  std::string sandbox = SandboxRoot();
  if (!sandbox.empty()) return sandbox + "/named-objects";
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  if (runtime && runtime[0] == '/') return std::string(runtime) + "/lumidock";
  return "/tmp/lumidock-" + std::to_string(getuid());
}

std::string ObjectFolder() {
  const char* display = getenv("DISPLAY");
  return ObjectRoot() + "/" + (display && *display ? EscapeName(display) : "no-display");
}

// A folder of ours that nobody else may write into.
bool IsPrivateFolder(const std::string& folder) {
  struct stat st;
  return lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() &&
         (st.st_mode & 077) == 0;
}

DWORD MakePrivateFolder(const std::string& folder) {
  std::string root = ObjectRoot();
  DWORD error = MakeDirectories(root, 0700);
  if (error == ERROR_SUCCESS) error = MakeDirectories(folder, 0700);
  if (error != ERROR_SUCCESS) return error;
  return IsPrivateFolder(root) && IsPrivateFolder(folder) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

// The object's file, or an error: a null or empty name (87), one too long for a file name (206).
DWORD ObjectPath(LPCWSTR name, const char* suffix, std::string* pPath) {
  if (!name || !name[0]) return ERROR_INVALID_PARAMETER;
  std::u16string_view view(name);
  for (std::u16string_view prefix : {u"Global\\", u"Local\\"}) {
    if (view.size() >= prefix.size() &&
        lstrcmpiW(std::u16string(view.substr(0, prefix.size())).c_str(),
                  std::u16string(prefix).c_str()) == 0) {
      view.remove_prefix(prefix.size());
      break;
    }
  }
  if (view.empty()) return ERROR_INVALID_NAME;
  std::string escaped = EscapeName(Utf16ToUtf8(view));
  if (escaped.size() > kMaxEscapedName) return ERROR_FILENAME_EXCED_RANGE;
  *pPath = ObjectFolder() + "/" + escaped + suffix;
  return ERROR_SUCCESS;
}

int OpenFile(const std::string& path, int flags) {
  int fd;
  do {
    fd = open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, 0600);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

flock LockRange(short type) {
  flock lock{};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 1;
  return lock;
}

// F_OFD_SETLK(W); true when taken.
bool TakeLock(int fd, short type, bool wait) {
  flock lock = LockRange(type);
  int r;
  do {
    r = fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
  } while (r != 0 && errno == EINTR);
  return r == 0;
}

// Whether another open of the file holds a lock, without taking one.
bool SomeoneHolds(int fd) {
  flock lock = LockRange(F_WRLCK);
  return fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

// A named mutex handle. When `holds` it owns the lock that marks the name as taken; the
// descriptor (and so the lock) goes with the last reference.
class NamedMutexObject final : public KernelObject {
 public:
  explicit NamedMutexObject(int fd) : KernelObject(ObjectKind::kMutex), m_fd(fd) {}
  ~NamedMutexObject() override {
    if (m_fd >= 0) close(m_fd);
  }

 private:
  const int m_fd;
};

// A mapping handle: the descriptor of its file (named, with a shared lock that keeps the name
// alive) or of anonymous memory. Views keep the object, and so the lock, alive.
class MappingObject final : public KernelObject {
 public:
  MappingObject(int fd, bool writable)
      : KernelObject(ObjectKind::kMapping), m_fd(fd), m_writable(writable) {}
  ~MappingObject() override { close(m_fd); }
  int Fd() const { return m_fd; }
  bool Writable() const { return m_writable; }

 private:
  const int m_fd;
  const bool m_writable;
};

struct View {
  size_t size;
  std::shared_ptr<MappingObject> mapping;
};

// Mapped views by address. Leaky, like every layer table.
class ViewTable {
 public:
  void Add(void* address, View view) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_views.emplace(address, std::move(view));
  }
  bool Take(const void* address, View* pView) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_views.find(const_cast<void*>(address));
    if (it == m_views.end()) return false;
    *pView = std::move(it->second);
    m_views.erase(it);
    return true;
  }

 private:
  std::mutex m_lock;
  std::map<void*, View> m_views;
};

ViewTable& Views() {
  static ViewTable* table = new ViewTable;
  return *table;
}

HANDLE InsertOrClose(std::shared_ptr<KernelObject> object, DWORD lastError) {
  HANDLE handle = InsertHandle(std::move(object));
  if (!handle) return nullptr;  // the table set its error; the object's descriptor is closed
  SetLastError(lastError);
  return handle;
}

}  // namespace

HANDLE CreateNamedMutex(LPCWSTR name) {
  std::string path;
  DWORD error = ObjectPath(name, ".mutex", &path);
  if (error == ERROR_SUCCESS) error = MakePrivateFolder(ObjectFolder());
  if (error != ERROR_SUCCESS) return FailHandle(error);
  int fd = OpenFile(path, O_RDWR | O_CREAT);
  if (fd < 0) return FailHandle(Win32ErrorFromErrno(errno));
  if (TakeLock(fd, F_WRLCK, false)) {
    return InsertOrClose(std::make_shared<NamedMutexObject>(fd), ERROR_SUCCESS);
  }
  // A holder lives: hand out a handle that holds nothing, as Windows opens the existing mutex.
  close(fd);
  return InsertOrClose(std::make_shared<NamedMutexObject>(-1), ERROR_ALREADY_EXISTS);
}

}  // namespace detail

HANDLE OpenMutexW(DWORD, BOOL, LPCWSTR name) {
  if (!name || !name[0]) return detail::FailHandle(ERROR_INVALID_PARAMETER);
  std::string path;
  if (detail::ObjectPath(name, ".mutex", &path) != ERROR_SUCCESS) {
    return detail::FailHandle(ERROR_FILE_NOT_FOUND);
  }
  int fd = detail::OpenFile(path, O_RDONLY);
  if (fd < 0) return detail::FailHandle(ERROR_FILE_NOT_FOUND);
  bool live = detail::SomeoneHolds(fd);
  close(fd);
  if (!live) return detail::FailHandle(ERROR_FILE_NOT_FOUND);
  return detail::InsertOrClose(std::make_shared<detail::NamedMutexObject>(-1), ERROR_SUCCESS);
}

HANDLE CreateFileMappingW(HANDLE file, LPSECURITY_ATTRIBUTES, DWORD protect, DWORD maximumSizeHigh,
                          DWORD maximumSizeLow, LPCWSTR name) {
  if (file != INVALID_HANDLE_VALUE) return detail::FailHandle(ERROR_NOT_SUPPORTED);
  const uint64_t size = (uint64_t{maximumSizeHigh} << 32) | maximumSizeLow;
  if (size == 0 || size > (uint64_t{1} << 40)) return detail::FailHandle(ERROR_INVALID_PARAMETER);
  const bool writable = (protect & PAGE_READWRITE) != 0;
  if (!name || !name[0]) {
    int fd = memfd_create("lumidock-mapping", MFD_CLOEXEC);
    if (fd < 0) return detail::FailHandle(detail::Win32ErrorFromErrno(errno));
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
      close(fd);
      return detail::FailHandle(ERROR_NOT_ENOUGH_MEMORY);
    }
    return detail::InsertOrClose(std::make_shared<detail::MappingObject>(fd, writable),
                                 ERROR_SUCCESS);
  }
  std::string path;
  DWORD error = detail::ObjectPath(name, ".map", &path);
  if (error == ERROR_SUCCESS) error = detail::MakePrivateFolder(detail::ObjectFolder());
  if (error != ERROR_SUCCESS) return detail::FailHandle(error);
  int fd = detail::OpenFile(path, O_RDWR | O_CREAT);
  if (fd < 0) return detail::FailHandle(detail::Win32ErrorFromErrno(errno));
  auto mapping = std::make_shared<detail::MappingObject>(fd, writable);
  // Exclusive while nobody else holds the name: a file left by a process that ended is reset.
  if (detail::TakeLock(fd, F_WRLCK, false)) {
    if (ftruncate(fd, 0) != 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
      return detail::FailHandle(ERROR_NOT_ENOUGH_MEMORY);
    }
    detail::TakeLock(fd, F_RDLCK, false);  // converts in place: others may now open it
    return detail::InsertOrClose(std::move(mapping), ERROR_SUCCESS);
  }
  // Shared with its live creator; waits only while a creator is still sizing the file.
  if (!detail::TakeLock(fd, F_RDLCK, true)) {
    return detail::FailHandle(detail::Win32ErrorFromErrno(errno));
  }
  return detail::InsertOrClose(std::move(mapping), ERROR_ALREADY_EXISTS);
}

HANDLE OpenFileMappingW(DWORD desiredAccess, BOOL, LPCWSTR name) {
  if (!name || !name[0]) return detail::FailHandle(ERROR_INVALID_PARAMETER);
  std::string path;
  if (detail::ObjectPath(name, ".map", &path) != ERROR_SUCCESS) {
    return detail::FailHandle(ERROR_FILE_NOT_FOUND);
  }
  const bool writable = (desiredAccess & FILE_MAP_WRITE) != 0;
  int fd = detail::OpenFile(path, writable ? O_RDWR : O_RDONLY);
  if (fd < 0) return detail::FailHandle(ERROR_FILE_NOT_FOUND);
  auto mapping = std::make_shared<detail::MappingObject>(fd, writable);
  if (!detail::SomeoneHolds(fd) || !detail::TakeLock(fd, F_RDLCK, true)) {
    return detail::FailHandle(ERROR_FILE_NOT_FOUND);
  }
  return detail::InsertOrClose(std::move(mapping), ERROR_SUCCESS);
}

LPVOID MapViewOfFile(HANDLE mappingHandle, DWORD desiredAccess, DWORD fileOffsetHigh,
                     DWORD fileOffsetLow, SIZE_T bytes) {
  auto mapping = detail::Lookup<detail::MappingObject>(mappingHandle);
  if (!mapping) return detail::FailHandle(ERROR_INVALID_HANDLE);
  const bool write = (desiredAccess & FILE_MAP_WRITE) != 0;
  if (write && !mapping->Writable()) return detail::FailHandle(ERROR_ACCESS_DENIED);
  const uint64_t offset = (uint64_t{fileOffsetHigh} << 32) | fileOffsetLow;
  struct stat st;
  if (fstat(mapping->Fd(), &st) != 0) return detail::FailHandle(ERROR_INVALID_HANDLE);
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (offset % static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) != 0 || offset >= size ||
      bytes > size - offset) {
    return detail::FailHandle(ERROR_INVALID_PARAMETER);
  }
  if (bytes == 0) bytes = static_cast<SIZE_T>(size - offset);
  void* address = mmap(nullptr, bytes, write ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED,
                       mapping->Fd(), static_cast<off_t>(offset));
  if (address == MAP_FAILED) return detail::FailHandle(detail::Win32ErrorFromErrno(errno));
  detail::Views().Add(address, detail::View{bytes, std::move(mapping)});
  SetLastError(ERROR_SUCCESS);
  return address;
}

BOOL UnmapViewOfFile(LPCVOID baseAddress) {
  detail::View view;
  if (!detail::Views().Take(baseAddress, &view)) return detail::Fail(detail::ERROR_INVALID_ADDRESS);
  munmap(const_cast<void*>(baseAddress), view.size);
  return TRUE;
}

}  // namespace win32
