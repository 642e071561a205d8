#include "NetEngine/IOOperation.h"

#include <cstring>
#include <new>
#include <type_traits>

#include "Common/ObjectLifecycleMgr.h"
#include "NetEngine/DllLog.h"
#include "NetEngine/IOHandler.h"
#include "NetEngine/IOThread.h"
#include "Common/Lock.h"
#include "win32/iocp.h"

using namespace win32;

namespace {

// The address attachment: {int length; int capacity;} then capacity bytes of address (at least
// 64), so a larger address grows it and the length's address can be handed to receive-from.
constexpr int kMinAddressCapacity = 64;
constexpr size_t kAddressHeader = 2 * sizeof(int);

int* AddressLength(uint8_t* pBuffer) { return reinterpret_cast<int*>(pBuffer); }
int* AddressCapacity(uint8_t* pBuffer) { return reinterpret_cast<int*>(pBuffer) + 1; }
uint8_t* AddressBytes(uint8_t* pBuffer) { return pBuffer + kAddressHeader; }

}  // namespace

// --- CIOOperation ---

CIOOperation::CIOOperation(Allocator* pAllocator, uint32_t capacity)
    : m_overlapped{},
      m_code(0),
      m_bytesTransferred(0),
      m_error(0),
      m_pOwner(nullptr),
      m_pAddress(nullptr),
      m_pAllocator(pAllocator),
      m_refCount(1),
      m_capacity(capacity),
      m_length(0) {
  static_assert(std::is_standard_layout_v<CIOOperation>);
  static_assert(offsetof(CIOOperation, m_overlapped) == 0,
                "the pointer a completion returns must be the operation");
}

CIOOperation* CIOOperation::Create(CIOHandler* pOwner, uint32_t code, uint32_t dataSize) {
  CIOOperation* pOp = Allocator::Instance()->Alloc(dataSize);
  if (!pOp) return nullptr;
  pOp->m_code = code;
  CIOHandler* pExpected = nullptr;
  pOp->m_pOwner.compare_exchange_strong(pExpected, pOwner);
  return pOp;
}

int32_t CIOOperation::AddRef(CIOOperation* pOp) { return pOp->m_refCount.fetch_add(1) + 1; }

int32_t CIOOperation::Release(CIOOperation* pOp) {
  int32_t count = pOp->m_refCount.fetch_sub(1) - 1;
  if (count == 0) {
    pOp->m_pAllocator->Free(pOp);
  } else if (count < 0) {
    DLL_LOG("IOOperation[%p] Release below zero: OpType=%u", static_cast<void*>(pOp), pOp->m_code);
    DebugBreak();
  }
  return count;
}

int CIOOperation::Post(CIOOperation* pOp) {
  AddRef(pOp);  // the post's: dropped by the I/O thread after delivery, or below
  if (!PostQueuedCompletionStatus(CIOThread::Instance()->Port(), 0, 0, &pOp->m_overlapped)) {
    Release(pOp);
    return 0;
  }
  return 1;
}

uint32_t CIOOperation::Append(CIOOperation* pOp, const void* pData, uint32_t length) {
  uint32_t room = pOp->m_capacity - pOp->m_length;
  uint32_t count = length < room ? length : room;
  if (count) memcpy(pOp->Data() + pOp->m_length, pData, count);
  pOp->m_length += count;
  return count;
}

bool CIOOperation::SetAddress(CIOOperation* pOp, const void* pAddress, int length) {
  if (length < 0) length = 0;
  if (!pOp->m_pAddress || *AddressCapacity(pOp->m_pAddress) < length) {
    int capacity = length > kMinAddressCapacity ? length : kMinAddressCapacity;
    auto* pBuffer = new (std::nothrow) uint8_t[kAddressHeader + capacity];
    if (!pBuffer) return false;
    pOp->FreeAddress();
    pOp->m_pAddress = pBuffer;
    *AddressCapacity(pBuffer) = capacity;
  }
  uint8_t* pBytes = AddressBytes(pOp->m_pAddress);
  memset(pBytes, 0, *AddressCapacity(pOp->m_pAddress));
  if (pAddress && length) memcpy(pBytes, pAddress, length);
  *AddressLength(pOp->m_pAddress) = length;
  return true;
}

void* CIOOperation::GetAddress(CIOOperation* pOp, int** ppLength) {
  if (!pOp->m_pAddress) {
    if (ppLength) *ppLength = nullptr;
    return nullptr;
  }
  if (ppLength) *ppLength = AddressLength(pOp->m_pAddress);
  return AddressBytes(pOp->m_pAddress);
}

void CIOOperation::NotifyIoComplete(CIOOperation* pOp) {
  ASSERT_ON_IO_THREAD();
  CIOHandler* pOwner = pOp->m_pOwner.load();
  CLifecycleGuard guard;
  if (CObjectLifecycleMgr::Instance()->Use(pOwner, &guard)) {
    pOwner->OnIoComplete(pOp);
    return;
  }
  DLL_LOG("IOOperation NotifyIoComplete [%p] abort: OpType=%u, Error=%u",
          static_cast<void*>(pOwner), pOp->m_code, pOp->m_error);
}

void CIOOperation::Reset() {
  FreeAddress();
  m_overlapped = OVERLAPPED{};
  m_code = 0;
  m_bytesTransferred = 0;
  m_error = 0;
  m_pOwner.store(nullptr);
  m_refCount.store(1);
  m_length = 0;
}

void CIOOperation::FreeAddress() {
  delete[] m_pAddress;
  m_pAddress = nullptr;
}

// --- CIOOperation::Allocator::InUseSet ---

CIOOperation::Allocator::InUseSet::InUseSet() : m_slots(512, nullptr) {}

size_t CIOOperation::Allocator::InUseSet::Home(const CIOOperation* pOp) const {
  // Blocks are at least 16-byte aligned; the multiplication spreads the rest over the table.
  const uint64_t bits = reinterpret_cast<uintptr_t>(pOp) >> 4;
  return static_cast<size_t>((bits * 0x9E3779B97F4A7C15ull) >> 32) & (m_slots.size() - 1);
}

void CIOOperation::Allocator::InUseSet::Insert(CIOOperation* pOp) {
  if ((m_count + 1) * 2 > m_slots.size()) Grow();
  const size_t mask = m_slots.size() - 1;
  size_t i = Home(pOp);
  while (m_slots[i] && m_slots[i] != pOp) i = (i + 1) & mask;
  if (!m_slots[i]) ++m_count;
  m_slots[i] = pOp;
}

bool CIOOperation::Allocator::InUseSet::Erase(CIOOperation* pOp) {
  const size_t mask = m_slots.size() - 1;
  size_t i = Home(pOp);
  while (m_slots[i] != pOp) {
    if (!m_slots[i]) return false;
    i = (i + 1) & mask;
  }
  // Backward shift: every later entry of the run that may live at i moves there, so lookups
  // never meet a hole inside a run.
  size_t hole = i;
  for (size_t j = (i + 1) & mask; m_slots[j]; j = (j + 1) & mask) {
    const size_t home = Home(m_slots[j]);
    const bool homeAfterHole = hole <= j ? (home > hole && home <= j) : (home > hole || home <= j);
    if (homeAfterHole) continue;
    m_slots[hole] = m_slots[j];
    hole = j;
  }
  m_slots[hole] = nullptr;
  --m_count;
  return true;
}

void CIOOperation::Allocator::InUseSet::Grow() {
  std::vector<CIOOperation*> old(m_slots.size() * 2, nullptr);
  old.swap(m_slots);
  m_count = 0;
  for (CIOOperation* pOp : old) {
    if (pOp) Insert(pOp);
  }
}

// --- CIOOperation::Allocator ---

CIOOperation::Allocator::Allocator() { InitCriticalSection(&m_lock); }

CIOOperation::Allocator::~Allocator() {
  m_inUse.ForEach([](CIOOperation* pOp) { DeleteBlock(pOp); });
  for (auto& list : m_free) {
    for (CIOOperation* pOp : list) DeleteBlock(pOp);
  }
  DeleteCriticalSection(&m_lock);
}

CIOOperation* CIOOperation::Allocator::Alloc(uint32_t dataSize) {
  int sizeClass = -1;
  for (int i = 0; i < kClassCount; ++i) {
    if (dataSize <= kClassCapacity[i]) {
      sizeClass = i;
      break;
    }
  }

  ScopedLock lock(&m_lock);
  CIOOperation* pOp = nullptr;
  if (sizeClass >= 0 && !m_free[sizeClass].empty()) {
    pOp = m_free[sizeClass].front();
    m_free[sizeClass].pop_front();
    pOp->Reset();
  } else {
    uint32_t capacity = sizeClass >= 0 ? kClassCapacity[sizeClass] : dataSize;
    void* pBlock = ::operator new (sizeof(CIOOperation) + size_t{capacity}, std::nothrow);
    if (!pBlock) return nullptr;
    pOp = new (pBlock) CIOOperation(this, capacity);
  }
  m_inUse.Insert(pOp);
  return pOp;
}

int CIOOperation::Allocator::Free(CIOOperation* pOp) {
  ScopedLock lock(&m_lock);
  if (!m_inUse.Erase(pOp)) return 0;
  pOp->FreeAddress();
  int sizeClass = ClassOfCapacity(pOp->m_capacity);
  if (sizeClass >= 0 && m_free[sizeClass].size() < kMaxFree[sizeClass]) {
    m_free[sizeClass].push_back(pOp);
  } else {
    DeleteBlock(pOp);
  }
  return 1;
}

void CIOOperation::Allocator::DetachOwner(CIOHandler* pHandler) {
  if (!pHandler) return;
  ScopedLock lock(&m_lock);
  m_inUse.ForEach([pHandler](CIOOperation* pOp) {
    CIOHandler* pExpected = pHandler;
    pOp->m_pOwner.compare_exchange_strong(pExpected, nullptr);
  });
}

size_t CIOOperation::Allocator::InUseCountForTesting() {
  ScopedLock lock(&m_lock);
  return m_inUse.Size();
}

size_t CIOOperation::Allocator::FreeCountForTesting(int sizeClass) {
  ScopedLock lock(&m_lock);
  return m_free[sizeClass].size();
}

int CIOOperation::Allocator::ClassOfCapacity(uint32_t capacity) {
  for (int i = 0; i < kClassCount; ++i) {
    if (capacity == kClassCapacity[i]) return i;
  }
  return -1;
}

void CIOOperation::Allocator::DeleteBlock(CIOOperation* pOp) {
  pOp->FreeAddress();
  pOp->~CIOOperation();
  ::operator delete(static_cast<void*>(pOp));
}
