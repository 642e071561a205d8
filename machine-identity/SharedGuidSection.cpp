#include "SharedGuidSection.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "Md5.h"
#include "win32/module.h"
#include "win32/strings.h"
#include "win32/sync.h"

using namespace win32;

namespace ZyMacID {

namespace {

constexpr LONG kStateNotMade = 0;
constexpr LONG kStateMaking = 255;
constexpr LONG kStateReady = 1;
constexpr uint32_t kReadyMark = 0x5A594755;  // "ZYGU"
// A creator initialises the object in microseconds; past this it died doing so.
constexpr int kAttachWaitMs = 2000;

// The real path of the module (program or library) that holds this code.
std::string OwnModulePath() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&OwnModulePath), &module)) {
    return std::string();
  }
  WCHAR path[4096] = {};
  DWORD length = GetModuleFileNameW(module, path, sizeof(path) / sizeof(path[0]));
  if (length == 0 || length >= sizeof(path) / sizeof(path[0])) return std::string();
  std::string posix = Utf16ToUtf8(std::u16string_view(path, length));
  for (char& c : posix) {
    if (c == '\\') c = '/';
  }
  char resolved[PATH_MAX];
  if (realpath(posix.c_str(), resolved)) return resolved;
  return posix;
}

std::string SectionName() {
  std::string key = OwnModulePath();
  if (key.empty()) return std::string();
  if (const char* root = getenv("LUMIDOCK_ROOT"); root && *root) {
    key += '\n';
    key += root;
  }
  return "/zyguid-" + std::to_string(getuid()) + "-" + CMd5::HexDigest(key).substr(0, 16);
}

void SleepMs(int ms) {
  timespec delay = {0, ms * 1000000L};
  nanosleep(&delay, nullptr);
}

}  // namespace

CSharedGuidSection& CSharedGuidSection::Get() {
  static CSharedGuidSection section;
  return section;
}

CSharedGuidSection::CSharedGuidSection() {
  if (!Attach()) {
    m_pData = &m_private;
    m_name.clear();
  }
}

CSharedGuidSection::~CSharedGuidSection() {
  // A forked child shares the parent's lock; only the process that attached may give it up.
  if (m_pData == &m_private || getpid() != m_ownerPid) return;
  // Only the last user of the section gets the exclusive lock; it removes the name, as the
  // section of an image disappears with its last process.
  if (flock(m_fd, LOCK_EX | LOCK_NB) == 0) shm_unlink(m_name.c_str());
  munmap(m_pData, sizeof(SharedData));
  close(m_fd);
}

bool CSharedGuidSection::Attach() {
  m_name = SectionName();
  if (m_name.empty()) return false;

  bool creator = true;
  int fd = shm_open(m_name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0 && errno == EEXIST) {
    creator = false;
    fd = shm_open(m_name.c_str(), O_RDWR | O_CLOEXEC, 0600);
  }
  if (fd < 0) return false;

  if (creator) {
    if (ftruncate(fd, sizeof(SharedData)) != 0) {
      shm_unlink(m_name.c_str());
      close(fd);
      return false;
    }
  } else {
    struct stat info;
    int waited = 0;
    while (fstat(fd, &info) == 0 && info.st_size < static_cast<off_t>(sizeof(SharedData)) &&
           waited < kAttachWaitMs) {
      SleepMs(1);
      ++waited;
    }
    if (fstat(fd, &info) != 0 || info.st_size < static_cast<off_t>(sizeof(SharedData))) {
      close(fd);
      return false;
    }
  }
  void* pMapped = mmap(nullptr, sizeof(SharedData), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (pMapped == MAP_FAILED) {
    if (creator) shm_unlink(m_name.c_str());
    close(fd);
    return false;
  }
  auto* pData = static_cast<SharedData*>(pMapped);

  if (creator) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&pData->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    pData->state = kStateNotMade;
    __atomic_store_n(&pData->ready, kReadyMark, __ATOMIC_RELEASE);
  } else {
    int waited = 0;
    while (__atomic_load_n(&pData->ready, __ATOMIC_ACQUIRE) != kReadyMark &&
           waited < kAttachWaitMs) {
      SleepMs(1);
      ++waited;
    }
    if (__atomic_load_n(&pData->ready, __ATOMIC_ACQUIRE) != kReadyMark) {
      munmap(pMapped, sizeof(SharedData));
      close(fd);
      return false;
    }
  }
  // Held for the life of the process: the destructor's exclusive attempt fails while any other
  // process of the image still holds its shared lock.
  while (flock(fd, LOCK_SH) != 0 && errno == EINTR) {
  }
  m_fd = fd;
  m_pData = pData;
  m_ownerPid = getpid();
  return true;
}

void CSharedGuidSection::GetGuid(uint8_t guid[16], DeriveFn derive) {
  if (m_pData == &m_private) {
    std::lock_guard<std::mutex> lock(m_privateLock);
    DeriveLocked(guid, derive);
    return;
  }
  if (!Lock()) {
    // The shared mutex is unusable (it cannot be recovered): derive without sharing.
    derive(guid);
    return;
  }
  DeriveLocked(guid, derive);
  pthread_mutex_unlock(&m_pData->mutex);
}

void CSharedGuidSection::BeginDeriveForTesting() {
  if (m_pData == &m_private) return;
  if (Lock()) InterlockedExchange(&m_pData->state, kStateMaking);
}

bool CSharedGuidSection::Lock() {
  int result = pthread_mutex_lock(&m_pData->mutex);
  if (result == EOWNERDEAD) {
    // The holder died, possibly mid-derivation: whatever it left is not a GUID.
    if (m_pData->state != kStateReady) m_pData->state = kStateNotMade;
    pthread_mutex_consistent(&m_pData->mutex);
    return true;
  }
  return result == 0;
}

void CSharedGuidSection::DeriveLocked(uint8_t guid[16], DeriveFn derive) {
  if (InterlockedCompareExchange(&m_pData->state, kStateMaking, kStateNotMade) == kStateNotMade) {
    uint8_t derived[16] = {};
    derive(derived);
    memcpy(m_pData->guid, derived, sizeof(derived));
    InterlockedExchange(&m_pData->state, kStateReady);
  }
  memcpy(guid, m_pData->guid, 16);
}

}  // namespace ZyMacID
