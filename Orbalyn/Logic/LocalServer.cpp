#include "Logic/LocalServer.h"

#include <netinet/tcp.h>

#include "Common/ObjectLifecycleMgr.h"
#include "Logic/ClientCommMgr.h"
#include "NetEngine/DllLog.h"
#include "NetEngine/IOOperation.h"
#include "NetEngine/IOThread.h"
#include "NetEngine/NetHelpers.h"
#include "win32/winsock.h"

using namespace win32;

namespace {

// Keep-alive probes on phone connections: the first after a minute of silence, then every ten
// seconds, six unanswered end the connection.
constexpr int kKeepIdleS = 60;
constexpr int kKeepIntervalS = 10;
constexpr int kKeepProbes = 6;

SOCKET NewOverlappedSocket() {
  return WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
}

unsigned int SocketNumber(SOCKET socket) {
  return static_cast<unsigned int>(static_cast<uintptr_t>(socket));
}

}  // namespace

CLocalServer::CLocalServer()
    : m_hListen(INVALID_SOCKET), m_hAccept(INVALID_SOCKET), m_lastAccepted(INVALID_SOCKET) {}

CLocalServer::~CLocalServer() {
  SOCKET hListen = m_hListen.exchange(INVALID_SOCKET);
  if (hListen != INVALID_SOCKET) closesocket(hListen);
  SOCKET hAccept = m_hAccept.exchange(INVALID_SOCKET);
  if (hAccept != INVALID_SOCKET) closesocket(hAccept);
}

void CLocalServer::Start() {
  if (m_started) return;
  CObjectLifecycleMgr::Instance()->Register(static_cast<CIOHandler*>(this));
  CIOOperation* pOp = CIOOperation::Create(this, kOpStart, 0);
  if (!pOp || !CIOOperation::Post(pOp)) {
    DLL_LOG("CLocalServer[%p]::Start failed: the first accept cannot be posted",
            static_cast<void*>(this));
    if (pOp) CIOOperation::Release(pOp);
    return;
  }
  CIOOperation::Release(pOp);  // the creator's; the post holds its own
  m_started = true;
}

void CLocalServer::Close() {
  // Waits for a callback in progress; none starts afterwards.
  CObjectLifecycleMgr::Instance()->Unregister(static_cast<CIOHandler*>(this));
  CIOOperation::Allocator::Instance()->DetachOwner(this);
  CIOThread::Instance()->KillTimer(this, kRetryTimerId);
  SOCKET hListen = m_hListen.exchange(INVALID_SOCKET);
  if (hListen != INVALID_SOCKET) closesocket(hListen);
  SOCKET hAccept = m_hAccept.exchange(INVALID_SOCKET);
  if (hAccept != INVALID_SOCKET) closesocket(hAccept);
  m_port.store(0);
  m_failing = false;
  m_retries = 0;
  m_lastAcceptFailed = false;
  m_started = false;
}

void CLocalServer::OnIoComplete(CIOOperation* pOp) {
  ASSERT_ON_IO_THREAD();
  switch (pOp->Code()) {
    case kOpStart:
      PostAcceptOrRetry();
      break;
    case kOpAccept:
      AcceptSock(pOp);
      break;
    default:
      break;
  }
}

void CLocalServer::OnTimer(unsigned int timerId) {
  if (timerId == kRetryTimerId) PostAcceptOrRetry();
}

bool CLocalServer::Listen() {
  if (m_hListen.load() != INVALID_SOCKET) return true;
  SOCKET hSocket = NewOverlappedSocket();
  if (hSocket == INVALID_SOCKET) {
    if (!m_failing) DLL_LOG("创建Loacl Server Socket失败, Error=%u", WSAGetLastError());
    return false;
  }
  if (!BindAnyAddress(hSocket)) {
    if (!m_failing) DLL_LOG("创建Loacl Server Bind Socket失败, Error=%u", WSAGetLastError());
    closesocket(hSocket);
    return false;
  }
  sockaddr_in address{};
  int length = sizeof(address);
  if (getsockname(hSocket, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      !CIOThread::Instance()->Associate(hSocket) || listen(hSocket, kBacklog) != 0) {
    if (!m_failing) {
      DLL_LOG("CLocalServer[%p]::Listen failed: %u", static_cast<void*>(this), WSAGetLastError());
    }
    closesocket(hSocket);
    return false;
  }
  const uint16_t port = ntohs(address.sin_port);
  m_hListen.store(hSocket);
  m_port.store(port);
  DLL_LOG("创建Loacl Server 成功, Port=%u", port);
  return true;
}

bool CLocalServer::PostAccept() {
  m_acceptAttempts.fetch_add(1);
  if (!Listen()) return false;
  if (m_hAccept.load() != INVALID_SOCKET) return true;
  const SOCKET hListen = m_hListen.load();

  LPFN_ACCEPTEX pAcceptEx = nullptr;
  GUID acceptExId = WSAID_ACCEPTEX;
  DWORD returned = 0;
  if (WSAIoctl(hListen, SIO_GET_EXTENSION_FUNCTION_POINTER, &acceptExId, sizeof(acceptExId),
               &pAcceptEx, sizeof(pAcceptEx), &returned, nullptr, nullptr) != 0 ||
      !pAcceptEx) {
    if (!m_failing) DLL_LOG("CLocalServer::PostAccept no AcceptEx: %u", WSAGetLastError());
    return false;
  }

  SOCKET hSocket = NewOverlappedSocket();
  if (hSocket == INVALID_SOCKET) {
    if (!m_failing) DLL_LOG("创建Loacl Server Accept Socket失败, Error=%u", WSAGetLastError());
    return false;
  }
  CIOOperation* pOp = CIOOperation::Create(this, kOpAccept, kAcceptBufferSize);
  if (!pOp) {
    closesocket(hSocket);
    return false;
  }
  m_hAccept.store(hSocket);
  CIOOperation::AddRef(pOp);  // the accept's: dropped by the I/O thread after delivery, or below
  DWORD received = 0;
  if (!pAcceptEx(hListen, hSocket, pOp->Data(), 0, kAddressSlot, kAddressSlot, &received,
                 pOp->Overlapped())) {
    const int error = WSAGetLastError();
    if (error != WSA_IO_PENDING) {
      CIOOperation::Release(pOp);  // the accept's: no completion will come
      CIOOperation::Release(pOp);  // the creator's
      m_hAccept.store(INVALID_SOCKET);
      closesocket(hSocket);
      if (!m_failing) DLL_LOG("CLocalServer::PostAccept AcceptEx failed: %d", error);
      return false;
    }
  }
  CIOOperation::Release(pOp);  // the creator's
  return true;
}

void CLocalServer::PostAcceptOrRetry() {
  if (PostAccept()) {
    if (m_failing) {
      DLL_LOG("CLocalServer::PostAccept recovered after %u retries", m_retries);
      m_failing = false;
      m_retries = 0;
    }
    return;
  }
  if (!m_failing) DLL_LOG("CLocalServer::PostAccept failed: retry every %u ms", kRetryMs);
  m_failing = true;
  ++m_retries;
  CIOThread::Instance()->SetTimer(this, kRetryTimerId, kRetryMs, false);
}

void CLocalServer::AcceptSock(CIOOperation* pOp) {
  const SOCKET hSocket = m_hAccept.load();
  DLL_LOG("CLocalServer::AcceptSock: %u, error=%u", SocketNumber(hSocket), pOp->Error());
  if (hSocket == INVALID_SOCKET) return;
  m_hAccept.store(INVALID_SOCKET);

  const bool failed = pOp->Error() != 0;
  bool handedOver = false;
  if (!failed) {
    // Phone connections have no idle time-out; the kernel's probes find peers that vanished
    // (Wi-Fi lost) within about two minutes instead of the default two hours.
    const int on = 1;
    if (setsockopt(hSocket, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on),
                   sizeof(on)) != 0 ||
        setsockopt(hSocket, IPPROTO_TCP, TCP_KEEPIDLE, reinterpret_cast<const char*>(&kKeepIdleS),
                   sizeof(kKeepIdleS)) != 0 ||
        setsockopt(hSocket, IPPROTO_TCP, TCP_KEEPINTVL,
                   reinterpret_cast<const char*>(&kKeepIntervalS), sizeof(kKeepIntervalS)) != 0 ||
        setsockopt(hSocket, IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<const char*>(&kKeepProbes),
                   sizeof(kKeepProbes)) != 0) {
      DLL_LOG("CLocalServer::AcceptSock keep-alive failed: %u", WSAGetLastError());
    }
    m_lastAccepted.store(hSocket);
    handedOver = CClientCommMgr::Instance()->AddNewChannel(hSocket);
  }
  if (!handedOver) closesocket(hSocket);

  if (failed && m_lastAcceptFailed) {
    // Failing again at once: accepts complete with an error immediately while descriptors
    // are exhausted, so re-arming now would spin.
    if (!m_failing) DLL_LOG("CLocalServer::AcceptSock failing: retry every %u ms", kRetryMs);
    m_failing = true;
    ++m_retries;
    CIOThread::Instance()->SetTimer(this, kRetryTimerId, kRetryMs, false);
  } else {
    PostAcceptOrRetry();
  }
  m_lastAcceptFailed = failed;
}
