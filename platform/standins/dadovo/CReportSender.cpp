#include "CReportSender.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace {

// Long enough for a loaded LAN, short enough that UnInit's wait at exit is not eaten by one
// unreachable server.
constexpr int kConnectTimeoutMs = 3000;
constexpr int kSendTimeoutSeconds = 3;
// Reports beyond this wait only in the spool; statistics are not worth unbounded memory.
constexpr size_t kMaxQueued = 256;

bool ConnectWithTimeout(int fd, const sockaddr* pAddress, socklen_t length) {
  if (connect(fd, pAddress, length) == 0) return true;
  if (errno != EINPROGRESS && errno != EINTR) return false;
  pollfd entry = {fd, POLLOUT, 0};
  int r;
  do {
    r = poll(&entry, 1, kConnectTimeoutMs);
  } while (r < 0 && errno == EINTR);
  if (r <= 0) return false;
  int error = 0;
  socklen_t size = sizeof(error);
  return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

}  // namespace

bool CReportSender::ParseServer(std::string_view text, std::string* pHost, uint16_t* pPort) {
  size_t colon = text.find(':');
  std::string_view host = text.substr(0, colon);
  if (host.empty()) return false;
  for (char c : host) {
    bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '.' || c == '-' || c == '_';
    if (!allowed) return false;
  }
  uint32_t port = 443;
  if (colon != std::string_view::npos) {
    std::string_view digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5) return false;
    port = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      port = port * 10 + static_cast<uint32_t>(c - '0');
    }
    if (port == 0 || port > 65535) return false;
  }
  *pHost = std::string(host);
  *pPort = static_cast<uint16_t>(port);
  return true;
}

std::shared_ptr<CReportSender> CReportSender::Start(std::string host, uint16_t port) {
  auto sender = std::make_shared<CReportSender>(std::move(host), port);
  auto* pSelf = new std::shared_ptr<CReportSender>(sender);  // the thread's reference
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int error = pthread_create(&thread, &attributes, &CReportSender::ThreadMain, pSelf);
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    delete pSelf;
    return nullptr;
  }
  return sender;
}

CReportSender::CReportSender(std::string host, uint16_t port)
    : m_host(std::move(host)), m_port(port) {}

void CReportSender::Enqueue(std::vector<win32::BYTE> frame) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_stopping || m_queue.size() >= kMaxQueued) return;
  m_queue.push_back(std::move(frame));
  m_wake.notify_one();
}

bool CReportSender::WaitIdle(win32::DWORD timeoutMs) {
  std::unique_lock<std::mutex> lock(m_lock);
  return m_idle.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [this] { return m_queue.empty() && !m_busy; });
}

void CReportSender::Stop() {
  std::lock_guard<std::mutex> lock(m_lock);
  m_stopping = true;
  m_queue.clear();
  m_wake.notify_one();
  m_idle.notify_all();
}

void* CReportSender::ThreadMain(void* pArg) {
  std::unique_ptr<std::shared_ptr<CReportSender>> self(
      static_cast<std::shared_ptr<CReportSender>*>(pArg));
  (*self)->Run();
  return nullptr;
}

void CReportSender::Run() {
  std::unique_lock<std::mutex> lock(m_lock);
  while (true) {
    m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
    if (m_stopping) return;
    std::vector<win32::BYTE> frame = std::move(m_queue.front());
    m_queue.pop_front();
    m_busy = true;
    lock.unlock();
    SendOne(frame);
    lock.lock();
    m_busy = false;
    if (m_queue.empty()) m_idle.notify_all();
  }
}

bool CReportSender::SendOne(const std::vector<win32::BYTE>& frame) {
  addrinfo hints = {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* pList = nullptr;
  if (getaddrinfo(m_host.c_str(), std::to_string(m_port).c_str(), &hints, &pList) != 0) {
    return false;
  }
  bool sent = false;
  for (addrinfo* p = pList; p && !sent; p = p->ai_next) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) continue;
    if (ConnectWithTimeout(fd, p->ai_addr, p->ai_addrlen)) {
      int flags = fcntl(fd, F_GETFL);
      fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
      timeval timeout = {kSendTimeoutSeconds, 0};
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
      size_t done = 0;
      while (done < frame.size()) {
        ssize_t n = send(fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
      }
      sent = done == frame.size();
      if (sent) shutdown(fd, SHUT_WR);
    }
    close(fd);
  }
  freeaddrinfo(pList);
  return sent;
}
