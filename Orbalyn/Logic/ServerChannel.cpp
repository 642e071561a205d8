#include "Logic/ServerChannel.h"

#include "Logic/ServerCommand.h"

CServerChannel::CServerChannel(CCommandChannelHandler* pHandler, uint32_t tag)
    : CCommandChannel(pHandler, kClass, tag) {}

CServerChannel::~CServerChannel() = default;

CCommand* CServerChannel::NewCommand() { return CServerCommand::CreateForReading(Id()); }
