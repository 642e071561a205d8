#include "Logic/ClientChannel.h"

#include "Logic/ClientCommand.h"
#include "NetEngine/DllLog.h"
#include "NetEngine/IOThread.h"

namespace {

std::atomic<uint32_t> g_firstFrameTimeoutMs{CClientChannel::kFirstFrameTimeoutMs};

}  // namespace

CClientChannel::CClientChannel(CCommandChannelHandler* pHandler)
    : CCommandChannel(pHandler, kClass, 0) {}

CClientChannel::~CClientChannel() = default;

bool CClientChannel::Attach(win32::SOCKET socket) {
  if (!CCommandChannel::Attach(socket)) return false;
  if (!m_frameSeen.load()) {
    CIOThread::Instance()->SetTimer(this, kFirstFrameTimerId, g_firstFrameTimeoutMs.load(), false);
  }
  return true;
}

void CClientChannel::OnTimer(unsigned int timerId) {
  if (timerId != kFirstFrameTimerId || m_frameSeen.load()) return;
  DLL_LOG("Local Channel[%p, id:%u] sent no complete frame within %u ms: closed",
          static_cast<void*>(this), Id(), g_firstFrameTimeoutMs.load());
  AsyncClose();
}

void CClientChannel::SetFirstFrameTimeoutForTesting(uint32_t timeoutMs) {
  g_firstFrameTimeoutMs.store(timeoutMs != 0 ? timeoutMs : kFirstFrameTimeoutMs);
}

CCommand* CClientChannel::NewCommand() {
  CClientCommand* pCommand = CClientCommand::Create(CClientCommand::kDefaultBufferSize);
  if (pCommand) pCommand->SetChannelId(Id());
  return pCommand;
}

int CClientChannel::OnCommand(CCommand* pCommand) {
  if (!m_frameSeen.exchange(true)) CIOThread::Instance()->KillTimer(this, kFirstFrameTimerId);
  return CCommandChannel::OnCommand(pCommand);
}
