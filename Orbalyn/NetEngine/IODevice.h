#pragma once

#include <cstdint>

#include "NetEngine/IOOperation.h"
#include "win32/winsock.h"

// One overlapped socket whose every request becomes a CIOOperation completed on the I/O thread.
//
// A request never reports its outcome by return value alone: when it fails at once, the error
// goes into the operation and the operation is posted, so the owner receives exactly one
// completion per request. The return value only says whether the request was issued.
//
// Lifetime: created and deleted by its owner; the destructor closes the socket.
// Threading: any thread may call any operation; each device serialises its calls with its own
//   lock, and the socket calls are issued under it. Completions run on the I/O thread only.
class CIODevice {
 public:
  CIODevice() = default;
  CIODevice(const CIODevice&) = delete;
  CIODevice& operator=(const CIODevice&) = delete;
  virtual ~CIODevice() = default;

  virtual int Open(CIOOperation* pOp) = 0;
  virtual int Close() = 0;
  virtual int Read(CIOOperation* pOp) = 0;
  virtual int Write(CIOOperation* pOp) = 0;

 protected:
  // Error values a device puts into its operations, beside socket and system errors.
  static constexpr uint32_t kErrorHasSocket = 10037;  // open, connect or attach refused
  static constexpr uint32_t kErrorNoSocket = 10038;   // read or write refused

  // Stores the error and hands the operation to the I/O thread. A null operation is skipped.
  static void Complete(CIOOperation* pOp, uint32_t error) {
    if (!pOp) return;
    pOp->SetError(error);
    CIOOperation::Post(pOp);
  }

  // After an overlapped request was issued with its own reference on `pOp`: a request that
  // failed at once (anything but I/O pending) queues no completion, so the failure is posted
  // here and the request's reference dropped. Returns that error, or 0.
  static uint32_t CompleteIfFailedAtOnce(CIOOperation* pOp, int callResult) {
    if (callResult == 0) return 0;
    uint32_t error = static_cast<uint32_t>(win32::WSAGetLastError());
    if (error == win32::WSA_IO_PENDING) return 0;
    pOp->SetBytesTransferred(0);
    Complete(pOp, error);
    CIOOperation::Release(pOp);
    return error;
  }
};
