#include "Logic/ClientChannel.h"

#include "Logic/ClientCommand.h"

CClientChannel::CClientChannel(CCommandChannelHandler* pHandler)
    : CCommandChannel(pHandler, kClass, 0) {}

CClientChannel::~CClientChannel() = default;

CCommand* CClientChannel::NewCommand() {
  CClientCommand* pCommand = CClientCommand::Create(CClientCommand::kDefaultBufferSize);
  if (pCommand) pCommand->SetChannelId(Id());
  return pCommand;
}
