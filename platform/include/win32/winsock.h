#pragma once
// Winsock over POSIX sockets. A SOCKET is its descriptor number wrapped in a distinct type, so the
// Winsock-flavoured overloads below (bind(SOCKET, ...), connect(SOCKET, ...)) sit beside
// <sys/socket.h> without ambiguity and report failures through WSAGetLastError with WSA numbers.
// Address families, socket types, levels and option names are the system headers' own values.
// Byte order (htons, ntohl, ...), inet_addr (INADDR_NONE for bad text) and inet_ntoa (per-thread
// buffer) come from <arpa/inet.h> unchanged.
//
// Overlapped requests (WSARecv, WSASend, WSARecvFrom, WSASendTo, AcceptEx) follow the completion
// port rules of win32/iocp.h. The socket must be associated with a port first (else 10022).
// Sends on one socket leave in call order, each one whole; no send ever raises SIGPIPE.

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include "win32/base.h"
#include "win32/overlapped.h"
#include "win32/sync.h"

namespace win32 {

enum class SOCKET : uintptr_t {};
inline constexpr SOCKET INVALID_SOCKET = static_cast<SOCKET>(~uintptr_t{0});
constexpr int SOCKET_ERROR = -1;

using SOCKADDR = sockaddr;
using PSOCKADDR = sockaddr*;
using LPSOCKADDR = sockaddr*;
using SOCKADDR_IN = sockaddr_in;
using PSOCKADDR_IN = sockaddr_in*;
using HOSTENT = hostent;
using LPINT = int*;
using GROUP = unsigned int;

// WSA error numbers (WSAGetLastError).
constexpr int WSA_IO_PENDING = 997;
constexpr int WSA_OPERATION_ABORTED = 995;
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// The same thread-local value as GetLastError/SetLastError.
WIN32_API int WSAGetLastError();
WIN32_API void WSASetLastError(int error);

// --- Start-up ---
constexpr size_t WSADESCRIPTION_LEN = 256;
constexpr size_t WSASYS_STATUS_LEN = 128;
struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
  unsigned short iMaxSockets;
  unsigned short iMaxUdpDg;
  char* lpVendorInfo;
  char szDescription[WSADESCRIPTION_LEN + 1];
  char szSystemStatus[WSASYS_STATUS_LEN + 1];
};
using LPWSADATA = WSADATA*;

// Counted; returns 0 or the error itself (10092 below version 1, 10014 for a null WSADATA).
// Offers at most version 2.2.
WIN32_API int WSAStartup(WORD versionRequested, LPWSADATA data);
// SOCKET_ERROR with 10093 when not started.
WIN32_API int WSACleanup();

// --- Sockets and overlapped requests ---
struct WSABUF {
  ULONG len;
  CHAR* buf;
};
using LPWSABUF = WSABUF*;
using WSAOVERLAPPED = OVERLAPPED;
using LPWSAOVERLAPPED = OVERLAPPED*;
using LPWSAOVERLAPPED_COMPLETION_ROUTINE = void (*)(DWORD error, DWORD bytes,
                                                    LPWSAOVERLAPPED overlapped, DWORD flags);
struct WSAPROTOCOL_INFOW;  // never passed here: always null
using LPWSAPROTOCOL_INFOW = WSAPROTOCOL_INFOW*;

constexpr DWORD WSA_FLAG_OVERLAPPED = 0x01;

// Every socket is overlapped-capable. Stream sockets give up an unanswered connect after about
// 30 s, as Windows does, rather than Linux's two minutes.
WIN32_API SOCKET WSASocketW(int af, int type, int protocol, LPWSAPROTOCOL_INFOW protocolInfo,
                            GROUP group, DWORD flags);
// Same signature as the POSIX call: name it win32::socket.
WIN32_API SOCKET socket(int af, int type, int protocol);
// Every pending request completes with 995, once. A socket closed while its event-selected
// connect is still unreported signals that event (WSAEnumNetworkEvents then fails with 10038),
// so a thread waiting for the connect is never stranded.
WIN32_API int closesocket(SOCKET s);

// 0 with the bytes in *bytes when done at once (a packet is still queued); SOCKET_ERROR with
// 997 when pending; SOCKET_ERROR with another WSA error when refused (no packet). A read of 0
// bytes means the peer closed. Completion routines are not supported (10045).
WIN32_API int WSARecv(SOCKET s, LPWSABUF buffers, DWORD bufferCount, LPDWORD bytesReceived,
                      LPDWORD flags, LPWSAOVERLAPPED overlapped,
                      LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);
// Completes only when every byte is out, or fails.
WIN32_API int WSASend(SOCKET s, LPWSABUF buffers, DWORD bufferCount, LPDWORD bytesSent, DWORD flags,
                      LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);
// The sender's address and its length are written to *from / *fromLength when the datagram
// arrives. A datagram longer than the buffers fails (234 through the port, 10040 at once).
WIN32_API int WSARecvFrom(SOCKET s, LPWSABUF buffers, DWORD bufferCount, LPDWORD bytesReceived,
                          LPDWORD flags, sockaddr* from, LPINT fromLength,
                          LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);
WIN32_API int WSASendTo(SOCKET s, LPWSABUF buffers, DWORD bufferCount, LPDWORD bytesSent,
                        DWORD flags, const sockaddr* to, int toLength, LPWSAOVERLAPPED overlapped,
                        LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);

// --- Synchronous helpers: 0 (or the result) on success, SOCKET_ERROR + WSA error otherwise ---
constexpr int SD_RECEIVE = SHUT_RD;
constexpr int SD_SEND = SHUT_WR;
constexpr int SD_BOTH = SHUT_RDWR;

WIN32_API int bind(SOCKET s, const sockaddr* name, int nameLength);
WIN32_API int listen(SOCKET s, int backlog);
// A non-blocking socket (FIONBIO, or event-selected) answers 10035 while the connect is in
// progress; a blocking one waits for the outcome.
WIN32_API int connect(SOCKET s, const sockaddr* name, int nameLength);
WIN32_API SOCKET accept(SOCKET s, sockaddr* address, LPINT addressLength);
WIN32_API int getsockname(SOCKET s, sockaddr* name, LPINT nameLength);
WIN32_API int getpeername(SOCKET s, sockaddr* name, LPINT nameLength);
// SO_UPDATE_ACCEPT_CONTEXT and SO_UPDATE_CONNECT_CONTEXT (SOL_SOCKET) are accepted and do
// nothing: an accepted socket is complete already.
constexpr int SO_UPDATE_ACCEPT_CONTEXT = 0x700B;
constexpr int SO_UPDATE_CONNECT_CONTEXT = 0x7010;
WIN32_API int setsockopt(SOCKET s, int level, int optionName, const char* value, int length);
WIN32_API int getsockopt(SOCKET s, int level, int optionName, char* value, LPINT length);
// FIONBIO and FIONREAD (the <sys/ioctl.h> values).
WIN32_API int ioctlsocket(SOCKET s, long command, ULONG* argument);
WIN32_API int shutdown(SOCKET s, int how);

// --- AcceptEx ---
// The accept socket must be a fresh socket from WSASocketW; when the accept completes it carries
// the connection under the same SOCKET value. The completion arrives with 0 bytes and the
// listening socket's key. Only receiveDataLength 0 is supported (else 10022); each address slot
// needs sizeof(sockaddr_in) + 16 bytes. Accept failures that leave the backlog unusable (no
// descriptors or memory left) complete the request with the error rather than waiting.
WIN32_API BOOL AcceptEx(SOCKET listenSocket, SOCKET acceptSocket, PVOID outputBuffer,
                        DWORD receiveDataLength, DWORD localAddressLength,
                        DWORD remoteAddressLength, LPDWORD bytesReceived, LPOVERLAPPED overlapped);
// Reads the buffer that a completed AcceptEx filled.
WIN32_API void GetAcceptExSockaddrs(PVOID outputBuffer, DWORD receiveDataLength,
                                    DWORD localAddressLength, DWORD remoteAddressLength,
                                    sockaddr** localAddress, LPINT localLength,
                                    sockaddr** remoteAddress, LPINT remoteLength);
using LPFN_ACCEPTEX = BOOL (*)(SOCKET, SOCKET, PVOID, DWORD, DWORD, DWORD, LPDWORD, LPOVERLAPPED);
using LPFN_GETACCEPTEXSOCKADDRS = void (*)(PVOID, DWORD, DWORD, DWORD, sockaddr**, LPINT,
                                           sockaddr**, LPINT);
inline constexpr GUID WSAID_ACCEPTEX = {
    0xb5367df1, 0xcbac, 0x11cf, {0x95, 0xca, 0x00, 0x80, 0x5f, 0x48, 0xa1, 0x92}};
inline constexpr GUID WSAID_GETACCEPTEXSOCKADDRS = {
    0xb5367df2, 0xcbac, 0x11cf, {0x95, 0xca, 0x00, 0x80, 0x5f, 0x48, 0xa1, 0x92}};
constexpr DWORD SIO_GET_EXTENSION_FUNCTION_POINTER = 0xC8000006;
// Only SIO_GET_EXTENSION_FUNCTION_POINTER for the two identifiers above; synchronous only.
WIN32_API int WSAIoctl(SOCKET s, DWORD controlCode, LPVOID inBuffer, DWORD inLength,
                       LPVOID outBuffer, DWORD outLength, LPDWORD bytesReturned,
                       LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);

// --- Event selection (connect notification) ---
constexpr LONG FD_READ = 0x01;
constexpr LONG FD_WRITE = 0x02;
constexpr LONG FD_OOB = 0x04;
constexpr LONG FD_ACCEPT = 0x08;
constexpr LONG FD_CONNECT = 0x10;
constexpr LONG FD_CLOSE = 0x20;
constexpr int FD_CONNECT_BIT = 4;
constexpr int FD_MAX_EVENTS = 10;
struct WSANETWORKEVENTS {
  LONG lNetworkEvents;
  int iErrorCode[FD_MAX_EVENTS];
};
using LPWSANETWORKEVENTS = WSANETWORKEVENTS*;

// Makes the socket non-blocking. Only FD_CONNECT is ever reported: the event is set once when a
// connect started by connect() ends (at once or later, successfully or not).
WIN32_API int WSAEventSelect(SOCKET s, WSAEVENT event, LONG networkEvents);
// Reports and clears the recorded events; iErrorCode[FD_CONNECT_BIT] is the connect's WSA error
// (0 when connected). Resets `event` when given. A socket that is gone, or whose selection is
// another event (its number reused), fails with 10038.
WIN32_API int WSAEnumNetworkEvents(SOCKET s, WSAEVENT event, LPWSANETWORKEVENTS networkEvents);

// --- Names ---
// Copies the machine's host name; SOCKET_ERROR with 10014 when `length` is too small.
WIN32_API int gethostname(char* name, int length);
// IPv4 only; the result lives in a per-thread buffer until this thread's next call. The
// machine's own name (with or without its domain, any letter case), an empty name and null give
// the addresses of the interfaces that are up (physical devices first, loopback only when there
// is nothing else), as Windows answers: the hosts file's 127.0.1.1 is of no use to a peer.
// Other names go to the system resolver. Null with 11001/11002/11003/11004 on failure. Same
// signature as the POSIX call: name it win32::gethostbyname.
WIN32_API hostent* gethostbyname(const char* name);

}  // namespace win32
