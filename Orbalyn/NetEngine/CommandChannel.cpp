#include "NetEngine/CommandChannel.h"

#include <new>

#include "Common/ObjectLifecycleMgr.h"
#include "NetEngine/Command.h"
#include "NetEngine/CommandChannelHandler.h"
#include "NetEngine/DllLog.h"
#include "NetEngine/IOOperation.h"
#include "NetEngine/IOThread.h"
#include "NetEngine/IOTimerTable.h"
#include "Common/Lock.h"
#include "NetEngine/TcpDevice.h"
#include "win32/winsock.h"

using namespace win32;

namespace {

std::atomic<uint32_t> g_lastChannelId{0};

uint32_t NextChannelId() {
  uint32_t id = g_lastChannelId.fetch_add(1) + 1;
  if (id == 0) id = g_lastChannelId.fetch_add(1) + 1;  // 0 means "no channel"
  return id;
}

}  // namespace

CCommandChannel::CCommandChannel(CCommandChannelHandler* pHandler, uint32_t channelClass,
                                 uint32_t tag)
    : m_id(NextChannelId()),
      m_state(kIdle),
      m_pHandler(pHandler),
      m_pHandlerObject(pHandler ? dynamic_cast<void*>(pHandler) : nullptr),
      m_class(channelClass),
      m_tag(tag),
      m_refCount(1),
      m_pCurrent(nullptr) {
  InitCriticalSection(&m_lock);
  InitCriticalSection(&m_receivedLock);
}

CCommandChannel::~CCommandChannel() {
  Close();
  DeleteCriticalSection(&m_receivedLock);
  DeleteCriticalSection(&m_lock);
}

void CCommandChannel::OnIoComplete(CIOOperation* pOp) {
  // A handler may drop the last reference from inside a callback below. At 0 the destructor
  // runs on another thread: a frame delivered now would take a reference on a dying channel.
  if (!TryAddRef()) return;
  switch (pOp->Code()) {
    case kOpWrite:
      OnWriteDone(pOp);
      break;
    case kOpRead:
      OnReadDone(pOp);
      break;
    case kOpConnect:
      OnConnectDone(pOp);
      break;
    case kOpAsyncClose:
      Finish(kOpAsyncClose, 0);
      break;
    default:
      break;
  }
  Release();
}

void CCommandChannel::OnTimer(unsigned int /*timerId*/) {}

int32_t CCommandChannel::AddRef() { return m_refCount.fetch_add(1) + 1; }

int32_t CCommandChannel::Release() {
  int32_t count = m_refCount.fetch_sub(1) - 1;
  if (count == 0) delete this;
  return count;
}

bool CCommandChannel::Connect(uint32_t addressNetOrder, uint16_t port) {
  ScopedLock lock(&m_lock);
  if (m_pDevice) return false;
  std::unique_ptr<CTcpDevice> pDevice(new (std::nothrow) CTcpDevice());
  CIOOperation* pOp = pDevice ? CIOOperation::Create(this, kOpConnect, 0) : nullptr;
  if (!pOp) return false;
  m_pDevice = std::move(pDevice);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = addressNetOrder;
  m_pDevice->Connect(reinterpret_cast<const sockaddr*>(&address), sizeof(address), pOp);
  CIOOperation::Release(pOp);  // the creator's; the connect request holds its own
  m_state = kConnecting;
  return true;
}

bool CCommandChannel::Attach(SOCKET socket) {
  ScopedLock lock(&m_lock);
  if (m_pDevice) return false;
  std::unique_ptr<CTcpDevice> pDevice(new (std::nothrow) CTcpDevice());
  if (!pDevice || !pDevice->Attach(socket, nullptr)) return false;
  m_pDevice = std::move(pDevice);
  m_state = kConnected;
  PostRead();
  return true;
}

int CCommandChannel::Close() {
  // Waits until no other thread is inside a callback of this channel.
  CObjectLifecycleMgr::Instance()->Unregister(static_cast<CIOHandler*>(this));
  {
    ScopedLock lock(&m_lock);
    if (m_pDevice) {
      m_pDevice->Close();
      m_pDevice.reset();
    }
  }
  std::deque<CCommand*> received;
  {
    ScopedLock lock(&m_receivedLock);
    received.swap(m_received);
  }
  for (CCommand* pCommand : received) pCommand->Release();
  CIOOperation::Allocator::Instance()->DetachOwner(this);
  CIOThread::Instance()->TimerTable()->RemoveHandler(this);
  CCommand* pCurrent = nullptr;
  {
    ScopedLock lock(&m_lock);
    pCurrent = m_pCurrent;
    m_pCurrent = nullptr;
    m_state = kIdle;
  }
  if (pCurrent) pCurrent->Release();
  CObjectLifecycleMgr::Instance()->Register(static_cast<CIOHandler*>(this));
  return 1;
}

int CCommandChannel::AsyncClose() {
  CIOOperation* pOp = CIOOperation::Create(this, kOpAsyncClose, 0);
  if (!pOp) return 0;
  int posted = CIOOperation::Post(pOp);
  CIOOperation::Release(pOp);
  return posted;
}

int CCommandChannel::Send(CCommand* pCommand) {
  if (!pCommand) return 0;
  ScopedLock lock(&m_lock);
  if (!m_pDevice || !pCommand->IsValid()) return 0;
  CIOOperation* pOp = CIOOperation::Create(this, kOpWrite, pCommand->Buffer()->Length());
  if (!pOp) return 0;
  if (!pCommand->SerializeTo(pOp)) {
    CIOOperation::Release(pOp);
    return 0;
  }
  m_pDevice->Write(pOp);
  CIOOperation::Release(pOp);  // the creator's; the send holds its own
  return 1;
}

CCommandChannel::State CCommandChannel::GetState() {
  ScopedLock lock(&m_lock);
  return m_state;
}

void CCommandChannel::PostRead() {
  ScopedLock lock(&m_lock);
  if (!m_pDevice) return;
  CIOOperation* pOp = CIOOperation::Create(this, kOpRead, kReadSize);
  if (!pOp) {
    DLL_LOG("CommandChannel[%p, id:%u, class:%u, Tag:%u]::PostRead failed: no memory",
            static_cast<void*>(this), m_id, m_class, m_tag);
    return;
  }
  m_pDevice->Read(pOp);
  CIOOperation::Release(pOp);  // the creator's; the receive holds its own
}

void CCommandChannel::OnConnectDone(CIOOperation* pOp) {
  if (pOp->Error() != 0) {
    Finish(kOpConnect, pOp->Error());
    return;
  }
  CCommand* pPartial = nullptr;
  {
    ScopedLock lock(&m_lock);
    m_state = kConnected;
    pPartial = m_pCurrent;
    m_pCurrent = nullptr;
  }
  if (pPartial) pPartial->Release();
  PostRead();
  OnConnected();
}

void CCommandChannel::OnWriteDone(CIOOperation* pOp) {
  if (pOp->Error() != 0) Finish(kOpWrite, pOp->Error());
}

void CCommandChannel::OnReadDone(CIOOperation* pOp) {
  if (pOp->Error() != 0) {
    Finish(kOpRead, pOp->Error());
    return;
  }
  pOp->SetLength(pOp->BytesTransferred());
  if (pOp->Length() == 0) {
    Finish(kOpRead, WSAECONNRESET);  // the peer closed the connection
    return;
  }
  if (Feed(pOp->Data(), pOp->Length()) <= 0) return;
  // Re-armed before delivery, so the socket always has a receive pending while handlers work.
  PostRead();
  for (;;) {
    CCommand* pCommand = nullptr;
    {
      ScopedLock lock(&m_receivedLock);
      if (m_received.empty()) return;
      pCommand = m_received.front();
      m_received.pop_front();
    }
    int result = OnCommand(pCommand);
    pCommand->Release();
    if (result < 0) return;  // the rest waits for the next read
  }
}

void CCommandChannel::Finish(uint32_t operation, uint32_t error) {
  Close();
  OnFinish(operation, error);
}

int CCommandChannel::Feed(const uint8_t* pData, uint32_t length) {
  uint32_t failure = 0;
  {
    ScopedLock lock(&m_lock);
    while (length > 0) {
      if (!m_pCurrent) {
        m_pCurrent = NewCommand();
        if (!m_pCurrent) {
          failure = static_cast<uint32_t>(E_OUTOFMEMORY);
          break;
        }
      }
      int result = m_pCurrent->ParseFrom(&pData, &length);
      // "Needs more" with bytes left over would never make progress: treat it as malformed.
      if (result < 0 || (result > 0 && length > 0)) {
        failure = static_cast<uint32_t>(E_INVALIDARG);
        break;
      }
      if (result == 0) {
        ScopedLock receivedLock(&m_receivedLock);
        m_received.push_back(m_pCurrent);
        m_pCurrent = nullptr;
      }
    }
  }
  // Finished outside the lock: the handler's OnFinish may take its own locks.
  if (failure != 0) {
    Finish(kOpRead, failure);
    return -1;
  }
  return 1;
}

void CCommandChannel::OnConnected() {
  DLL_LOG("CommandChannel[%p, id:%u, class:%u, Tag:%u]::OnConnected", static_cast<void*>(this),
          m_id, m_class, m_tag);
  CLifecycleGuard guard;
  if (CObjectLifecycleMgr::Instance()->Use(m_pHandlerObject, &guard)) m_pHandler->OnConnected(this);
}

int CCommandChannel::OnCommand(CCommand* pCommand) {
  CLifecycleGuard guard;
  if (!CObjectLifecycleMgr::Instance()->Use(m_pHandlerObject, &guard)) return 0;
  return m_pHandler->OnCommand(this, pCommand);
}

void CCommandChannel::OnFinish(uint32_t operation, uint32_t error) {
  DLL_LOG("CommandChannel[%p, id:%u, class:%u, Tag:%u]::OnFinish: OP=%u, Error=%u",
          static_cast<void*>(this), m_id, m_class, m_tag, operation, error);
  CLifecycleGuard guard;
  if (CObjectLifecycleMgr::Instance()->Use(m_pHandlerObject, &guard)) {
    m_pHandler->OnFinish(this, operation, error);
  }
}

bool CCommandChannel::TryAddRef() {
  int32_t count = m_refCount.load();
  while (count > 0) {
    if (m_refCount.compare_exchange_weak(count, count + 1)) return true;
  }
  return false;
}
