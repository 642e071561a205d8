#pragma once
// The PC's end of one server connection, hand-written: frames are built and cut here without
// the simulator's codec, so the two check each other.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>

namespace serversim_test {

class PcLink {
 public:
  explicit PcLink(uint16_t port) : m_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
      close(m_fd);
      m_fd = -1;
    }
  }
  PcLink(const PcLink&) = delete;
  PcLink& operator=(const PcLink&) = delete;
  ~PcLink() {
    if (m_fd >= 0) close(m_fd);
  }

  bool Connected() const { return m_fd >= 0; }
  bool Closed() const { return m_closed; }

  static std::string Frame(uint16_t cmd, const std::string& body, uint16_t magic = 0x67DE,
                           uint32_t total = 0) {
    if (total == 0) total = static_cast<uint32_t>(12 + body.size());
    unsigned char header[12] = {
        static_cast<unsigned char>(magic >> 8),  static_cast<unsigned char>(magic),
        static_cast<unsigned char>(cmd >> 8),    static_cast<unsigned char>(cmd),
        static_cast<unsigned char>(total >> 24), static_cast<unsigned char>(total >> 16),
        static_cast<unsigned char>(total >> 8),  static_cast<unsigned char>(total)};
    return std::string(reinterpret_cast<char*>(header), sizeof(header)) + body;
  }

  bool SendBytes(const std::string& bytes) {
    return send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  bool Send(uint16_t cmd, const std::string& body) { return SendBytes(Frame(cmd, body)); }

  // Exactly `count` bytes; false on close (Closed() is then true), error or time-out.
  bool ReadExact(size_t count, std::string* pOut, int timeoutMs = 5000) {
    pOut->clear();
    while (pOut->size() < count) {
      pollfd entry = {m_fd, POLLIN, 0};
      if (poll(&entry, 1, timeoutMs) != 1) return false;
      char buffer[65536];
      size_t want = std::min(sizeof(buffer), count - pOut->size());
      ssize_t n = recv(m_fd, buffer, want, 0);
      if (n <= 0) {
        m_closed = true;
        return false;
      }
      ++m_reads;
      pOut->append(buffer, static_cast<size_t>(n));
    }
    return true;
  }

  // One frame with the right magic; the header is parsed by hand.
  bool Read(uint16_t* pCmd, std::string* pBody, int timeoutMs = 5000) {
    std::string header;
    if (!ReadExact(12, &header, timeoutMs)) return false;
    auto byte = [&](int i) { return static_cast<uint32_t>(static_cast<unsigned char>(header[i])); };
    uint32_t total = byte(4) << 24 | byte(5) << 16 | byte(6) << 8 | byte(7);
    if ((byte(0) << 8 | byte(1)) != 0x67DE || total < 12 || total > 65536) return false;
    *pCmd = static_cast<uint16_t>(byte(2) << 8 | byte(3));
    return ReadExact(total - 12, pBody, timeoutMs);
  }

  // True when the peer ends the connection before sending anything more.
  bool WaitClosed(int timeoutMs = 5000) {
    std::string unused;
    return !ReadExact(1, &unused, timeoutMs) && m_closed;
  }

  int Reads() const { return m_reads; }

 private:
  int m_fd;
  bool m_closed = false;
  int m_reads = 0;
};

}  // namespace serversim_test
