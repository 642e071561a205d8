#include "Logic/ClientChannel.h"

#include "Logic/ClientCommand.h"
#include "NetEngine/DllLog.h"
#include "NetEngine/IOOperation.h"
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

void CClientChannel::OnIoComplete(CIOOperation* pOp) {
  if (pOp->Code() == kOpResumeRead) {
    if (!TryAddRef()) return;
    PostRead();
    Release();
    return;
  }
  CCommandChannel::OnIoComplete(pOp);
}

void CClientChannel::OnTimer(unsigned int timerId) {
  if (timerId != kFirstFrameTimerId || m_frameSeen.load()) return;
  DLL_LOG("Local Channel[%p, id:%u] sent no complete frame within %u ms: closed",
          static_cast<void*>(this), Id(), g_firstFrameTimeoutMs.load());
  AsyncClose();
}

void CClientChannel::Charge(CClientCommand* pCommand) {
  const uint32_t bytes = pCommand->FrameLength();
  AddRef();  // the frame's: dropped by OnFrameFreed
  m_queuedBytes.fetch_add(bytes);
  pCommand->SetFreeHook(&CClientChannel::OnFrameFreed, this, bytes);
}

void CClientChannel::SetFirstFrameTimeoutForTesting(uint32_t timeoutMs) {
  g_firstFrameTimeoutMs.store(timeoutMs != 0 ? timeoutMs : kFirstFrameTimeoutMs);
}

CCommand* CClientChannel::NewCommand() {
  CClientCommand* pCommand = CClientCommand::Create(CClientCommand::kDefaultBufferSize);
  if (pCommand) pCommand->SetChannelId(Id());
  return pCommand;
}

void CClientChannel::PostRead() {
  if (m_queuedBytes.load() > kMaxQueuedBytes) {
    m_readPaused.store(true);
    // Frames freed since the check found the flag clear: the read is this thread's to post.
    if (m_queuedBytes.load() > kMaxQueuedBytes || !m_readPaused.exchange(false)) return;
  }
  CCommandChannel::PostRead();
}

int CClientChannel::OnCommand(CCommand* pCommand) {
  if (!m_frameSeen.exchange(true)) CIOThread::Instance()->KillTimer(this, kFirstFrameTimerId);
  return CCommandChannel::OnCommand(pCommand);
}

void CClientChannel::OnFrameFreed(void* pContext, uint32_t bytes) {
  auto* pChannel = static_cast<CClientChannel*>(pContext);
  const int64_t left = pChannel->m_queuedBytes.fetch_sub(bytes) - bytes;
  if (left <= kMaxQueuedBytes && pChannel->m_readPaused.exchange(false)) {
    CIOOperation* pOp = CIOOperation::Create(pChannel, kOpResumeRead, 0);
    if (pOp) {
      CIOOperation::Post(pOp);
      CIOOperation::Release(pOp);  // the creator's; the post holds its own
    } else {
      pChannel->m_readPaused.store(true);  // the next frame freed tries again
    }
  }
  pChannel->Release();  // the frame's
}
