#pragma once

#include <atomic>
#include <cstdint>

class CIOOperation;

// One frame of a channel protocol, as received or as built: the whole frame, header and body,
// lives in a pooled operation buffer whose length is the frame's byte count so far. The frame
// layout belongs to the derived classes, which also add the id of the channel a received command
// came from.
// Lifetime: reference-counted, 1 when made; the last Release deletes it (the destructor is
//   protected for that reason) and gives the buffer back to the pool.
// Threading: the count is interlocked; the buffer belongs to whoever holds the command (the
//   channel while it parses, then the handler).
class CCommand {
 public:
  CCommand(const CCommand&) = delete;
  CCommand& operator=(const CCommand&) = delete;

  virtual int32_t AddRef();
  // At 0 the command deletes itself. Returns the new count.
  virtual int32_t Release();
  // A buffer that holds at least one byte; frame classes require a whole header.
  virtual bool IsValid();
  // Drops the buffer and takes a new, empty one of at least `size` bytes (no owner, no code);
  // null when memory runs out.
  virtual CIOOperation* Alloc(uint32_t size);
  // Gives the buffer back and clears it.
  virtual void Free();
  // Takes bytes of the stream into this command, advancing *ppData and *pRemaining past them:
  //   1  every given byte was taken and the frame is not complete yet;
  //   0  the frame is complete; the bytes after it are left unconsumed;
  //  -1  the data is malformed.
  virtual int ParseFrom(const uint8_t** ppData, uint32_t* pRemaining) = 0;
  // Writes the frame into pOp in network byte order; false when it does not fit.
  virtual bool SerializeTo(CIOOperation* pOp) = 0;

  // Makes the buffer hold at least `size` bytes, keeping the bytes held; false when memory runs
  // out (the old buffer is then kept).
  bool Reserve(uint32_t size);

  uint32_t Kind() const { return m_kind; }
  // Null when the command has none.
  CIOOperation* Buffer() const { return m_pBuffer; }

 protected:
  explicit CCommand(uint32_t kind);
  // Gives the buffer back.
  virtual ~CCommand();

 private:
  const uint32_t m_kind;
  std::atomic<int32_t> m_refCount;
  // Owned: one reference, dropped by Free, Alloc or the destructor.
  CIOOperation* m_pBuffer;
};
