#pragma once

#include <cstddef>
#include <string>

#include "PhoneFrame.h"

namespace peer {

// Cuts complete phone frames out of a TCP byte stream. Bytes are appended as they arrive, in any
// pieces; Next() hands out one whole frame at a time, and bytes beyond it stay for the next.
// A bad magic or a total length outside 40..maxFrameSize makes the cutter malformed for good:
// the stream can no longer be framed and its connection should be closed.
// Threading: not thread-safe; one owner feeds and drains it.
class CPhoneFrameCutter {
 public:
  enum class Result { kNeedMore, kFrame, kMalformed };

  explicit CPhoneFrameCutter(size_t maxFrameSize = kPhoneFrameMaxSize);

  void Append(const void* data, size_t size);
  // kFrame puts the whole frame (header and body, as received) into `frame`.
  Result Next(std::string* frame);
  // Bytes held that do not yet form a frame.
  size_t Buffered() const { return m_buffer.size() - m_offset; }
  void Reset();

 private:
  const size_t m_maxFrameSize;
  std::string m_buffer;
  // Start of the first unconsumed byte; the buffer is compacted lazily so that a read holding
  // several frames is not copied once per frame.
  size_t m_offset = 0;
  bool m_malformed = false;
};

}  // namespace peer
