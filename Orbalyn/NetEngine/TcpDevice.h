#pragma once

#include <cstdint>

#include "NetEngine/IODevice.h"
#include "Common/ThreadAnnotations.h"
#include "win32/sync.h"

struct sockaddr;
namespace win32 {
enum class SOCKET : uintptr_t;
}

// A TCP connection: connected out through CABConnectionThread (the result arrives as the
// completion of the connect operation, whose code the owner chose) or adopted from an accepted
// socket; overlapped receives and sends complete on the I/O thread.
// Lifetime: owned by its command channel, which deletes it when it closes. A closed device can
//   be opened again.
// Threading: any thread; the lock covers the socket handle and every socket call.
class CTcpDevice final : public CIODevice {
 public:
  CTcpDevice();
  CTcpDevice(const CTcpDevice&) = delete;
  CTcpDevice& operator=(const CTcpDevice&) = delete;
  ~CTcpDevice() override;

  // CIODevice:
  // Connects to the address attached to pOp: makes the socket and queues the connect on the
  // connect thread. 1 when queued.
  int Open(CIOOperation* pOp) override;
  // Ends the outstanding requests (each completes on the I/O thread with its error) and forgets
  // the socket. Returns 1.
  int Close() override;
  // Receives into the free data area of pOp (from its length up to its capacity).
  int Read(CIOOperation* pOp) override;
  // Sends the data area of pOp up to its length, in one overlapped send.
  int Write(CIOOperation* pOp) override;

  // Attaches the address to pOp and opens; a null or empty address completes pOp with
  // E_INVALIDARG (result 0).
  int Connect(const sockaddr* pAddress, int length, CIOOperation* pOp);
  // Adopts an accepted socket and associates it with the completion port; pOp (optional)
  // completes with 0. A device that has a socket refuses with 10037.
  bool Attach(win32::SOCKET socket, CIOOperation* pOp);

 private:
  win32::CRITICAL_SECTION m_lock;
  // Invalid when the device has none; closed by Close.
  win32::SOCKET m_hSocket GUARDED_BY(m_lock);
};
