#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "CFaultPlan.h"
#include "CServerFrameCodec.h"

namespace google::protobuf {
class Message;
}

// Stands in for the maker's servers, on 127.0.0.1 only:
// - the entry server: registration (1008), server time (5001), redirect (1007, checks the
//   check key), unbind (1009), unbind info (1010) and its clearing (1011);
// - the communication server: login (1001), heartbeats (1003), notices 4002/4004/4005 on
//   request, and the relay: a phone's frame goes to the PC as 3001, the PC's 3002 reply goes
//   back to that phone by the reply's destination id;
// - optionally a relay port, where a phone simulator connects as if the server were the PC, and
//   a report port taking statistics reports (u32 little-endian length, then the record);
// - optionally the web pages of the install popup (CWebPages) on a port of their own.
// Everything it does is an event: a name and a detail, printed by the program and counted for
// tests (WaitForEvent). Faults are scripted through Faults().
// Lifetime: Start once, Stop once (the destructor stops); Stop joins every thread the object
//   started, so it must not be called from an event handler or a relay reply handler.
// Threading: one thread per listening port and per accepted connection. Every public method may
//   be called from any thread. m_lock guards the server state and is never held across a send;
//   each connection's m_sendLock keeps whole frames apart on its socket. The two are never held
//   together. m_eventLock is innermost; onEvent runs under it, so event lines never interleave.
class CServerSim {
 public:
  struct Options {
    int entryPort = 0;  // 0: pick a free port
    int commPort = 0;
    int relayPort = -1;  // -1: no relay port; 0: pick one
    int reportPort = -1;
    int webPort = -1;  // -1: no web pages; 0: pick a port
    // Further web pages by path (response as sent), also in place of the maker's.
    std::map<std::string, std::string> webPages;
    int32_t heartbeatCycle = 10;  // seconds, handed out by the redirect
    // Receives each event line ("name detail"). Must not call back into the simulator.
    std::function<void(const std::string&)> onEvent;
  };

  struct LoginRecord {
    int64_t idPc = 0;
    std::string pcGuid;
    int64_t softVersion = 0;
    int64_t sysVersion = 0;
    int32_t onClientSecs = 0;
    bool hasLocalAddress = false;
    std::string localIp;
    int32_t localPort = 0;
    std::vector<int64_t> phones;
  };

  struct UnbindRecord {
    int64_t idPc = 0;
    int64_t idPhone = 0;
    std::string phoneKey;
  };

  // Called on a connection thread of the simulator with each 3002 reply for one phone.
  using RelayReplyHandler = std::function<void(const std::string& frame)>;

  explicit CServerSim(Options options);
  CServerSim(const CServerSim&) = delete;
  CServerSim& operator=(const CServerSim&) = delete;
  ~CServerSim();

  // Binds every port asked for and starts serving; false (with nothing left running) when a
  // port cannot be bound.
  [[nodiscard]] bool Start();
  void Stop();

  uint16_t EntryPort() const { return m_entryPort; }
  uint16_t CommPort() const { return m_commPort; }
  uint16_t RelayPort() const { return m_relayPort; }
  uint16_t ReportPort() const { return m_reportPort; }
  uint16_t WebPort() const { return m_webPort; }

  // A PC registered elsewhere (settings seeded by a test): its check keys can be verified.
  void AddPc(int64_t idPc, const std::string& idKey);
  // The device key a phone shares with its PC, needed to build unbind records.
  void SetPhoneKey(int64_t idPhone, const std::string& key);
  CFaultPlan& Faults() { return m_faults; }

  // In the methods below, idPc 0 means the PC that logged in last.
  // Marks a phone online or offline for login and heartbeat replies; with `notify`, also sends
  // 4004 or 4002 to every logged-in PC.
  void SetPhoneOnline(int64_t idPhone, bool online, bool notify);
  // 4005 with a record built from the phone's known key. False when the PC is not logged in or
  // a key is unknown.
  bool NoticePhoneUnbind(int64_t idPc, int64_t idPhone);
  // Queues a record for the PC's next 1010, built from the phone's known key, or as given.
  bool QueueUnbindInfo(int64_t idPc, int64_t idPhone);
  void QueueUnbindRecord(int64_t idPc, const std::string& record);
  // Any body under any command on the PC's communication connection (faults still apply).
  bool SendToPc(int64_t idPc, uint16_t cmd, const std::string& body);

  // Relays a phone frame to the PC named by its destination id (else the PC that logged in
  // last) as 3001, unchecked, so tests can relay broken frames too. The phone is listed online
  // from then on. False when no PC is logged in or the frame would pass the frame limit.
  bool RelayPhoneFrame(int64_t idPhone, const std::string& frame);
  // Replies for a phone go to its relay-port connection, else to this handler, else to a queue
  // read by WaitRelayReply.
  void SetRelayReplyHandler(int64_t idPhone, RelayReplyHandler handler);
  bool WaitRelayReply(int64_t idPhone, int timeoutMs, std::string* pFrame);

  std::string IdKeyOf(int64_t idPc) const;
  std::vector<int64_t> IssuedTimes() const;
  std::optional<LoginRecord> LastLogin() const;
  std::vector<UnbindRecord> ReceivedUnbinds() const;
  std::vector<std::string> Reports() const;
  size_t EventCount(const std::string& name) const;
  // True once `count` events of that name have happened in all.
  bool WaitForEvent(const std::string& name, size_t count, int timeoutMs) const;

 private:
  enum class Role { kEntry, kComm, kRelay, kReport, kWeb };

  struct Connection {
    Connection(int fd, Role role) : m_fd(fd), m_role(role) {}
    const int m_fd;
    const Role m_role;
    // Whole frames go out one at a time; the reading thread closes m_fd under it.
    std::mutex m_sendLock;
    bool m_closed = false;  // guarded by m_sendLock
    // Guarded by CServerSim::m_lock.
    int64_t m_idPc = 0;          // communication connection: set by a good login
    std::set<int64_t> m_phones;  // relay connection: phones seen on it
  };
  using ConnectionPtr = std::shared_ptr<Connection>;

  struct PcState {
    std::string idKey;
    std::string sessionKey;
    std::optional<std::chrono::steady_clock::time_point> firstLogin;
    std::vector<std::string> unbindQueue;
  };

  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> pDone;
  };

  bool Listen(Role role, int port, uint16_t* pBoundPort);
  void AcceptLoop(Role role, int listenFd);
  void Spawn(ConnectionPtr connection);
  void Serve(const ConnectionPtr& connection);
  void ServeFrames(const ConnectionPtr& connection);
  void ServeRelayPort(const ConnectionPtr& connection);
  void ServeReportPort(Connection& connection);
  void ServeWebPort(Connection& connection);
  void Forget(const ConnectionPtr& connection);

  // Entry server. Each returns false when the connection is to be closed.
  bool HandleEntryFrame(Connection& connection, const CServerFrameCodec::Frame& frame);
  bool HandleRegister(Connection& connection, const std::string& body);
  bool HandleServerTime(Connection& connection, const std::string& body);
  bool HandleRedirect(Connection& connection, const std::string& body);
  bool HandleUnbind(Connection& connection, const std::string& body);
  bool HandleGetUnbindInfo(Connection& connection, const std::string& body);
  bool HandleClearUnbindInfo(Connection& connection, const std::string& body);
  bool VerifyCheckKey(uint16_t cmd, int64_t idPc, const std::string& checkKey);

  // Communication server.
  bool HandleCommFrame(const ConnectionPtr& connection, const CServerFrameCodec::Frame& frame);
  bool HandleLogin(const ConnectionPtr& connection, const std::string& body);
  bool HandleHeartbeat(Connection& connection, const std::string& body);
  void HandleRelayReply(const std::string& body);
  ConnectionPtr CommConnection(int64_t idPc);

  // Sending, with the send faults applied. False when the connection is closing.
  bool SendMessage(Connection& connection, uint16_t cmd, google::protobuf::Message* pMessage);
  bool SendRaw(Connection& connection, uint16_t cmd, std::string body);
  bool SendBody(Connection& connection, uint16_t cmd, const std::string& body,
                const CFaultPlan::Fault* pFault);
  bool Write(Connection& connection, const std::string& bytes, bool inPieces);
  void Shutdown(Connection& connection);

  void Event(const char* pName, const char* pFormat, ...) __attribute__((format(printf, 3, 4)));

  // Set in the constructor or by Start, then constant.
  const Options m_options;
  const std::chrono::steady_clock::time_point m_startTime;
  int m_stopFd = -1;  // an eventfd, readable once Stop began
  uint16_t m_entryPort = 0;
  uint16_t m_commPort = 0;
  uint16_t m_relayPort = 0;
  uint16_t m_reportPort = 0;
  uint16_t m_webPort = 0;
  std::vector<std::pair<Role, int>> m_listenFds;
  std::vector<std::thread> m_listeners;
  bool m_started = false;
  std::atomic<bool> m_stopped{false};

  CFaultPlan m_faults;

  mutable std::mutex m_lock;
  // Guarded by m_lock.
  std::map<int64_t, PcState> m_pcs;
  std::map<int64_t, std::string> m_phoneKeys;
  int64_t m_nextPcId;
  int64_t m_lastTime = 0;
  std::vector<int64_t> m_issuedTimes;
  std::optional<LoginRecord> m_lastLogin;
  int64_t m_lastLoginPc = 0;
  std::map<int64_t, ConnectionPtr> m_commByPc;
  std::map<int64_t, std::chrono::steady_clock::time_point> m_onlinePhones;
  std::map<int64_t, ConnectionPtr> m_relayRoutes;
  std::map<int64_t, RelayReplyHandler> m_replyHandlers;
  std::map<int64_t, std::deque<std::string>> m_replyQueues;
  std::condition_variable m_replyArrived;
  std::vector<UnbindRecord> m_receivedUnbinds;
  std::vector<std::string> m_reports;

  std::mutex m_threadLock;
  std::vector<Worker> m_workers;  // guarded by m_threadLock

  mutable std::mutex m_eventLock;
  mutable std::condition_variable m_eventArrived;
  std::map<std::string, size_t> m_eventCounts;  // guarded by m_eventLock
};
