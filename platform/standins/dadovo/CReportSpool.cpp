#include "CReportSpool.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr size_t kGuidSize = 16;

// Closes the descriptor (and so drops its lock) on every path.
class ScopedFd {
 public:
  explicit ScopedFd(int fd) : m_fd(fd) {}
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  ~ScopedFd() {
    if (m_fd >= 0) close(m_fd);
  }
  int Get() const { return m_fd; }

 private:
  const int m_fd;
};

int OpenLocked(const std::string& path, int flags) {
  int fd;
  do {
    fd = open(path.c_str(), flags | O_CREAT | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  int r;
  do {
    r = flock(fd, LOCK_EX);
  } while (r != 0 && errno == EINTR);
  if (r != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool WriteAll(int fd, const void* pData, size_t size) {
  const char* p = static_cast<const char*>(pData);
  while (size > 0) {
    ssize_t n = write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::string EnvValue(const char* name) {
  const char* pValue = getenv(name);
  return pValue ? std::string(pValue) : std::string();
}

}  // namespace

std::string CReportSpool::DefaultFolder() {
  std::string root = EnvValue("LUMIDOCK_ROOT");
  if (!root.empty()) return root + "/statistics";
  std::string state = EnvValue("XDG_STATE_HOME");
  if (!state.empty() && state[0] == '/') return state + "/lumidock/statistics";
  std::string home = EnvValue("HOME");
  if (!home.empty()) return home + "/.local/state/lumidock/statistics";
  return {};
}

CReportSpool::CReportSpool(std::string folder) : m_folder(std::move(folder)) {}

bool CReportSpool::Append(const std::vector<win32::BYTE>& frame) {
  if (!EnsureFolder()) return false;
  ScopedFd fd(OpenLocked(m_folder + "/spool.bin", O_WRONLY | O_APPEND));
  if (fd.Get() < 0) return false;
  off_t start = lseek(fd.Get(), 0, SEEK_END);
  if (start < 0) return false;
  if (WriteAll(fd.Get(), frame.data(), frame.size())) return true;
  // A half-written record would make every later one unreadable: cut it off again.
  while (ftruncate(fd.Get(), start) != 0 && errno == EINTR) {
  }
  return false;
}

bool CReportSpool::LoadGuid(win32::BYTE* pGuid) {
  if (!EnsureFolder()) return false;
  ScopedFd fd(OpenLocked(m_folder + "/guid.bin", O_RDWR));
  if (fd.Get() < 0) return false;
  win32::BYTE stored[kGuidSize + 1];
  ssize_t n;
  do {
    n = pread(fd.Get(), stored, sizeof(stored), 0);
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(kGuidSize)) {
    memcpy(pGuid, stored, kGuidSize);
    return true;
  }
  win32::BYTE fresh[kGuidSize];
  size_t filled = 0;
  while (filled < kGuidSize) {
    ssize_t got = getrandom(fresh + filled, kGuidSize - filled, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    filled += static_cast<size_t>(got);
  }
  if (ftruncate(fd.Get(), 0) != 0 || lseek(fd.Get(), 0, SEEK_SET) != 0 ||
      !WriteAll(fd.Get(), fresh, kGuidSize) || fsync(fd.Get()) != 0) {
    return false;
  }
  memcpy(pGuid, fresh, kGuidSize);
  return true;
}

bool CReportSpool::EnsureFolder() {
  if (m_folder.empty() || m_folder[0] != '/') return false;
  // Every record comes here: a folder already there costs one stat, not a mkdir per level.
  struct stat existing;
  if (stat(m_folder.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) return true;
  for (size_t slash = m_folder.find('/', 1);; slash = m_folder.find('/', slash + 1)) {
    std::string part = m_folder.substr(0, slash);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  struct stat st;
  return stat(m_folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
