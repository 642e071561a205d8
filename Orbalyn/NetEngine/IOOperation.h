#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "Common/Singleton.h"
#include "Common/ThreadAnnotations.h"
#include "win32/overlapped.h"
#include "win32/sync.h"

class CIOHandler;

// One reference-counted I/O request with its own data buffer: socket reads and writes, connects,
// posted work items, resolver results and channel notices all travel as operations through the
// I/O thread's completion port and come back to their owner's CIOHandler::OnIoComplete.
//
// The block is one allocation from CIOOperation::Allocator: this header, then Capacity() bytes of
// data. The overlapped record comes first, so the pointer a completion returns is the operation.
//
// Reference rules:
//   - the creator holds one reference from Create until it calls Release;
//   - every outstanding system request (receive, send, receive-from, send-to) holds one more,
//     taken with AddRef before the request is issued and dropped by the I/O thread after the
//     completion was delivered (or by the issuer when the request failed at once);
//   - Post takes one, dropped after delivery;
//   - each queued connect request holds one.
// The block goes back to the pool when the last one is dropped. A count below zero traps.
//
// Threading: any thread may create, post and release operations. The owner is written by
//   compare-and-exchange, so DetachOwner and Create never race on it. Completions are delivered
//   only on the I/O thread.
class CIOOperation {
 public:
  class Allocator;

  // Operation codes; the owner dispatches on them in OnIoComplete.
  enum : uint32_t {
    kWrite = 2,            // TCP send or UDP send-to finished
    kRead = 3,             // TCP receive or UDP receive-from finished
    kConnect = 6,          // connect finished
    kChannelFinished = 7,  // a command channel ended (record of channel id, operation, error)
    kChannelClose = 9,     // close the channel on the I/O thread
    kDrainQueue = 11,      // drain a queue / arm the listening socket on the I/O thread
    kAccept = 12,          // accept finished
    kLogin = 1000,
    kLogout = 1001,
    kResolved = 1002,
  };

  CIOOperation(const CIOOperation&) = delete;
  CIOOperation& operator=(const CIOOperation&) = delete;

  // A new operation of at least dataSize bytes, holding the creator's reference; null when
  // memory is exhausted.
  static CIOOperation* Create(CIOHandler* pOwner, uint32_t code, uint32_t dataSize);
  static int32_t AddRef(CIOOperation* pOp);
  // Drops one reference; at 0 the block returns to the pool. Returns the new count.
  static int32_t Release(CIOOperation* pOp);
  // Queues the operation on the I/O thread's port (0 bytes, key 0) with a reference of its own.
  // 1 when queued; 0 when queuing failed (the reference is dropped again).
  static int Post(CIOOperation* pOp);
  // Copies what fits behind the current length; returns the bytes copied.
  static uint32_t Append(CIOOperation* pOp, const void* pData, uint32_t length);
  // Attaches a socket address (a null pAddress attaches `length` zero bytes, ready to receive a
  // sender's address). Replaces any earlier one. False when memory is exhausted.
  static bool SetAddress(CIOOperation* pOp, const void* pAddress, int length);
  // The attached address and its stored length (usable as a receive-from length argument), or
  // null when there is none.
  static void* GetAddress(CIOOperation* pOp, int** ppLength);
  // I/O thread only: hands the operation to its owner under a lifecycle guard, or logs and drops
  // it when the owner is gone.
  static void NotifyIoComplete(CIOOperation* pOp);
  static CIOOperation* FromOverlapped(win32::OVERLAPPED* pOverlapped) {
    return reinterpret_cast<CIOOperation*>(pOverlapped);
  }

  win32::OVERLAPPED* Overlapped() { return &m_overlapped; }
  uint32_t Code() const { return m_code; }
  void SetCode(uint32_t code) { m_code = code; }
  uint32_t BytesTransferred() const { return m_bytesTransferred; }
  void SetBytesTransferred(uint32_t bytes) { m_bytesTransferred = bytes; }
  // 0, a Windows or socket error number, or an HRESULT such as E_INVALIDARG.
  uint32_t Error() const { return m_error; }
  void SetError(uint32_t error) { m_error = error; }
  CIOHandler* Owner() const { return m_pOwner.load(); }
  uint32_t Capacity() const { return m_capacity; }
  uint32_t Length() const { return m_length; }
  // Clamped to the capacity.
  void SetLength(uint32_t length) { m_length = length < m_capacity ? length : m_capacity; }
  uint8_t* Data() { return reinterpret_cast<uint8_t*>(this + 1); }
  const uint8_t* Data() const { return reinterpret_cast<const uint8_t*>(this + 1); }

  int32_t RefCountForTesting() const { return m_refCount.load(); }

 private:
  friend class Allocator;

  CIOOperation(Allocator* pAllocator, uint32_t capacity);
  ~CIOOperation() = default;

  // A pooled block handed out again: every field as new, the capacity kept.
  void Reset();
  void FreeAddress();

  // First: the completion port hands this pointer back.
  win32::OVERLAPPED m_overlapped;
  uint32_t m_code;
  uint32_t m_bytesTransferred;
  uint32_t m_error;
  // Set once by Create, cleared by Allocator::DetachOwner.
  std::atomic<CIOHandler*> m_pOwner;
  // Owned: a separate heap buffer, see SetAddress.
  uint8_t* m_pAddress;
  Allocator* const m_pAllocator;
  std::atomic<int32_t> m_refCount;
  const uint32_t m_capacity;
  uint32_t m_length;
};

// The process-wide pool of operation blocks: six size classes by data capacity, each with a
// bounded first-in first-out free list, plus the set of blocks handed out. Larger requests get an
// exact block that is never kept. The header is larger than on the 32-bit original, so the
// blocks grow by it and the data capacities stay those the callers rely on.
// Lifetime: a Singleton; its destructor frees every block, in use or free.
// Threading: any thread; one lock covers all classes and the in-use set.
class CIOOperation::Allocator : public Singleton<CIOOperation::Allocator> {
 public:
  static constexpr int kClassCount = 6;
  static constexpr uint32_t kClassCapacity[kClassCount] = {452, 964, 1988, 4036, 8132, 32708};
  static constexpr size_t kMaxFree[kClassCount] = {10, 8, 4, 4, 4, 4};

  ~Allocator() override;

  // The oldest free block of the smallest class that holds dataSize (re-initialised), a new one,
  // or an exact over-size block; null when memory is exhausted.
  CIOOperation* Alloc(uint32_t dataSize);
  // Takes the block back: onto its free list, or freed when the list is full or the block is
  // over-size. A block not handed out (released twice) is left alone: 0.
  int Free(CIOOperation* pOp);
  // Every operation in use whose owner is pHandler loses its owner; their completions are then
  // dropped by NotifyIoComplete.
  void DetachOwner(CIOHandler* pHandler);

  size_t InUseCountForTesting();
  // sizeClass 0..5.
  size_t FreeCountForTesting(int sizeClass);

 private:
  friend class Singleton<Allocator>;

  // The blocks handed out: an open-addressing set of pointers, so that handing a block out and
  // taking it back allocate nothing once the table has grown to the peak.
  class InUseSet {
   public:
    InUseSet();
    void Insert(CIOOperation* pOp);
    // False when pOp is not in the set.
    bool Erase(CIOOperation* pOp);
    size_t Size() const { return m_count; }
    template <class F>
    void ForEach(F f) const {
      for (CIOOperation* pOp : m_slots) {
        if (pOp) f(pOp);
      }
    }

   private:
    size_t Home(const CIOOperation* pOp) const;
    void Grow();

    std::vector<CIOOperation*> m_slots;  // null: empty; size a power of two
    size_t m_count = 0;
  };

  Allocator();
  // -1 for an over-size capacity.
  static int ClassOfCapacity(uint32_t capacity);
  static void DeleteBlock(CIOOperation* pOp);

  win32::CRITICAL_SECTION m_lock;
  std::deque<CIOOperation*> m_free[kClassCount] GUARDED_BY(m_lock);  // oldest first
  InUseSet m_inUse GUARDED_BY(m_lock);
};
