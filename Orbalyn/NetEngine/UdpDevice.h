#pragma once

#include <cstdint>

#include "NetEngine/IODevice.h"
#include "Common/ThreadAnnotations.h"
#include "win32/sync.h"

struct sockaddr;
namespace win32 {
enum class SOCKET : uintptr_t;
}

// A UDP socket for the DNS client: receive-from and send-to, each completed on the I/O thread.
// A receive-from leaves the sender's address and its length in the operation's address
// attachment; a send-to goes to the address attached to its operation.
// Lifetime: owned by the name resolver, deleted with it.
// Threading: any thread; the lock covers the socket handle and every socket call.
class CUdpDevice final : public CIODevice {
 public:
  static constexpr int kReceiveBufferSize = 32768;

  CUdpDevice();
  CUdpDevice(const CUdpDevice&) = delete;
  CUdpDevice& operator=(const CUdpDevice&) = delete;
  ~CUdpDevice() override;

  // CIODevice:
  // Open with no bind address.
  int Open(CIOOperation* pOp) override;
  // Closes the socket, which ends every outstanding request, and forgets it. Returns 1.
  int Close() override;
  int Read(CIOOperation* pOp) override;
  int Write(CIOOperation* pOp) override;

  // Makes the socket, bound to pAddress or, without one, to 0.0.0.0 port 0 (a failed bind is
  // ignored), and associates it with the completion port. pOp (optional) completes with 0 or the
  // error. 1 when the device has its socket.
  int Open(const sockaddr* pAddress, int length, CIOOperation* pOp);
  // Adopts a socket without associating it with the completion port.
  bool Attach(win32::SOCKET socket, CIOOperation* pOp);

 private:
  win32::CRITICAL_SECTION m_lock;
  // Invalid when the device has none; closed by Close.
  win32::SOCKET m_hSocket GUARDED_BY(m_lock);
};
