#include "handles.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace win32 {
namespace detail {
namespace {

// Handle value: (generation << kIndexBits | index) << 2, so values look like Windows handles
// (multiples of 4, never 0 or -1) and a recycled slot never answers to an old handle.
constexpr unsigned kIndexBits = 20;
constexpr size_t kMaxHandles = size_t{1} << kIndexBits;

struct Slot {
  std::shared_ptr<KernelObject> object;
  uint32_t generation = 1;
};

class HandleTable {
 public:
  HANDLE Insert(std::shared_ptr<KernelObject> object) {
    std::lock_guard<std::mutex> lock(m_lock);
    size_t index;
    if (!m_free.empty()) {
      index = m_free.back();
      m_free.pop_back();
    } else {
      if (m_slots.size() + 1 >= kMaxHandles) return nullptr;
      m_slots.emplace_back();
      index = m_slots.size();  // index 0 is never used
    }
    Slot& slot = m_slots[index - 1];
    slot.object = std::move(object);
    ++m_open;
    return Encode(index, slot.generation);
  }

  std::shared_ptr<KernelObject> Lookup(HANDLE handle, bool remove) {
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (value == 0 || (value & 3) != 0) return nullptr;
    value >>= 2;
    size_t index = value & (kMaxHandles - 1);
    uint32_t generation = static_cast<uint32_t>(value >> kIndexBits);
    std::lock_guard<std::mutex> lock(m_lock);
    if (index == 0 || index > m_slots.size()) return nullptr;
    Slot& slot = m_slots[index - 1];
    if (!slot.object || (slot.generation & 0xFFFFF) != generation) return nullptr;
    if (!remove) return slot.object;
    std::shared_ptr<KernelObject> object = std::move(slot.object);
    slot.object.reset();
    ++slot.generation;
    if ((slot.generation & 0xFFFFF) == 0) slot.generation = 1;
    m_free.push_back(index);
    --m_open;
    return object;
  }

  size_t OpenCount() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_open;
  }

 private:
  static HANDLE Encode(size_t index, uint32_t generation) {
    uintptr_t value = ((uintptr_t{generation & 0xFFFFF} << kIndexBits) | index) << 2;
    return reinterpret_cast<HANDLE>(value);
  }

  std::mutex m_lock;
  std::vector<Slot> m_slots;
  std::vector<size_t> m_free;
  size_t m_open = 0;
};

// Leaky: usable from dependents' static constructors and exit handlers.
HandleTable& Table() {
  static HandleTable* table = new HandleTable;
  return *table;
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
  HANDLE handle = Table().Insert(std::move(object));
  if (!handle) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return handle;
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) { return Table().Lookup(handle, false); }

std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle) { return Table().Lookup(handle, true); }

size_t OpenHandleCountForTesting() { return Table().OpenCount(); }

// --- Waitable objects ---

std::mutex& SyncLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

class Doorbell {
 public:
  Doorbell() : m_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~Doorbell() {
    if (m_fd >= 0) close(m_fd);
  }
  int Fd() const { return m_fd; }

 private:
  const int m_fd;
};

void Waitable::AddWaiterLocked(Doorbell* pDoorbell) { m_waiters.push_back(pDoorbell); }

void Waitable::RemoveWaiterLocked(Doorbell* pDoorbell) {
  auto it = std::find(m_waiters.begin(), m_waiters.end(), pDoorbell);
  if (it != m_waiters.end()) m_waiters.erase(it);
}

void Waitable::WakeWaitersLocked() {
  for (Doorbell* pDoorbell : m_waiters) RingDoorbell(pDoorbell);
}

bool SignalOnceObject::TryAcquireLocked(DWORD, bool*) { return m_signalled; }

void SignalOnceObject::SetSignalled() {
  std::lock_guard<std::mutex> lock(SyncLock());
  m_signalled = true;
  WakeWaitersLocked();
}

bool SignalOnceObject::IsSignalled() {
  std::lock_guard<std::mutex> lock(SyncLock());
  return m_signalled;
}

Doorbell* CurrentDoorbell() {
  // The doorbell lives in the layer library, which is never unloaded, so its destructor at
  // thread exit is safe.
  thread_local Doorbell doorbell;
  return &doorbell;
}

void RingDoorbell(Doorbell* pDoorbell) {
  uint64_t one = 1;
  ssize_t r;
  do {
    r = write(pDoorbell->Fd(), &one, sizeof(one));
  } while (r < 0 && errno == EINTR);
}

int DoorbellFd(Doorbell* pDoorbell) { return pDoorbell->Fd(); }

void DrainDoorbell(Doorbell* pDoorbell) {
  uint64_t value;
  ssize_t r;
  do {
    r = read(pDoorbell->Fd(), &value, sizeof(value));
  } while (r < 0 && errno == EINTR);
}

}  // namespace detail

namespace {
thread_local DWORD t_lastError = 0;
}

DWORD GetLastError() { return t_lastError; }

BOOL CloseHandle(HANDLE handle) {
  std::shared_ptr<detail::KernelObject> object = detail::RemoveHandle(handle);
  if (!object) return detail::Fail(ERROR_INVALID_HANDLE);
  object->OnHandleClosed();
  return TRUE;
}
void SetLastError(DWORD error) { t_lastError = error; }

}  // namespace win32
