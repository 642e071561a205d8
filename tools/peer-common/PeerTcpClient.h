#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace peer {

// A blocking TCP connection with a time limit on every call: connect, send everything, receive
// what is there. Built on a non-blocking socket and poll(); sends never raise SIGPIPE.
// Lifetime: owns its socket and closes it in Close() or the destructor.
// Threading: SendAll and Receive may run on two threads at once (one each); Connect, Adopt and
//   Close only while neither is running.
class CPeerTcpClient {
 public:
  enum class IoResult { kOk, kTimeout, kClosed, kError };

  CPeerTcpClient() = default;
  CPeerTcpClient(const CPeerTcpClient&) = delete;
  CPeerTcpClient& operator=(const CPeerTcpClient&) = delete;
  ~CPeerTcpClient();

  // Resolves an IPv4 host (a dotted literal needs no lookup) and connects within timeoutMs.
  [[nodiscard]] bool Connect(const std::string& host, uint16_t port, int timeoutMs);
  // Takes over an already connected socket (for example one from accept()).
  void Adopt(int fd);
  // kOk once every byte is written.
  IoResult SendAll(const void* data, size_t size, int timeoutMs);
  // kOk with 1..capacity bytes in *received; kClosed when the peer closed its side.
  IoResult Receive(void* buffer, size_t capacity, int timeoutMs, size_t* received);
  void Close();
  bool IsOpen() const { return m_hSocket >= 0; }
  // Text of the last failure, for the caller's one-line report.
  std::string LastError() const;

 private:
  IoResult Fail(const char* what, int error);
  void SetError(std::string text);

  int m_hSocket = -1;
  // The sending and the receiving thread may both report a failure.
  mutable std::mutex m_errorLock;
  std::string m_lastError;  // Guarded by m_errorLock.
};

}  // namespace peer
