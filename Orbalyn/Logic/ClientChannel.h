#pragma once

#include <atomic>
#include <cstdint>

#include "NetEngine/CommandChannel.h"

class CClientCommand;
class CCommand;
class CCommandChannelHandler;
class CIOOperation;

// One TCP connection from a phone on the local network: a command channel of class 2 whose
// frames are phone frames, plus the id of the phone behind it, learnt from the first command
// handled on it without error. A phone always speaks first: a connection that has not
// delivered one complete frame within kFirstFrameTimeoutMs of being attached is closed, so idle
// or half-sent connections cannot hold descriptors for good. Once a frame has come the
// connection keeps no time-out.
// Frames it delivered count against it until they are freed (handled, or taken off the upload
// queue and handled): while they hold more than kMaxQueuedBytes the channel posts no further
// read, so a phone that sends without waiting for replies meets TCP flow control instead of
// growing the queues; the read is posted again once they drain below the bound.
// Lifetime: reference-counted (see CCommandChannel); the phone command manager's map holds one
//   reference from AddNewChannel until the channel's finish record is handled.
// Threading: as CCommandChannel. The device id is written on the I/O thread and read there and
//   by the manager's finish handling; it is atomic because tests and the upload thread may look.
//   The first-frame timer fires on the I/O thread, where frames are delivered too. Queued bytes
//   are added on the I/O thread and taken off on whichever thread frees a frame; the thread
//   that clears the paused flag posts the read, through the I/O thread.
class CClientChannel final : public CCommandChannel {
 public:
  static constexpr uint32_t kClass = 2;
  static constexpr uint32_t kFirstFrameTimeoutMs = 30000;
  static constexpr int64_t kMaxQueuedBytes = 8 * 1024 * 1024;

  explicit CClientChannel(CCommandChannelHandler* pHandler);

  // 0 until confirmed; once set it never changes.
  int64_t DeviceId() const { return m_deviceId.load(); }
  void SetDeviceId(int64_t id) { m_deviceId.store(id); }

  // CCommandChannel: also starts the first-frame timer.
  bool Attach(win32::SOCKET socket) override;
  // CIOHandler:
  void OnIoComplete(CIOOperation* pOp) override;
  void OnTimer(unsigned int timerId) override;

  // A frame this channel delivered now waits in a queue: its bytes count against the channel,
  // which the command keeps a reference on, until the command is freed.
  void Charge(CClientCommand* pCommand);
  int64_t QueuedBytes() const { return m_queuedBytes.load(); }

  // Tests only: another first-frame time-out for channels attached from now on (0 restores it).
  static void SetFirstFrameTimeoutForTesting(uint32_t timeoutMs);

 private:
  static constexpr uint32_t kFirstFrameTimerId = 1;
  // Posted to the channel itself when its queued frames drained below the bound.
  static constexpr uint32_t kOpResumeRead = 20;

  ~CClientChannel() override;

  // CCommandChannel:
  // A CClientCommand with a 1024-byte buffer, stamped with this channel's id.
  CCommand* NewCommand() override;
  int OnCommand(CCommand* pCommand) override;
  // Posts no read while the queued frames hold more than the bound.
  void PostRead() override;

  // A charged frame was freed, on any thread: its bytes no longer count; the read resumes when
  // the queue is below the bound again. Drops the frame's reference on the channel.
  static void OnFrameFreed(void* pChannel, uint32_t bytes);

  std::atomic<int64_t> m_deviceId{0};
  // Set on the I/O thread when the first complete frame arrives.
  std::atomic<bool> m_frameSeen{false};
  std::atomic<int64_t> m_queuedBytes{0};
  // Set while a read is held back for the queued bytes.
  std::atomic<bool> m_readPaused{false};
};
