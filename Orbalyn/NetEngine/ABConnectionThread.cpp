#include "NetEngine/ABConnectionThread.h"

#include "NetEngine/DllLog.h"
#include "NetEngine/IOOperation.h"
#include "NetEngine/IOThread.h"
#include "Common/Lock.h"
#include "win32/winsock.h"

using namespace win32;

namespace {

// A socket whose connect failed at once keeps no selection on the slot event: the event goes to
// the next request of the slot, and closing the old socket would otherwise signal it.
void Deselect(SOCKET socket) { WSAEventSelect(socket, nullptr, 0); }

}  // namespace

CABConnectionThread::CABConnectionThread()
    : m_events{}, m_waitCount(kFirstConnectSlot), m_nextSlot(kFirstConnectSlot) {
  // Built first, so they are destroyed after this object drops its queued requests at exit.
  CIOThread::Instance();
  CIOOperation::Allocator::Instance();
  InitCriticalSection(&m_queueLock);
  m_events[kWakeSlot] = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

CABConnectionThread::~CABConnectionThread() {
  for (auto& entry : m_inProgress) CIOOperation::Release(entry.second.pOp);
  for (const ConnectRequest& request : m_queue) CIOOperation::Release(request.pOp);
  for (DWORD slot = kWakeSlot; slot < kMaxEvents; ++slot) {
    if (m_events[slot]) CloseHandle(m_events[slot]);
  }
  DeleteCriticalSection(&m_queueLock);
}

int CABConnectionThread::Start() {
  if (HasThread() || !m_events[kWakeSlot]) return -1;
  m_events[kStopSlot] = StopEvent();
  return CABThread::Start();
}

void CABConnectionThread::Run() {
  for (;;) {
    const DWORD count = m_waitCount.load();
    DWORD result = WaitForMultipleObjects(count, m_events, FALSE, INFINITE);
    if (result == WAIT_OBJECT_0 + kStopSlot) {
      DropInProgress();
      return;
    }
    if (result == WAIT_OBJECT_0 + kWakeSlot) {
      ResetEvent(m_events[kWakeSlot]);
      ScopedLock lock(&m_queueLock);
      StartQueuedLocked();
    } else if (result >= WAIT_OBJECT_0 + kFirstConnectSlot && result < WAIT_OBJECT_0 + count) {
      FinishSlot(result - WAIT_OBJECT_0);
    }
    // A time-out, a failed wait or any other result: wait again.
  }
}

void CABConnectionThread::AddRequest(SOCKET socket, CIOOperation* pOp) {
  if (!pOp) return;
  ScopedLock lock(&m_queueLock);
  CIOOperation::AddRef(pOp);  // the request's: dropped once its result is posted, or at stop
  m_queue.push_back(ConnectRequest{socket, pOp});
  SetEvent(m_events[kWakeSlot]);
}

size_t CABConnectionThread::RemoveQueuedRequest(SOCKET socket) {
  std::deque<ConnectRequest> removed;
  {
    ScopedLock lock(&m_queueLock);
    for (auto it = m_queue.begin(); it != m_queue.end();) {
      if (it->socket == socket) {
        removed.push_back(*it);
        it = m_queue.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const ConnectRequest& request : removed) PostResult(request, ERROR_OPERATION_ABORTED);
  return removed.size();
}

size_t CABConnectionThread::QueuedCountForTesting() {
  ScopedLock lock(&m_queueLock);
  return m_queue.size();
}

void CABConnectionThread::StartQueuedLocked() {
  while (!m_queue.empty() && m_nextSlot < kMaxEvents) {
    HANDLE& hEvent = m_events[m_nextSlot];
    if (!hEvent) {
      hEvent = WSACreateEvent();
      if (!hEvent) {
        // The requests stay queued for the next wake.
        DLL_LOG("ABConnectionThread create connect event failed: %u", GetLastError());
        return;
      }
    }
    ConnectRequest request = m_queue.front();
    m_queue.pop_front();
    ResetEvent(hEvent);
    if (WSAEventSelect(request.socket, hEvent, FD_CONNECT) != 0) {
      PostResult(request, static_cast<uint32_t>(WSAGetLastError()));
      continue;
    }
    int* pLength = nullptr;
    auto* pAddress = static_cast<const sockaddr*>(CIOOperation::GetAddress(request.pOp, &pLength));
    if (!pAddress || *pLength <= 0) {
      Deselect(request.socket);
      PostResult(request, static_cast<uint32_t>(E_INVALIDARG));
      continue;
    }
    if (connect(request.socket, pAddress, *pLength) != 0) {
      int error = WSAGetLastError();
      if (error != WSAEWOULDBLOCK) {
        Deselect(request.socket);
        PostResult(request, static_cast<uint32_t>(error));
        continue;
      }
    }
    // In progress, or connected at once: either way the slot event reports it.
    m_inProgress[hEvent] = request;
    ++m_nextSlot;
    m_waitCount.store(m_waitCount.load() + 1);
  }
}

void CABConnectionThread::FinishSlot(DWORD slot) {
  const HANDLE hEvent = m_events[slot];
  auto it = m_inProgress.find(hEvent);
  if (it == m_inProgress.end()) {
    ResetEvent(hEvent);  // a manual-reset event left set would end every wait at once
    return;
  }
  const ConnectRequest request = it->second;
  WSANETWORKEVENTS networkEvents{};
  uint32_t error = 0;
  if (WSAEnumNetworkEvents(request.socket, hEvent, &networkEvents) != 0) {
    // A socket closed during its connect ends up here (10038), which frees its slot.
    error = static_cast<uint32_t>(WSAGetLastError());
  } else if (!(networkEvents.lNetworkEvents & FD_CONNECT)) {
    // Signalled before the connect ended, and the query has reset the event. A connect that
    // ended (or a close) in between may have lost its signal to that reset: look once more
    // without touching the event, and otherwise keep waiting for the signal.
    if (WSAEnumNetworkEvents(request.socket, nullptr, &networkEvents) != 0) {
      error = static_cast<uint32_t>(WSAGetLastError());
    } else if (!(networkEvents.lNetworkEvents & FD_CONNECT)) {
      return;
    } else {
      error = static_cast<uint32_t>(networkEvents.iErrorCode[FD_CONNECT_BIT]);
    }
  } else {
    error = static_cast<uint32_t>(networkEvents.iErrorCode[FD_CONNECT_BIT]);
  }
  m_inProgress.erase(it);
  PostResult(request, error);
  ResetEvent(hEvent);

  // Close the gap: later slots move down, the freed event goes to the last used slot.
  const DWORD last = m_waitCount.load() - 1;
  for (DWORD i = slot; i < last; ++i) m_events[i] = m_events[i + 1];
  m_events[last] = hEvent;
  m_waitCount.store(last);
  m_nextSlot = last;
  // Queued requests may take the freed slot.
  SetEvent(m_events[kWakeSlot]);
}

void CABConnectionThread::DropInProgress() {
  for (auto& entry : m_inProgress) CIOOperation::Release(entry.second.pOp);
  m_inProgress.clear();
  for (DWORD slot = kFirstConnectSlot; slot < kMaxEvents; ++slot) {
    if (m_events[slot]) {
      CloseHandle(m_events[slot]);
      m_events[slot] = nullptr;
    }
  }
  m_waitCount.store(kFirstConnectSlot);
  m_nextSlot = kFirstConnectSlot;
}

void CABConnectionThread::PostResult(const ConnectRequest& request, uint32_t error) {
  request.pOp->SetError(error);
  CIOOperation::Post(request.pOp);
  CIOOperation::Release(request.pOp);  // the request's
}
