#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "NetEngine/IOHandler.h"
#include "Common/Singleton.h"
#include "Common/ThreadAnnotations.h"
#include "win32/base.h"
#include "win32/sync.h"

class CIOOperation;
class CUdpDevice;

// The data area of a completed resolve, host byte order except the addresses: `count`, then
// `count` entries. Its length is count * 8 + 4, cut to the operation's capacity; a failed
// resolve has length 0 and error 10060.
struct DnsResult {
  struct Entry {
    uint32_t ttlSeconds;
    uint32_t addressNetOrder;
  };
  uint32_t count;
  Entry entries[1];  // the first of `count`
};

// Turns host names into IPv4 addresses, delivered as the completion of an operation on the I/O
// thread like every other result of the library.
//
// Resolve is a synchronous lookup through the system resolver, and carries every lookup of the
// system. Beside it runs a UDP DNS client for the system's DNS servers, with a table read from
// the hosts file: it listens and retries its pending queries, but nothing queues a query on it,
// so in practice it sends nothing and the hosts table is not consulted.
//
// Lifetime: a Singleton; the root object starts it after the I/O thread and stops it before.
//   The destructor deletes the UDP device.
// Threading: Resolve from any thread; it touches no resolver state. Start and Stop by the owner.
//   The UDP client runs on the I/O thread (completions and timer 1001); the pending queries, the
//   server list and the hosts table are guarded by m_lock.
class CADNSResolver : public CIOHandler, public Singleton<CADNSResolver> {
 public:
  static constexpr uint32_t kTimerCheckPending = 1001;
  static constexpr uint32_t kCheckIntervalMs = 50;
  static constexpr uint32_t kServerTimeoutMs = 5000;
  static constexpr uint32_t kFirstResendMs = 200;
  static constexpr uint16_t kDnsPort = 53;
  static constexpr uint32_t kResolveTtl = 135;
  static constexpr uint32_t kFallbackTtl = 125;
  static constexpr uint32_t kReadSize = 256;
  static constexpr uint32_t kQuerySize = 256;
  static constexpr size_t kMaxHostsLine = 1024;

  ~CADNSResolver() override;

  // CIOHandler:
  void OnIoComplete(CIOOperation* pOp) override;
  void OnTimer(unsigned int timerId) override;

  // Looks `hostName` up on the calling thread (blocking it), writes a DnsResult with the first
  // IPv4 address (TTL 135) or fails with 10060, and posts pOp, so its owner receives it on the
  // I/O thread under the code it chose.
  void Resolve(const char* hostName, CIOOperation* pOp);
  // Opens the UDP socket, loads the servers and the hosts file, starts timer 1001 and the first
  // read. True when started (or already running); false when the socket cannot be opened.
  bool Start();
  // Detaches its operations, removes its timer, closes the socket and forgets the pending
  // queries. Returns true.
  bool Stop();

  // Tests only: the client as LoadServers left it, and a pending query as the missing caller
  // would make it (pOp gains a reference, completed and released when the query ends).
  std::vector<sockaddr_in> ServersForTesting();
  std::map<std::string, uint32_t> HostsForTesting();
  void AddPendingQueryForTesting(const std::string& hostName, CIOOperation* pOp);
  size_t PendingCountForTesting();
  // How many replies without an address led to a system lookup of their question name.
  uint32_t FallbackLookupsForTesting() const { return m_fallbackLookups.load(); }

 private:
  friend class Singleton<CADNSResolver>;

  struct PendingQuery {
    CIOOperation* pOp;  // one reference, dropped when the query ends
    win32::DWORD serverStartMs;
    win32::DWORD lastSendMs;
    win32::DWORD resendIntervalMs;
    size_t serverIndex;
  };

  CADNSResolver();

  void LoadServers();
  void LoadHosts();
  void PostRead();
  void SendQueryLocked(const std::string& hostName, size_t serverIndex)
      EXCLUSIVE_LOCKS_REQUIRED(m_lock);
  void CheckPending();
  void OnReadDone(CIOOperation* pOp);
  // Ends the pending query of hostName, if any, with the entries (or 10060 when empty).
  void CompleteQueryLocked(const std::string& hostName,
                           const std::vector<DnsResult::Entry>& entries)
      EXCLUSIVE_LOCKS_REQUIRED(m_lock);
  bool IsServerLocked(const void* pAddress, int length) EXCLUSIVE_LOCKS_REQUIRED(m_lock);

  // Length-prefixed labels, an empty last label dropped, a zero byte at the end. Empty when a
  // label does not fit the format (empty inside the name, or over 63 bytes).
  static std::string EncodeName(const std::string& hostName);
  // Labels up to a zero length or the end of the data, joined with '.'; advances *pOffset.
  static std::string DecodeName(const uint8_t* pData, size_t length, size_t* pOffset);
  // Writes the entries into pOp as a DnsResult (as many as fit) and clears its error.
  static void WriteResult(CIOOperation* pOp, const std::vector<DnsResult::Entry>& entries);

  std::map<std::string, PendingQuery> m_pending GUARDED_BY(m_lock);
  std::map<std::string, uint32_t> m_hosts GUARDED_BY(m_lock);  // name -> IPv4, network order
  const std::unique_ptr<CUdpDevice> m_pUdpDevice;
  win32::CRITICAL_SECTION m_lock;
  std::atomic<bool> m_started;
  std::vector<sockaddr_in> m_servers GUARDED_BY(m_lock);  // in the system's order
  uint16_t m_queryId GUARDED_BY(m_lock);
  std::atomic<uint32_t> m_fallbackLookups{0};
};
