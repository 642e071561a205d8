#include "CServerSim.h"

#include <openssl/rand.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <random>

#include "msg.pb.h"

#include "CIdKeyCipher.h"
#include "CPhoneFrameCutter.h"
#include "CSocketIo.h"
#include "CWebPages.h"

namespace {

using Clock = std::chrono::steady_clock;
using Frame = CServerFrameCodec::Frame;
using Kind = CFaultPlan::Kind;

constexpr int kSendTimeoutMs = 10000;
constexpr size_t kReadChunk = 65536;
constexpr uint32_t kMaxReportSize = 16 * 1024 * 1024;
constexpr int64_t kFirstPcId = 700000000001;
// The values a "wrong-command" reply carries: plainly not this simulator's.
constexpr int64_t kStrangerPcId = 999999999;
constexpr int64_t kStrangerTime = 1;

std::string RandomBytes(size_t count) {
  std::string bytes(count, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(count)) != 1) {
    std::random_device device;  // only keys for test peers; never fail a step over them
    for (char& byte : bytes) byte = static_cast<char>(device());
  }
  return bytes;
}

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 15]);
  }
  return text;
}

// The bytes as one line of text: anything but printable ASCII as \xNN.
std::string Escaped(const std::string& bytes) {
  std::string text;
  for (unsigned char byte : bytes) {
    if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
      text.push_back(static_cast<char>(byte));
    } else {
      text += "\\x" + Hex(std::string(1, static_cast<char>(byte)));
    }
  }
  return text;
}

int32_t SecondsSince(Clock::time_point since) {
  return static_cast<int32_t>(
      std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - since).count());
}

// The PC takes a reply that misses a required field as no reply at all.
void DropLastRequiredField(google::protobuf::Message* pMessage) {
  const google::protobuf::Descriptor* pDescriptor = pMessage->GetDescriptor();
  for (int i = pDescriptor->field_count() - 1; i >= 0; --i) {
    if (pDescriptor->field(i)->is_required()) {
      pMessage->GetReflection()->ClearField(pMessage, pDescriptor->field(i));
      return;
    }
  }
}

std::string WrongCommandFrame(uint16_t cmd) {
  std::string body;
  if (cmd != protocol::C2S_pc_create_uin) {
    protocol::C2SPcCreateUinResp reply;
    reply.set_version(1);
    reply.set_id_pc(kStrangerPcId);
    reply.set_id_key("ffffffffffffffff");
    reply.SerializePartialToString(&body);
    return CServerFrameCodec::Encode(protocol::C2S_pc_create_uin, body);
  }
  protocol::C2SGetSvrtimeResp reply;
  reply.set_version(1);
  reply.set_svr_time(kStrangerTime);
  reply.SerializePartialToString(&body);
  return CServerFrameCodec::Encode(protocol::C2S_get_svrtime, body);
}

template <typename Reply>
void FillOnlineLists(const std::map<int64_t, Clock::time_point>& online, Reply* pReply) {
  for (const auto& [idPhone, since] : online) {
    pReply->add_id_phone_online_list(idPhone);
    pReply->add_id_phone_onsvr_secs_list(SecondsSince(since));
  }
}

}  // namespace

CServerSim::CServerSim(Options options)
    : m_options(std::move(options)), m_startTime(Clock::now()), m_nextPcId(kFirstPcId) {}

CServerSim::~CServerSim() {
  Stop();
  if (m_stopFd >= 0) close(m_stopFd);
}

bool CServerSim::Start() {
  if (m_started) return false;
  if (m_stopFd < 0) m_stopFd = eventfd(0, EFD_CLOEXEC);
  bool bound =
      m_stopFd >= 0 && Listen(Role::kEntry, m_options.entryPort, &m_entryPort) &&
      Listen(Role::kComm, m_options.commPort, &m_commPort) &&
      (m_options.relayPort < 0 || Listen(Role::kRelay, m_options.relayPort, &m_relayPort)) &&
      (m_options.reportPort < 0 || Listen(Role::kReport, m_options.reportPort, &m_reportPort)) &&
      (m_options.webPort < 0 || Listen(Role::kWeb, m_options.webPort, &m_webPort));
  if (!bound) {
    for (const auto& [role, fd] : m_listenFds) close(fd);
    m_listenFds.clear();
    return false;
  }
  m_started = true;
  for (const auto& [role, fd] : m_listenFds) {
    m_listeners.emplace_back(&CServerSim::AcceptLoop, this, role, fd);
  }
  return true;
}

void CServerSim::Stop() {
  if (!m_started || m_stopped.exchange(true)) return;
  uint64_t one = 1;
  // Cannot fail: nothing else adds to the counter. Once readable, every wait of ours wakes.
  [[maybe_unused]] ssize_t written = write(m_stopFd, &one, sizeof(one));
  for (std::thread& listener : m_listeners) listener.join();
  m_listeners.clear();
  // No listener is left to spawn workers, so the list is final.
  std::vector<Worker> workers;
  {
    std::lock_guard<std::mutex> lock(m_threadLock);
    workers.swap(m_workers);
  }
  for (Worker& worker : workers) worker.thread.join();
  for (const auto& [role, fd] : m_listenFds) close(fd);
  m_listenFds.clear();
  std::lock_guard<std::mutex> lock(m_lock);
  m_replyArrived.notify_all();
}

void CServerSim::AddPc(int64_t idPc, const std::string& idKey) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_pcs[idPc].idKey = idKey;
}

void CServerSim::SetPhoneKey(int64_t idPhone, const std::string& key) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_phoneKeys[idPhone] = key;
}

void CServerSim::SetPhoneOnline(int64_t idPhone, bool online, bool notify) {
  std::vector<ConnectionPtr> targets;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    if (online) {
      m_onlinePhones.emplace(idPhone, Clock::now());
    } else {
      m_onlinePhones.erase(idPhone);
    }
    if (notify) {
      for (const auto& [idPc, connection] : m_commByPc) targets.push_back(connection);
    }
  }
  Event(online ? "phone-online" : "phone-offline", "phone=%" PRId64 " notified=%zu", idPhone,
        targets.size());
  for (const ConnectionPtr& target : targets) {
    if (online) {
      protocol::C2SNoticePhoneOnline notice;
      notice.set_id_phone(idPhone);
      SendMessage(*target, protocol::C2S_notice_phone_online, &notice);
    } else {
      protocol::C2SNoticePhoneOffline notice;
      notice.set_id_phone(idPhone);
      SendMessage(*target, protocol::C2S_notice_phone_offline, &notice);
    }
  }
}

bool CServerSim::NoticePhoneUnbind(int64_t idPc, int64_t idPhone) {
  ConnectionPtr connection = CommConnection(idPc);
  std::string idKey;
  std::string phoneKey;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    if (connection) idPc = connection->m_idPc;
    auto pc = m_pcs.find(idPc);
    auto phone = m_phoneKeys.find(idPhone);
    if (pc == m_pcs.end() || phone == m_phoneKeys.end()) connection.reset();
    if (connection) {
      idKey = pc->second.idKey;
      phoneKey = phone->second;
    }
  }
  std::string record;
  if (connection) record = CIdKeyCipher(idKey).BuildUnbindRecord(idPc, idPhone, phoneKey);
  if (record.empty()) {
    Event("notice-unbind-failed", "id=%" PRId64 " phone=%" PRId64, idPc, idPhone);
    return false;
  }
  Event("notice-unbind", "id=%" PRId64 " phone=%" PRId64, idPc, idPhone);
  protocol::C2SNoticePhoneUnbind notice;
  notice.set_id_pc(idPc);
  notice.set_id_phone(idPhone);
  notice.set_unbind_info(record);
  return SendMessage(*connection, protocol::C2S_notice_phone_unbind, &notice);
}

bool CServerSim::QueueUnbindInfo(int64_t idPc, int64_t idPhone) {
  std::string record;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    if (idPc == 0) idPc = m_lastLoginPc;
    auto pc = m_pcs.find(idPc);
    auto phone = m_phoneKeys.find(idPhone);
    if (pc == m_pcs.end() || phone == m_phoneKeys.end()) return false;
    record = CIdKeyCipher(pc->second.idKey).BuildUnbindRecord(idPc, idPhone, phone->second);
    if (record.empty()) return false;
    pc->second.unbindQueue.push_back(record);
  }
  Event("queue-unbind", "id=%" PRId64 " phone=%" PRId64, idPc, idPhone);
  return true;
}

void CServerSim::QueueUnbindRecord(int64_t idPc, const std::string& record) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_pcs[idPc == 0 ? m_lastLoginPc : idPc].unbindQueue.push_back(record);
}

bool CServerSim::SendToPc(int64_t idPc, uint16_t cmd, const std::string& body) {
  ConnectionPtr connection = CommConnection(idPc);
  if (!connection) return false;
  return SendRaw(*connection, cmd, body);
}

bool CServerSim::RelayPhoneFrame(int64_t idPhone, const std::string& frame) {
  if (frame.size() > CServerFrameCodec::kMaxBodySize) {
    Event("relay-too-big", "phone=%" PRId64 " bytes=%zu", idPhone, frame.size());
    return false;
  }
  CPhoneFrameCutter::Header header;
  bool hasHeader = CPhoneFrameCutter::ReadHeader(frame.data(), frame.size(), &header);
  ConnectionPtr connection;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_onlinePhones.emplace(idPhone, Clock::now());
    auto byDest = hasHeader ? m_commByPc.find(header.destId) : m_commByPc.end();
    auto last = m_commByPc.find(m_lastLoginPc);
    if (byDest != m_commByPc.end()) {
      connection = byDest->second;
    } else if (last != m_commByPc.end()) {
      connection = last->second;
    }
  }
  if (!connection) {
    Event("relay-no-pc", "phone=%" PRId64 " bytes=%zu", idPhone, frame.size());
    return false;
  }
  Event("relay-to-pc", "phone=%" PRId64 " bytes=%zu", idPhone, frame.size());
  return SendRaw(*connection, protocol::C2S_transfer_phone_to_pc, frame);
}

void CServerSim::SetRelayReplyHandler(int64_t idPhone, RelayReplyHandler handler) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (handler) {
    m_replyHandlers[idPhone] = std::move(handler);
  } else {
    m_replyHandlers.erase(idPhone);
  }
}

bool CServerSim::WaitRelayReply(int64_t idPhone, int timeoutMs, std::string* pFrame) {
  std::unique_lock<std::mutex> lock(m_lock);
  std::deque<std::string>& queue = m_replyQueues[idPhone];
  if (!m_replyArrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [&] { return !queue.empty() || m_stopped.load(); }) ||
      queue.empty()) {
    return false;
  }
  *pFrame = std::move(queue.front());
  queue.pop_front();
  return true;
}

std::string CServerSim::IdKeyOf(int64_t idPc) const {
  std::lock_guard<std::mutex> lock(m_lock);
  auto pc = m_pcs.find(idPc);
  return pc == m_pcs.end() ? std::string() : pc->second.idKey;
}

std::vector<int64_t> CServerSim::IssuedTimes() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_issuedTimes;
}

std::optional<CServerSim::LoginRecord> CServerSim::LastLogin() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_lastLogin;
}

std::vector<CServerSim::UnbindRecord> CServerSim::ReceivedUnbinds() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_receivedUnbinds;
}

std::vector<std::string> CServerSim::Reports() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_reports;
}

size_t CServerSim::EventCount(const std::string& name) const {
  std::lock_guard<std::mutex> lock(m_eventLock);
  auto entry = m_eventCounts.find(name);
  return entry == m_eventCounts.end() ? 0 : entry->second;
}

bool CServerSim::WaitForEvent(const std::string& name, size_t count, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(m_eventLock);
  return m_eventArrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    auto entry = m_eventCounts.find(name);
    return entry != m_eventCounts.end() && entry->second >= count;
  });
}

bool CServerSim::Listen(Role role, int port, uint16_t* pBoundPort) {
  if (port < 0 || port > 0xFFFF) return false;
  int fd = CSocketIo::Listen(static_cast<uint16_t>(port), pBoundPort);
  if (fd < 0) return false;
  m_listenFds.emplace_back(role, fd);
  return true;
}

void CServerSim::AcceptLoop(Role role, int listenFd) {
  for (;;) {
    int fd = CSocketIo::Accept(listenFd, m_stopFd);
    if (fd < 0) return;
    if ((role == Role::kEntry && m_faults.Take(Kind::kRefuse)) ||
        (role == Role::kComm && m_faults.Take(Kind::kRefuseComm))) {
      Event("fault", "%s",
            CFaultPlan::NameOf(role == Role::kEntry ? Kind::kRefuse : Kind::kRefuseComm));
      close(fd);
      continue;
    }
    Spawn(std::make_shared<Connection>(fd, role));
  }
}

void CServerSim::Spawn(ConnectionPtr connection) {
  std::lock_guard<std::mutex> lock(m_threadLock);
  // Join the threads of ended connections here, so that a long run does not pile them up.
  std::erase_if(m_workers, [](Worker& worker) {
    if (!worker.pDone->load()) return false;
    worker.thread.join();
    return true;
  });
  Worker worker;
  worker.pDone = std::make_shared<std::atomic<bool>>(false);
  worker.thread = std::thread([this, connection, pDone = worker.pDone] {
    Serve(connection);
    pDone->store(true);
  });
  m_workers.push_back(std::move(worker));
}

void CServerSim::Serve(const ConnectionPtr& connection) {
  switch (connection->m_role) {
    case Role::kEntry:
    case Role::kComm:
      ServeFrames(connection);
      break;
    case Role::kRelay:
      ServeRelayPort(connection);
      break;
    case Role::kReport:
      ServeReportPort(*connection);
      break;
    case Role::kWeb:
      ServeWebPort(*connection);
      break;
  }
  Forget(connection);
  std::lock_guard<std::mutex> lock(connection->m_sendLock);
  connection->m_closed = true;
  close(connection->m_fd);
}

void CServerSim::ServeFrames(const ConnectionPtr& connection) {
  bool entry = connection->m_role == Role::kEntry;
  CServerFrameCodec codec;
  std::string buffer(kReadChunk, '\0');
  for (;;) {
    ssize_t n = CSocketIo::Read(connection->m_fd, m_stopFd, buffer.data(), buffer.size(), -1);
    if (n <= 0) return;
    codec.Feed(buffer.data(), static_cast<size_t>(n));
    Frame frame;
    CServerFrameCodec::Result result;
    while ((result = codec.Next(&frame)) == CServerFrameCodec::Result::kFrame) {
      bool keep = entry ? HandleEntryFrame(*connection, frame) : HandleCommFrame(connection, frame);
      if (!keep) return;
    }
    if (result == CServerFrameCodec::Result::kBad) {
      Event("bad-frame", "port=%s", entry ? "entry" : "comm");
      return;
    }
  }
}

void CServerSim::ServeRelayPort(const ConnectionPtr& connection) {
  CPhoneFrameCutter cutter;
  std::string buffer(kReadChunk, '\0');
  for (;;) {
    ssize_t n = CSocketIo::Read(connection->m_fd, m_stopFd, buffer.data(), buffer.size(), -1);
    if (n <= 0) return;
    cutter.Feed(buffer.data(), static_cast<size_t>(n));
    std::string frame;
    CPhoneFrameCutter::Header header;
    CPhoneFrameCutter::Result result;
    while ((result = cutter.Next(&frame, &header)) == CPhoneFrameCutter::Result::kFrame) {
      int64_t idPhone = header.srcId;
      bool known;
      {
        std::lock_guard<std::mutex> lock(m_lock);
        connection->m_phones.insert(idPhone);
        m_relayRoutes[idPhone] = connection;
        known = m_onlinePhones.count(idPhone) != 0;
      }
      // A phone that reaches the server is online for its PC, as on the real service.
      if (!known) SetPhoneOnline(idPhone, true, true);
      RelayPhoneFrame(idPhone, frame);
    }
    if (result == CPhoneFrameCutter::Result::kBad) {
      Event("bad-frame", "port=relay");
      return;
    }
  }
}

void CServerSim::ServeReportPort(Connection& connection) {
  std::string pending;
  std::string buffer(kReadChunk, '\0');
  for (;;) {
    ssize_t n = CSocketIo::Read(connection.m_fd, m_stopFd, buffer.data(), buffer.size(), -1);
    if (n <= 0) break;
    pending.append(buffer.data(), static_cast<size_t>(n));
    while (pending.size() >= 4) {
      uint32_t length = 0;
      for (int i = 3; i >= 0; --i) length = (length << 8) | static_cast<unsigned char>(pending[i]);
      if (length > kMaxReportSize) {
        Event("bad-report", "bytes=%u", length);
        return;
      }
      if (pending.size() < 4 + static_cast<size_t>(length)) break;
      {
        std::lock_guard<std::mutex> lock(m_lock);
        m_reports.push_back(pending.substr(4, length));
      }
      pending.erase(0, 4 + static_cast<size_t>(length));
      Event("report", "bytes=%u", length);
    }
  }
  if (!pending.empty()) Event("bad-report", "torn=%zu", pending.size());
}

void CServerSim::ServeWebPort(Connection& connection) {
  constexpr size_t kMaxRequestHead = 16384;
  constexpr int kRequestTimeoutMs = 10000;
  std::string head;
  char buffer[4096];
  size_t end;
  while ((end = head.find("\r\n\r\n")) == std::string::npos) {
    ssize_t n = CSocketIo::Read(connection.m_fd, m_stopFd, buffer, sizeof(buffer),
                                kRequestTimeoutMs);
    if (n <= 0) return;
    head.append(buffer, static_cast<size_t>(n));
    if (head.size() > kMaxRequestHead) {
      Event("web-bad-request", "bytes=%zu", head.size());
      return;
    }
  }
  const CWebPages::Answer answer = CWebPages::Respond(head.substr(0, end), m_options.webPages);
  Event(answer.event.c_str(), "%s", answer.detail.c_str());
  std::lock_guard<std::mutex> lock(connection.m_sendLock);
  CSocketIo::WriteAll(connection.m_fd, m_stopFd, answer.response.data(), answer.response.size(),
                      kRequestTimeoutMs);
}

void CServerSim::Forget(const ConnectionPtr& connection) {
  std::vector<int64_t> gonePhones;
  int64_t idPc = 0;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    idPc = connection->m_idPc;
    auto comm = m_commByPc.find(idPc);
    if (comm != m_commByPc.end() && comm->second == connection) m_commByPc.erase(comm);
    for (int64_t idPhone : connection->m_phones) {
      auto route = m_relayRoutes.find(idPhone);
      if (route != m_relayRoutes.end() && route->second == connection) {
        m_relayRoutes.erase(route);
        gonePhones.push_back(idPhone);
      }
    }
  }
  if (connection->m_role == Role::kComm) Event("comm-closed", "id=%" PRId64, idPc);
  for (int64_t idPhone : gonePhones) SetPhoneOnline(idPhone, false, true);
}

bool CServerSim::HandleEntryFrame(Connection& connection, const Frame& frame) {
  switch (frame.cmd) {
    case protocol::C2S_pc_create_uin:
      return HandleRegister(connection, frame.body);
    case protocol::C2S_get_svrtime:
      return HandleServerTime(connection, frame.body);
    case protocol::C2S_pc_redirect:
      return HandleRedirect(connection, frame.body);
    case protocol::C2S_pc_unbind:
      return HandleUnbind(connection, frame.body);
    case protocol::C2S_pc_get_unbind_info:
      return HandleGetUnbindInfo(connection, frame.body);
    case protocol::C2S_pc_clear_unbind_info:
      return HandleClearUnbindInfo(connection, frame.body);
    default:
      Event("unexpected", "port=entry cmd=%u", frame.cmd);
      return false;
  }
}

bool CServerSim::HandleRegister(Connection& connection, const std::string& body) {
  protocol::C2SPcCreateUinReq request;
  if (!request.ParseFromString(body)) {
    Event("bad-body", "cmd=%d", protocol::C2S_pc_create_uin);
    return false;
  }
  std::string idKey = Hex(RandomBytes(8));
  // Keys of the wrong length, or of 16 bytes that a settings file cannot keep as they are.
  static const std::pair<Kind, std::string> kBadKeys[] = {
      {Kind::kRegisterShortKey, "0123456789"},
      {Kind::kRegisterLongKey, "0123456789abcdefX"},
      {Kind::kRegisterKeyLineFeed, "01234567\n9abcdef"},
      {Kind::kRegisterKeyNul, std::string("01234567\0009abcdef", 16)},
      {Kind::kRegisterKeyNonAscii, "01234567\xc3\xa9" "abcdef"},
      {Kind::kRegisterKeyQuoted, "\"123456789abcde\""},
  };
  for (const auto& [kind, key] : kBadKeys) {
    if (m_faults.Take(kind)) idKey = key;
  }
  int64_t idPc;
  if (m_faults.Take(Kind::kRegisterIdZero)) {
    idPc = 0;
  } else if (m_faults.Take(Kind::kRegisterIdNegative)) {
    idPc = -kFirstPcId;
  } else {
    std::lock_guard<std::mutex> lock(m_lock);
    idPc = m_nextPcId++;
    m_pcs[idPc].idKey = idKey;
  }
  Event("register", "id=%" PRId64 " key=%s version=%d", idPc, Escaped(idKey).c_str(),
        request.version());
  protocol::C2SPcCreateUinResp reply;
  reply.set_version(1);
  reply.set_id_pc(idPc);
  reply.set_id_key(idKey);
  return SendMessage(connection, protocol::C2S_pc_create_uin, &reply);
}

bool CServerSim::HandleServerTime(Connection& connection, const std::string& body) {
  protocol::C2SGetSvrtimeReq request;
  if (!request.ParseFromString(body)) {
    Event("bad-body", "cmd=%d", protocol::C2S_get_svrtime);
    return false;
  }
  int64_t value;
  {
    // Seconds, and never the same value twice, so each check key names the 5001 it used.
    std::lock_guard<std::mutex> lock(m_lock);
    value = std::max<int64_t>(time(nullptr), m_lastTime + 1);
    m_lastTime = value;
    m_issuedTimes.push_back(value);
  }
  Event("time", "value=%" PRId64, value);
  protocol::C2SGetSvrtimeResp reply;
  reply.set_version(1);
  reply.set_svr_time(value);
  return SendMessage(connection, protocol::C2S_get_svrtime, &reply);
}

bool CServerSim::HandleRedirect(Connection& connection, const std::string& body) {
  protocol::C2SPcRedirectReq request;
  if (!request.ParseFromString(body)) {
    Event("bad-body", "cmd=%d", protocol::C2S_pc_redirect);
    return false;
  }
  if (!VerifyCheckKey(protocol::C2S_pc_redirect, request.id_pc(), request.check_key())) {
    return false;
  }
  std::string sessionKey = RandomBytes(16);
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_pcs[request.id_pc()].sessionKey = sessionKey;
  }
  std::string ip = "127.0.0.1";
  int32_t port = m_commPort;
  int32_t heartbeat = m_options.heartbeatCycle;
  if (m_faults.Take(Kind::kRedirectHostName)) ip = "comm.lumidock.invalid";
  if (m_faults.Take(Kind::kRedirectBroadcastIp)) ip = "255.255.255.255";
  if (m_faults.Take(Kind::kRedirectPortZero)) port = 0;
  if (m_faults.Take(Kind::kRedirectPortBig)) port = 70000;
  if (m_faults.Take(Kind::kRedirectHugeHeartbeat)) heartbeat = INT32_MAX;
  Event("redirect", "id=%" PRId64 " ip=%s port=%d heartbeat=%d session=%s", request.id_pc(),
        ip.c_str(), port, heartbeat, Hex(sessionKey).c_str());
  protocol::C2SPcRedirectResp reply;
  reply.set_id_pc(request.id_pc());
  reply.set_proxy_ip(ip);
  reply.set_proxy_port(port);
  reply.set_heartbeat_cycle(heartbeat);
  reply.set_session_key(sessionKey);
  return SendMessage(connection, protocol::C2S_pc_redirect, &reply);
}

bool CServerSim::HandleUnbind(Connection& connection, const std::string& body) {
  protocol::C2SPcUnbindReq request;
  if (!request.ParseFromString(body)) {
    Event("bad-body", "cmd=%d", protocol::C2S_pc_unbind);
    return false;
  }
  if (!VerifyCheckKey(protocol::C2S_pc_unbind, request.id_pc(), request.check_key())) {
    return false;
  }
  UnbindRecord record;
  bool opened =
      CIdKeyCipher(IdKeyOf(request.id_pc()))
          .OpenUnbindRecord(request.unbind_info(), &record.idPc, &record.idPhone, &record.phoneKey);
  if (!opened || record.idPc != request.id_pc()) {
    Event("unbind-rejected", "id=%" PRId64 " reason=%s bytes=%zu", request.id_pc(),
          opened ? "pc-id" : "record", request.unbind_info().size());
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(m_lock);
    m_receivedUnbinds.push_back(record);
  }
  Event("unbind", "id=%" PRId64 " phone=%" PRId64 " key=%s", record.idPc, record.idPhone,
        record.phoneKey.c_str());
  protocol::C2SPcUnbindResp reply;
  reply.set_id_pc(request.id_pc());
  return SendMessage(connection, protocol::C2S_pc_unbind, &reply);
}

bool CServerSim::HandleGetUnbindInfo(Connection& connection, const std::string& body) {
  protocol::C2SPcGetUnbindInfoReq request;
  if (!request.ParseFromString(body)) {
    Event("bad-body", "cmd=%d", protocol::C2S_pc_get_unbind_info);
    return false;
  }
  if (!VerifyCheckKey(protocol::C2S_pc_get_unbind_info, request.id_pc(), request.check_key())) {
    return false;
  }
  protocol::C2SPcGetUnbindInfoResp reply;
  reply.set_id_pc(request.id_pc());
  {
    std::lock_guard<std::mutex> lock(m_lock);
    for (const std::string& record : m_pcs[request.id_pc()].unbindQueue) {
      reply.add_unbind_info_list(record);
    }
  }
  Event("get-unbind-info", "id=%" PRId64 " count=%d", request.id_pc(),
        reply.unbind_info_list_size());
  return SendMessage(connection, protocol::C2S_pc_get_unbind_info, &reply);
}

bool CServerSim::HandleClearUnbindInfo(Connection& /*connection*/, const std::string& body) {
  protocol::C2SPcClearUnbindInfoReq request;
  if (!request.ParseFromString(body)) {
    Event("bad-body", "cmd=%d", protocol::C2S_pc_clear_unbind_info);
    return false;
  }
  if (!VerifyCheckKey(protocol::C2S_pc_clear_unbind_info, request.id_pc(), request.check_key())) {
    return false;
  }
  size_t cleared;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<std::string>& queue = m_pcs[request.id_pc()].unbindQueue;
    cleared = queue.size();
    queue.clear();
  }
  Event("clear-unbind-info", "id=%" PRId64 " count=%zu", request.id_pc(), cleared);
  // The PC reads no reply here and waits for the server to end the connection.
  return false;
}

bool CServerSim::VerifyCheckKey(uint16_t cmd, int64_t idPc, const std::string& checkKey) {
  std::string idKey;
  bool known = false;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    auto pc = m_pcs.find(idPc);
    if (pc != m_pcs.end()) {
      known = true;
      idKey = pc->second.idKey;
    }
  }
  const char* pReason = nullptr;
  int64_t keyPc = 0;
  int64_t keyTime = 0;
  if (checkKey.empty()) {
    pReason = "empty";
  } else if (!known) {
    pReason = "unknown-pc";
  } else if (checkKey.size() != CIdKeyCipher::kCheckKeySize) {
    pReason = "size";
  } else if (!CIdKeyCipher(idKey).OpenCheckKey(checkKey, &keyPc, &keyTime)) {
    pReason = "pad";
  } else if (keyPc != idPc) {
    pReason = "id";
  } else {
    // Any time issued so far is good: the PC keeps the one from its last 5001 for hours.
    std::lock_guard<std::mutex> lock(m_lock);
    if (std::find(m_issuedTimes.begin(), m_issuedTimes.end(), keyTime) == m_issuedTimes.end()) {
      pReason = "time";
    }
  }
  if (pReason) {
    Event("check-key-rejected", "cmd=%u id=%" PRId64 " reason=%s", cmd, idPc, pReason);
    return false;
  }
  Event("check-key", "cmd=%u id=%" PRId64 " time=%" PRId64, cmd, idPc, keyTime);
  return true;
}

bool CServerSim::HandleCommFrame(const ConnectionPtr& connection, const Frame& frame) {
  switch (frame.cmd) {
    case protocol::C2S_pc_login:
      return HandleLogin(connection, frame.body);
    case protocol::C2S_pc_heartbeat:
      return HandleHeartbeat(*connection, frame.body);
    case protocol::C2S_transfer_pc_to_phone:
      HandleRelayReply(frame.body);
      return true;
    default:
      Event("unexpected", "port=comm cmd=%u", frame.cmd);
      return true;
  }
}

bool CServerSim::HandleLogin(const ConnectionPtr& connection, const std::string& body) {
  protocol::C2SPcLoginReq request;
  if (!request.ParseFromString(body)) {
    Event("bad-body", "cmd=%d", protocol::C2S_pc_login);
    return false;
  }
  LoginRecord record;
  record.idPc = request.id_pc();
  record.pcGuid = request.pc_guid();
  record.softVersion = request.pc_soft_version();
  record.sysVersion = request.pc_sys_version();
  record.onClientSecs = request.pc_onclient_secs();
  record.hasLocalAddress = request.has_pc_local_ip() || request.has_pc_local_port();
  record.localIp = request.pc_local_ip();
  record.localPort = request.pc_local_port();
  record.phones.assign(request.id_phone_list().begin(), request.id_phone_list().end());
  protocol::C2SPcLoginResp reply;
  bool accepted = false;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    auto pc = m_pcs.find(record.idPc);
    if (pc != m_pcs.end() && !pc->second.sessionKey.empty() &&
        pc->second.sessionKey == request.session_key()) {
      accepted = true;
      if (!pc->second.firstLogin) pc->second.firstLogin = Clock::now();
      connection->m_idPc = record.idPc;
      m_commByPc[record.idPc] = connection;
      m_lastLoginPc = record.idPc;
      m_lastLogin = record;
      reply.set_id_pc(record.idPc);
      reply.set_pc_onsvr_secs(SecondsSince(*pc->second.firstLogin));
      FillOnlineLists(m_onlinePhones, &reply);
    }
  }
  if (!accepted) {
    Event("login-rejected", "id=%" PRId64 " reason=session-key", record.idPc);
    return false;
  }
  Event("login", "id=%" PRId64 " guid=%s local=%s:%d phones=%zu online=%d", record.idPc,
        record.pcGuid.c_str(), record.localIp.c_str(), record.localPort, record.phones.size(),
        reply.id_phone_online_list_size());
  return SendMessage(*connection, protocol::C2S_pc_login, &reply);
}

bool CServerSim::HandleHeartbeat(Connection& connection, const std::string& body) {
  protocol::C2SPcHeartbeatReq request;
  if (!request.ParseFromString(body)) {
    Event("bad-body", "cmd=%d", protocol::C2S_pc_heartbeat);
    return false;
  }
  protocol::C2SPcHeartbeatResp reply;
  bool accepted = false;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    auto pc = m_pcs.find(request.id_pc());
    if (connection.m_idPc != 0 && request.id_pc() == connection.m_idPc && pc != m_pcs.end() &&
        pc->second.sessionKey == request.session_key()) {
      accepted = true;
      reply.set_id_pc(request.id_pc());
      reply.set_pc_onsvr_secs(SecondsSince(pc->second.firstLogin.value_or(m_startTime)));
      FillOnlineLists(m_onlinePhones, &reply);
    }
  }
  if (!accepted) {
    Event("heartbeat-rejected", "id=%" PRId64, request.id_pc());
    return false;
  }
  Event("heartbeat", "id=%" PRId64 " online=%d", request.id_pc(),
        reply.id_phone_online_list_size());
  return SendMessage(connection, protocol::C2S_pc_heartbeat, &reply);
}

void CServerSim::HandleRelayReply(const std::string& body) {
  CPhoneFrameCutter::Header header;
  if (!CPhoneFrameCutter::ReadHeader(body.data(), body.size(), &header) ||
      header.totalLength > body.size()) {
    Event("relay-reply-dropped", "bytes=%zu", body.size());
    return;
  }
  std::string frame = body.substr(0, header.totalLength);
  int64_t idPhone = header.destId;
  ConnectionPtr route;
  RelayReplyHandler handler;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    auto byRoute = m_relayRoutes.find(idPhone);
    auto byHandler = m_replyHandlers.find(idPhone);
    if (byRoute != m_relayRoutes.end()) {
      route = byRoute->second;
    } else if (byHandler != m_replyHandlers.end()) {
      handler = byHandler->second;
    } else {
      m_replyQueues[idPhone].push_back(frame);
      m_replyArrived.notify_all();
    }
  }
  Event("relay-to-phone", "phone=%" PRId64 " bytes=%zu trailing=%zu", idPhone, frame.size(),
        body.size() - frame.size());
  if (route) {
    Write(*route, frame, false);
  } else if (handler) {
    handler(frame);
  }
}

CServerSim::ConnectionPtr CServerSim::CommConnection(int64_t idPc) {
  std::lock_guard<std::mutex> lock(m_lock);
  auto connection = m_commByPc.find(idPc == 0 ? m_lastLoginPc : idPc);
  return connection == m_commByPc.end() ? nullptr : connection->second;
}

bool CServerSim::SendMessage(Connection& connection, uint16_t cmd,
                             google::protobuf::Message* pMessage) {
  CFaultPlan::Fault fault;
  bool faulted = m_faults.TakeSendFault(cmd, &fault);
  if (faulted && fault.kind == Kind::kWrongAnswer) DropLastRequiredField(pMessage);
  std::string body;
  pMessage->SerializePartialToString(&body);
  return SendBody(connection, cmd, body, faulted ? &fault : nullptr);
}

bool CServerSim::SendRaw(Connection& connection, uint16_t cmd, std::string body) {
  CFaultPlan::Fault fault;
  bool faulted = m_faults.TakeSendFault(cmd, &fault);
  if (faulted && fault.kind == Kind::kWrongAnswer) body.resize(body.size() / 2);
  return SendBody(connection, cmd, body, faulted ? &fault : nullptr);
}

bool CServerSim::SendBody(Connection& connection, uint16_t cmd, const std::string& body,
                          const CFaultPlan::Fault* pFault) {
  std::string frame = CServerFrameCodec::Encode(cmd, body);
  if (frame.empty()) {
    Event("frame-too-big", "cmd=%u bytes=%zu", cmd, body.size());
    return false;
  }
  if (!pFault) return Write(connection, frame, false);
  Event("fault", "%s cmd=%u", CFaultPlan::NameOf(pFault->kind), cmd);
  auto total = static_cast<uint32_t>(frame.size());
  switch (pFault->kind) {
    case Kind::kNoAnswer:
      return true;
    case Kind::kDelay:
      return CSocketIo::Pause(m_stopFd, pFault->delayMs) && Write(connection, frame, false);
    case Kind::kWrongCommand:
      return Write(connection, WrongCommandFrame(cmd), false);
    case Kind::kCloseMidFrame:
      Write(connection, frame.substr(0, frame.size() / 2), false);
      Shutdown(connection);
      return false;
    case Kind::kOneBytePieces:
      return Write(connection, frame, true);
    case Kind::kReplyThenClose:
      Write(connection, frame, false);
      Shutdown(connection);
      return false;
    case Kind::kBadMagic:
      return Write(
          connection,
          CServerFrameCodec::EncodeHeader(CServerFrameCodec::kMagic ^ 1, cmd, total) + body, false);
    case Kind::kShortLength:
      return Write(connection,
                   CServerFrameCodec::EncodeHeader(CServerFrameCodec::kMagic, cmd,
                                                   CServerFrameCodec::kHeaderSize - 1) +
                       body,
                   false);
    case Kind::kLongLength:
      return Write(connection,
                   CServerFrameCodec::EncodeHeader(CServerFrameCodec::kMagic, cmd,
                                                   CServerFrameCodec::kMaxFrameSize + 1) +
                       body,
                   false);
    default:  // kWrongAnswer: the body was already spoilt
      return Write(connection, frame, false);
  }
}

bool CServerSim::Write(Connection& connection, const std::string& bytes, bool inPieces) {
  std::lock_guard<std::mutex> lock(connection.m_sendLock);
  if (connection.m_closed) return false;
  bool written = true;
  if (!inPieces) {
    written =
        CSocketIo::WriteAll(connection.m_fd, m_stopFd, bytes.data(), bytes.size(), kSendTimeoutMs);
  } else {
    // TCP_NODELAY and a short pause make each byte a segment of its own.
    for (size_t i = 0; written && i < bytes.size(); ++i) {
      written = CSocketIo::WriteAll(connection.m_fd, m_stopFd, &bytes[i], 1, kSendTimeoutMs) &&
                (i + 1 == bytes.size() || CSocketIo::Pause(m_stopFd, 1));
    }
  }
  // The reading thread sees the end of the stream and closes the socket.
  if (!written) shutdown(connection.m_fd, SHUT_RDWR);
  return written;
}

void CServerSim::Shutdown(Connection& connection) {
  std::lock_guard<std::mutex> lock(connection.m_sendLock);
  if (!connection.m_closed) shutdown(connection.m_fd, SHUT_RDWR);
}

void CServerSim::Event(const char* pName, const char* pFormat, ...) {
  char detail[512];
  va_list arguments;
  va_start(arguments, pFormat);
  vsnprintf(detail, sizeof(detail), pFormat, arguments);
  va_end(arguments);
  std::string line = pName;
  if (detail[0] != '\0') {
    line += ' ';
    line += detail;
  }
  std::lock_guard<std::mutex> lock(m_eventLock);
  ++m_eventCounts[pName];
  if (m_options.onEvent) m_options.onEvent(line);
  m_eventArrived.notify_all();
}
