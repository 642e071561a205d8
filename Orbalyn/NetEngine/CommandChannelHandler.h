#pragma once

#include <cstdint>

class CCommand;
class CCommandChannel;

// What the owner of a command channel hears from it. Every call runs on the I/O thread, one at
// a time for all channels, under a lifecycle guard of the handler: the object that implements
// this interface must be registered with CObjectLifecycleMgr under its complete-object address,
// as a CIOHandler that is its first base class is.
class CCommandChannelHandler {
 public:
  virtual void OnConnected(CCommandChannel* pChannel) = 0;
  // A negative result stops the delivery of the remaining commands of the same read until the
  // next read completes. The channel keeps its own reference only for the call.
  virtual int OnCommand(CCommandChannel* pChannel, CCommand* pCommand) = 0;
  // The channel has ended (and is closed already): `operation` is what failed (2 send, 3
  // receive, 6 connect, 9 asked for by AsyncClose), `error` why.
  virtual void OnFinish(CCommandChannel* pChannel, uint32_t operation, uint32_t error) = 0;

 protected:
  virtual ~CCommandChannelHandler() = default;
};
