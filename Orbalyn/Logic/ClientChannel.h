#pragma once

#include <atomic>
#include <cstdint>

#include "NetEngine/CommandChannel.h"

class CCommand;
class CCommandChannelHandler;

// One TCP connection from a phone on the local network: a command channel of class 2 whose
// frames are phone frames, plus the id of the phone behind it, learnt from the first command
// handled on it without error. A phone always speaks first: a connection that has not
// delivered one complete frame within kFirstFrameTimeoutMs of being attached is closed, so idle
// or half-sent connections cannot hold descriptors for good. Once a frame has come the
// connection keeps no time-out.
// Lifetime: reference-counted (see CCommandChannel); the phone command manager's map holds one
//   reference from AddNewChannel until the channel's finish record is handled.
// Threading: as CCommandChannel. The device id is written on the I/O thread and read there and
//   by the manager's finish handling; it is atomic because tests and the upload thread may look.
//   The first-frame timer fires on the I/O thread, where frames are delivered too.
class CClientChannel final : public CCommandChannel {
 public:
  static constexpr uint32_t kClass = 2;
  static constexpr uint32_t kFirstFrameTimeoutMs = 30000;

  explicit CClientChannel(CCommandChannelHandler* pHandler);

  // 0 until confirmed; once set it never changes.
  int64_t DeviceId() const { return m_deviceId.load(); }
  void SetDeviceId(int64_t id) { m_deviceId.store(id); }

  // CCommandChannel: also starts the first-frame timer.
  bool Attach(win32::SOCKET socket) override;
  // CIOHandler:
  void OnTimer(unsigned int timerId) override;

  // Tests only: another first-frame time-out for channels attached from now on (0 restores it).
  static void SetFirstFrameTimeoutForTesting(uint32_t timeoutMs);

 private:
  static constexpr uint32_t kFirstFrameTimerId = 1;

  ~CClientChannel() override;

  // CCommandChannel:
  // A CClientCommand with a 1024-byte buffer, stamped with this channel's id.
  CCommand* NewCommand() override;
  int OnCommand(CCommand* pCommand) override;

  std::atomic<int64_t> m_deviceId{0};
  // Set on the I/O thread when the first complete frame arrives.
  std::atomic<bool> m_frameSeen{false};
};
