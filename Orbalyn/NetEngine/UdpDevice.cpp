#include "NetEngine/UdpDevice.h"

#include <cstring>

#include "NetEngine/DllLog.h"
#include "NetEngine/IOThread.h"
#include "Common/Lock.h"
#include "win32/winsock.h"

using namespace win32;

CUdpDevice::CUdpDevice() : m_hSocket(INVALID_SOCKET) { InitCriticalSection(&m_lock); }

CUdpDevice::~CUdpDevice() {
  Close();
  DeleteCriticalSection(&m_lock);
}

int CUdpDevice::Open(CIOOperation* pOp) { return Open(nullptr, 0, pOp); }

int CUdpDevice::Close() {
  ScopedLock lock(&m_lock);
  if (m_hSocket == INVALID_SOCKET) return 1;
  closesocket(m_hSocket);
  m_hSocket = INVALID_SOCKET;
  return 1;
}

int CUdpDevice::Read(CIOOperation* pOp) {
  if (!pOp) return 0;
  ScopedLock lock(&m_lock);
  if (m_hSocket == INVALID_SOCKET) {
    Complete(pOp, kErrorNoSocket);
    return 0;
  }
  // Room for the sender's address and its length, which the receive fills in when it ends.
  if (!CIOOperation::SetAddress(pOp, nullptr, sizeof(sockaddr_in))) {
    Complete(pOp, static_cast<uint32_t>(E_OUTOFMEMORY));
    return 0;
  }
  int* pFromLength = nullptr;
  auto* pFrom = static_cast<sockaddr*>(CIOOperation::GetAddress(pOp, &pFromLength));
  WSABUF buffer{pOp->Capacity() - pOp->Length(),
                reinterpret_cast<CHAR*>(pOp->Data() + pOp->Length())};
  DWORD bytes = 0;
  DWORD flags = 0;
  CIOOperation::AddRef(pOp);  // the receive's: dropped by the I/O thread after delivery, or below
  CompleteIfFailedAtOnce(pOp, WSARecvFrom(m_hSocket, &buffer, 1, &bytes, &flags, pFrom,
                                          pFromLength, pOp->Overlapped(), nullptr));
  return 1;
}

int CUdpDevice::Write(CIOOperation* pOp) {
  if (!pOp) return 0;
  ScopedLock lock(&m_lock);
  if (m_hSocket == INVALID_SOCKET) {
    Complete(pOp, kErrorNoSocket);
    return 0;
  }
  int* pToLength = nullptr;
  auto* pTo = static_cast<const sockaddr*>(CIOOperation::GetAddress(pOp, &pToLength));
  if (!pTo || *pToLength <= 0) {
    Complete(pOp, static_cast<uint32_t>(E_INVALIDARG));
    return 0;
  }
  WSABUF buffer{pOp->Length(), reinterpret_cast<CHAR*>(pOp->Data())};
  DWORD bytes = 0;
  CIOOperation::AddRef(pOp);  // the send's: dropped by the I/O thread after delivery, or below
  CompleteIfFailedAtOnce(pOp, WSASendTo(m_hSocket, &buffer, 1, &bytes, 0, pTo, *pToLength,
                                        pOp->Overlapped(), nullptr));
  return 1;
}

int CUdpDevice::Open(const sockaddr* pAddress, int length, CIOOperation* pOp) {
  ScopedLock lock(&m_lock);
  if (m_hSocket != INVALID_SOCKET) {
    Complete(pOp, kErrorHasSocket);
    return 0;
  }
  SOCKET socket = WSASocketW(AF_INET, SOCK_DGRAM, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
  if (socket == INVALID_SOCKET) {
    Complete(pOp, static_cast<uint32_t>(WSAGetLastError()));
    return 0;
  }
  int receiveBuffer = kReceiveBufferSize;
  setsockopt(socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer),
             sizeof(receiveBuffer));
  sockaddr_in anyAddress{};
  if (!pAddress || length <= 0) {
    anyAddress.sin_family = AF_INET;
    anyAddress.sin_addr.s_addr = htonl(INADDR_ANY);
    anyAddress.sin_port = 0;
    pAddress = reinterpret_cast<const sockaddr*>(&anyAddress);
    length = sizeof(anyAddress);
  }
  bind(socket, pAddress, length);  // a failure leaves the system to pick the port on first send
  m_hSocket = socket;
  if (!CIOThread::Instance()->Associate(socket)) {
    DLL_LOG("UdpDevice[%p] Associate failed: %u", static_cast<void*>(this), GetLastError());
  }
  Complete(pOp, 0);
  return 1;
}

bool CUdpDevice::Attach(SOCKET socket, CIOOperation* pOp) {
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
  Complete(pOp, 0);
  return true;
}
