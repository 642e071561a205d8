#pragma once

#include <cstddef>
#include <cstdint>

#include "msg.pb.h"

// A chunk request (C2CPhoneUploadFileNextReq) read where it lies: every field but `data` is
// parsed into the message, while `data` stays in the caller's buffer and is seen through Data(),
// so a chunk reaches its file without being copied on the way. The outcome is that of parsing the
// whole body: the same fields, the last `data` of several, refusal of the same malformed or
// incomplete bodies. A body the quick reading cannot follow is parsed the ordinary way.
// Lifetime: the view of `data` is valid while the parsed body's buffer is.
// Threading: one object per use.
class CUploadChunkRequest {
 public:
  CUploadChunkRequest() = default;
  CUploadChunkRequest(const CUploadChunkRequest&) = delete;
  CUploadChunkRequest& operator=(const CUploadChunkRequest&) = delete;

  // False when the body is not a complete request. Named and shaped as the message's own parse,
  // so the handlers' common request checks take either.
  bool ParseFromArray(const void* pBody, int length);

  // Every field but `data` (which is left empty unless the ordinary parse had to be used).
  const protocol::C2CPhoneUploadFileNextReq& Message() const { return m_message; }
  int32_t check_code() const { return m_message.check_code(); }
  const uint8_t* Data() const { return m_pData; }
  size_t DataLength() const { return m_dataLength; }

 private:
  // The ordinary parse: `data` is copied into the message.
  bool ParseWhole(const uint8_t* pBody, uint32_t length);

  protocol::C2CPhoneUploadFileNextReq m_message;
  const uint8_t* m_pData = nullptr;
  size_t m_dataLength = 0;
};
