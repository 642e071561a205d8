#pragma once

#include <cstdint>

#include "NetEngine/CommandChannel.h"

class CCommand;
class CCommandChannelHandler;

// One connection from the PC to one of the maker's servers: a command channel of class 1 whose
// frames are server commands. The tag is the channel's purpose in the server session (which
// server it talks to and which request it sends once connected).
// Lifetime: reference-counted (see CCommandChannel); the server session's channel map holds one
//   reference from the moment the session opens it until it takes it out to close it or
//   handles its finish.
// Threading: as CCommandChannel.
class CServerChannel final : public CCommandChannel {
 public:
  static constexpr uint32_t kClass = 1;

  CServerChannel(CCommandChannelHandler* pHandler, uint32_t tag);

 private:
  ~CServerChannel() override;

  // CCommandChannel:
  // A CServerCommand with a 1024-byte buffer, stamped with this channel's id.
  CCommand* NewCommand() override;
};
