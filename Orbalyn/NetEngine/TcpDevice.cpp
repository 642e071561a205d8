#include "NetEngine/TcpDevice.h"

#include "NetEngine/ABConnectionThread.h"
#include "NetEngine/DllLog.h"
#include "NetEngine/IOThread.h"
#include "Common/Lock.h"
#include "win32/iocp.h"
#include "win32/winsock.h"

using namespace win32;

namespace {

HANDLE AsHandle(SOCKET socket) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(socket)); }

}  // namespace

CTcpDevice::CTcpDevice() : m_hSocket(INVALID_SOCKET) { InitCriticalSection(&m_lock); }

CTcpDevice::~CTcpDevice() {
  Close();
  DeleteCriticalSection(&m_lock);
}

int CTcpDevice::Open(CIOOperation* pOp) {
  if (!pOp) return 0;
  ScopedLock lock(&m_lock);
  if (m_hSocket != INVALID_SOCKET) {
    Complete(pOp, kErrorHasSocket);
    return 0;
  }
  int* pLength = nullptr;
  if (!CIOOperation::GetAddress(pOp, &pLength) || *pLength <= 0) {
    Complete(pOp, static_cast<uint32_t>(E_INVALIDARG));
    return 0;
  }
  SOCKET socket = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
  if (socket == INVALID_SOCKET) {
    Complete(pOp, static_cast<uint32_t>(WSAGetLastError()));
    return 0;
  }
  m_hSocket = socket;
  if (!CIOThread::Instance()->Associate(socket)) {
    DLL_LOG("TcpDevice[%p] Associate failed: %u", static_cast<void*>(this), GetLastError());
  }
  CABConnectionThread::Instance()->AddRequest(socket, pOp);
  return 1;
}

int CTcpDevice::Close() {
  ScopedLock lock(&m_lock);
  if (m_hSocket == INVALID_SOCKET) return 1;
  // A connect still waiting in the queue would otherwise be started later on this socket's
  // number, which by then may belong to another socket.
  CABConnectionThread::Instance()->RemoveQueuedRequest(m_hSocket);
  CancelIo(AsHandle(m_hSocket));
  closesocket(m_hSocket);
  m_hSocket = INVALID_SOCKET;
  return 1;
}

int CTcpDevice::Read(CIOOperation* pOp) {
  if (!pOp) return 0;
  ScopedLock lock(&m_lock);
  if (m_hSocket == INVALID_SOCKET) {
    Complete(pOp, kErrorNoSocket);
    DLL_LOG("TcpDevice Read Error: INVALID_SOCKET");
    return 0;
  }
  WSABUF buffer{pOp->Capacity() - pOp->Length(),
                reinterpret_cast<CHAR*>(pOp->Data() + pOp->Length())};
  DWORD bytes = 0;
  DWORD flags = 0;
  CIOOperation::AddRef(pOp);  // the receive's: dropped by the I/O thread after delivery, or below
  if (uint32_t error = CompleteIfFailedAtOnce(
          pOp, WSARecv(m_hSocket, &buffer, 1, &bytes, &flags, pOp->Overlapped(), nullptr))) {
    DLL_LOG("TcpDevice Read Error: %u", error);
  }
  return 1;
}

int CTcpDevice::Write(CIOOperation* pOp) {
  if (!pOp) return 0;
  ScopedLock lock(&m_lock);
  if (m_hSocket == INVALID_SOCKET) {
    Complete(pOp, kErrorNoSocket);
    return 0;
  }
  WSABUF buffer{pOp->Length(), reinterpret_cast<CHAR*>(pOp->Data())};
  DWORD bytes = 0;
  CIOOperation::AddRef(pOp);  // the send's: dropped by the I/O thread after delivery, or below
  CompleteIfFailedAtOnce(pOp,
                         WSASend(m_hSocket, &buffer, 1, &bytes, 0, pOp->Overlapped(), nullptr));
  return 1;
}

int CTcpDevice::Connect(const sockaddr* pAddress, int length, CIOOperation* pOp) {
  if (!pOp) return 0;
  if (!pAddress || length <= 0) {
    Complete(pOp, static_cast<uint32_t>(E_INVALIDARG));
    return 0;
  }
  if (!CIOOperation::SetAddress(pOp, pAddress, length)) {
    Complete(pOp, static_cast<uint32_t>(E_OUTOFMEMORY));
    return 0;
  }
  return Open(pOp);
}

bool CTcpDevice::Attach(SOCKET socket, CIOOperation* pOp) {
  ScopedLock lock(&m_lock);
  if (m_hSocket != INVALID_SOCKET) {
    Complete(pOp, kErrorHasSocket);
    return false;
  }
  if (socket == INVALID_SOCKET) {
    Complete(pOp, kErrorNoSocket);
    return false;
  }
  m_hSocket = socket;
  if (!CIOThread::Instance()->Associate(socket)) {
    DLL_LOG("TcpDevice[%p] Associate failed: %u", static_cast<void*>(this), GetLastError());
  }
  Complete(pOp, 0);
  return true;
}
