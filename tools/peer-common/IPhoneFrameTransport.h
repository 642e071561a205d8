#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace peer {

// The path that carries one simulated phone's complete frames (header and enciphered body) to
// the PC and its reply frames back: a direct TCP connection to the PC's local server, or the
// server simulator, which wraps each frame in a relay command on the PC's server connection and
// routes replies back by their destination id.
// Lifetime: owned by the phone that uses it.
// Threading: the phone calls every method from its one thread. An implementation fed by another
//   thread (the relay) guards its own queue.
class IPhoneFrameTransport {
 public:
  enum class RecvResult { kFrame, kTimeout, kClosed, kError };

  virtual ~IPhoneFrameTransport() = default;

  // Largest phone frame the path carries: 65536 direct, 65524 relayed.
  virtual size_t MaxFrameSize() const = 0;
  // Hands over one frame; false when the path is broken. Sizes are not checked here, so fault
  // tests can send oversized frames.
  [[nodiscard]] virtual bool SendFrame(std::string_view frame) = 0;
  // Waits up to timeoutMs for the next complete frame addressed to this phone.
  virtual RecvResult ReceiveFrame(std::string* frame, int timeoutMs) = 0;
  // Ends the path (a direct connection is closed); later calls fail.
  virtual void Close() = 0;
  // Text of the last failure.
  virtual std::string LastError() const = 0;
};

}  // namespace peer
