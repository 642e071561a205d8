#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>

#include "NetEngine/IOHandler.h"
#include "Common/ThreadAnnotations.h"
#include "win32/sync.h"

class CCommand;
class CCommandChannelHandler;
class CIOOperation;
class CTcpDevice;
namespace win32 {
enum class SOCKET : uintptr_t;
}

// One framed TCP connection: connects out or adopts an accepted socket, cuts the incoming stream
// into commands (the frame layout is the commands' business: a derived channel only makes new
// commands of its protocol), hands each complete command to its handler, sends commands, and
// reports its end exactly once through the handler's OnFinish.
//
// Lifetime: reference-counted, 1 when made; the last Release deletes it, closing it first. The
//   owner decides when to drop its reference; a handler may drop it from inside a callback.
//   After Close the completions the closed socket still produces are dropped by the I/O thread
//   with its abort line; the channel is registered again and can connect or attach anew.
// Threading: Connect, Attach, Send, Close and AsyncClose from any thread, under m_lock (Close
//   first waits until no other thread is inside a callback of the channel, and does not wait
//   for itself when called from one). Everything else runs on the I/O thread; handler calls are
//   made without the channel's locks. Lock order: m_lock, then m_receivedLock, then the
//   device's lock.
class CCommandChannel : public CIOHandler {
 public:
  enum State : uint32_t { kIdle = 0, kConnecting = 1, kConnected = 2 };

  // Operations named in OnFinish, and the operation codes the channel creates.
  static constexpr uint32_t kOpWrite = 2;
  static constexpr uint32_t kOpRead = 3;
  static constexpr uint32_t kOpConnect = 6;
  static constexpr uint32_t kOpAsyncClose = 9;
  // What a read asks the pool for; the receive fills the whole block it gets (1988 bytes).
  static constexpr uint32_t kReadSize = 1024;

  // pHandler must outlive the channel's callbacks; see CCommandChannelHandler.
  CCommandChannel(CCommandChannelHandler* pHandler, uint32_t channelClass, uint32_t tag);
  CCommandChannel(const CCommandChannel&) = delete;
  CCommandChannel& operator=(const CCommandChannel&) = delete;

  // CIOHandler:
  void OnIoComplete(CIOOperation* pOp) override;
  void OnTimer(unsigned int timerId) override;

  virtual int32_t AddRef();
  // At 0 the channel is deleted. Returns the new count.
  virtual int32_t Release();
  // Connects to an IPv4 address (network order) and port (host order); the outcome arrives as
  // OnConnected or OnFinish(6, error). False, changing nothing, when the channel has a device.
  virtual bool Connect(uint32_t addressNetOrder, uint16_t port);
  // Adopts an accepted socket and starts reading. False when the channel has a device.
  virtual bool Attach(win32::SOCKET socket);
  // Closes the device and drops what was received, without calling the handler. Returns 1.
  virtual int Close();
  // Ends the channel on the I/O thread: the handler gets OnFinish(9, 0). 1 when posted.
  virtual int AsyncClose();
  // Issues one overlapped send of the command's frame at once; sends of one channel leave in
  // call order. The channel keeps no reference on the command. 0 when the channel has no device
  // or the command is not valid.
  virtual int Send(CCommand* pCommand);

  uint32_t Id() const { return m_id; }
  uint32_t Class() const { return m_class; }
  uint32_t Tag() const { return m_tag; }
  State GetState();

 protected:
  // Closes the channel.
  ~CCommandChannel() override;

  // A reference for the duration of a callback, unless the count is already 0: then the
  // destructor is running on another thread and waits for this callback to end, and the
  // callback must do nothing.
  bool TryAddRef();

  // Hands a read of kReadSize to the device, when there is one.
  virtual void PostRead();
  virtual void OnConnectDone(CIOOperation* pOp);
  virtual void OnWriteDone(CIOOperation* pOp);
  virtual void OnReadDone(CIOOperation* pOp);
  // Close, then OnFinish.
  virtual void Finish(uint32_t operation, uint32_t error);
  // Cuts the bytes into commands, appending the complete ones to the received list. 1 when all
  // were taken; -1 when the channel has been finished (malformed frame, no memory).
  virtual int Feed(const uint8_t* pData, uint32_t length);
  // A new, empty command of the channel's protocol, with one reference; null when out of memory.
  virtual CCommand* NewCommand() = 0;
  virtual void OnConnected();
  // The handler's result, or 0 when the handler is gone.
  virtual int OnCommand(CCommand* pCommand);
  virtual void OnFinish(uint32_t operation, uint32_t error);

 private:
  win32::CRITICAL_SECTION m_lock;
  // Set in the constructor, then constant: never 0.
  const uint32_t m_id;
  State m_state GUARDED_BY(m_lock);
  std::unique_ptr<CTcpDevice> m_pDevice GUARDED_BY(m_lock);
  CCommandChannelHandler* const m_pHandler;
  // The handler's complete object, the key of its lifecycle guard; taken while it is alive.
  void* const m_pHandlerObject;
  const uint32_t m_class;
  const uint32_t m_tag;
  std::atomic<int32_t> m_refCount;

  win32::CRITICAL_SECTION m_receivedLock;
  // Complete commands waiting for delivery, oldest first, one reference each.
  std::deque<CCommand*> m_received GUARDED_BY(m_receivedLock);
  // The command being filled from the stream (one reference), or null.
  CCommand* m_pCurrent GUARDED_BY(m_lock);
};
