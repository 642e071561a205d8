#include "store_files.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "handles.h"

namespace win32::detail {
namespace {

int OpenRetrying(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool WriteAll(int fd, const char* p, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string HomeFolder() {
  const char* home = getenv("HOME");
  if (home && home[0] == '/') return home;
  struct passwd pw;
  struct passwd* pResult = nullptr;
  char buffer[4096];
  if (getpwuid_r(getuid(), &pw, buffer, sizeof buffer, &pResult) == 0 && pResult && pResult->pw_dir)
    return pResult->pw_dir;
  return "/tmp";
}

DWORD MakeDirectories(const std::string& posixPath, mode_t mode) {
  if (posixPath.empty()) return ERROR_PATH_NOT_FOUND;
  struct stat st;
  if (stat(posixPath.c_str(), &st) == 0)
    return S_ISDIR(st.st_mode) ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = posixPath.find('/', pos + 1);
    std::string part = posixPath.substr(0, pos);
    if (part.empty() || part.back() == '/') continue;
    if (mkdir(part.c_str(), mode) == 0 || errno == EEXIST) {
      if (stat(part.c_str(), &st) != 0) return Win32ErrorFromErrno(errno);
      if (!S_ISDIR(st.st_mode)) return ERROR_ALREADY_EXISTS;
      continue;
    }
    // A parent we may not create but that exists (e.g. /home) is fine; anything else is not.
    int err = errno;
    if (stat(part.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    return Win32ErrorFromErrno(err);
  }
  return ERROR_SUCCESS;
}

DWORD ReadWholeFile(const std::string& posixPath, std::string* pContent, struct stat* pStat) {
  pContent->clear();
  int fd = OpenRetrying(posixPath.c_str(), O_RDONLY, 0);
  if (fd < 0) return Win32ErrorFromErrno(errno);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    DWORD error = Win32ErrorFromErrno(errno);
    close(fd);
    return error;
  }
  if (S_ISDIR(st.st_mode)) {
    close(fd);
    return ERROR_ACCESS_DENIED;
  }
  char buffer[16384];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      DWORD error = Win32ErrorFromErrno(errno);
      close(fd);
      return error;
    }
    if (n == 0) break;
    pContent->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  if (pStat) *pStat = st;
  return ERROR_SUCCESS;
}

DWORD ReplaceFileContent(const std::string& posixPath, const std::string& content) {
  std::string target = posixPath;
  struct stat st;
  bool exists = false;
  if (lstat(target.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char resolved[PATH_MAX];
    if (realpath(target.c_str(), resolved)) target = resolved;
  }
  if (stat(target.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return ERROR_ACCESS_DENIED;
    exists = true;
  }
  size_t slash = target.rfind('/');
  std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  static std::atomic<unsigned> s_counter{0};
  std::string temp = folder + "." + base + ".tmp-" + std::to_string(getpid()) + "-" +
                     std::to_string(s_counter.fetch_add(1));

  int fd = OpenRetrying(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
  if (fd < 0) {
    int err = errno;
    return err == ENOENT ? ERROR_PATH_NOT_FOUND : Win32ErrorFromErrno(err);
  }
  DWORD error = ERROR_SUCCESS;
  if (exists && fchmod(fd, st.st_mode & 07777) != 0) error = Win32ErrorFromErrno(errno);
  if (!error && !WriteAll(fd, content.data(), content.size())) error = Win32ErrorFromErrno(errno);
  if (close(fd) != 0 && !error) error = Win32ErrorFromErrno(errno);
  if (!error && rename(temp.c_str(), target.c_str()) != 0) error = Win32ErrorFromErrno(errno);
  if (error) unlink(temp.c_str());
  return error;
}

std::string XdgFolder(const char* variable, const char* homeFallback) {
  const char* value = getenv(variable);
  if (value && value[0] == '/') return value;
  return HomeFolder() + "/" + homeFallback;
}

}  // namespace win32::detail
