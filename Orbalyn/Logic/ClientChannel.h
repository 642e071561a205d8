#pragma once

#include <atomic>
#include <cstdint>

#include "NetEngine/CommandChannel.h"

class CCommand;
class CCommandChannelHandler;

// One TCP connection from a phone on the local network: a command channel of class 2 whose
// frames are phone frames, plus the id of the phone behind it, learnt from the first command
// handled on it without error.
// Lifetime: reference-counted (see CCommandChannel); the phone command manager's map holds one
//   reference from AddNewChannel until the channel's finish record is handled.
// Threading: as CCommandChannel. The device id is written on the I/O thread and read there and
//   by the manager's finish handling; it is atomic because tests and the upload thread may look.
class CClientChannel final : public CCommandChannel {
 public:
  static constexpr uint32_t kClass = 2;

  explicit CClientChannel(CCommandChannelHandler* pHandler);

  // 0 until confirmed; once set it never changes.
  int64_t DeviceId() const { return m_deviceId.load(); }
  void SetDeviceId(int64_t id) { m_deviceId.store(id); }

 private:
  ~CClientChannel() override;

  // CCommandChannel:
  // A CClientCommand with a 1024-byte buffer, stamped with this channel's id.
  CCommand* NewCommand() override;

  std::atomic<int64_t> m_deviceId{0};
};
