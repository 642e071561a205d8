// Host names and resolver parameters: gethostname, gethostbyname, GetNetworkParams.

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "devices.h"
#include "handles.h"
#include "win32/iphlpapi.h"
#include "win32/winsock.h"

namespace win32 {
namespace {

constexpr char kResolvConfPath[] = "/etc/resolv.conf";
constexpr char kResolvConfOverride[] = "LUMIDOCK_RESOLV_CONF";

std::string SystemHostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof(name) - 1) != 0) return {};
  return name;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The machine's own name in any letter case, with or without a domain, or no name at all.
bool IsOwnHostName(const char* pName) {
  if (!pName || !*pName) return true;
  std::string_view name(pName);
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  const std::string host = SystemHostName();
  if (host.empty()) return false;
  const std::string_view shortHost = std::string_view(host).substr(0, host.find('.'));
  const std::string_view shortName = name.substr(0, name.find('.'));
  if (EqualNoCase(name, host)) return true;
  // "pc" for "pc.lan", or "pc.lan" for "pc".
  return EqualNoCase(shortName, shortHost) &&
         (name.size() == shortName.size() || host.size() == shortHost.size());
}

// IPv4 addresses of the interfaces that are up: physical devices first, then virtual ones
// (bridges, tunnels, containers), loopback only when nothing else exists.
std::vector<in_addr> InterfaceAddresses() {
  std::vector<in_addr> physical;
  std::vector<in_addr> other;
  ifaddrs* pList = nullptr;
  if (getifaddrs(&pList) == 0) {
    for (ifaddrs* pEntry = pList; pEntry; pEntry = pEntry->ifa_next) {
      if (!pEntry->ifa_addr || pEntry->ifa_addr->sa_family != AF_INET) continue;
      if (!(pEntry->ifa_flags & IFF_UP) || (pEntry->ifa_flags & IFF_LOOPBACK)) continue;
      in_addr address = reinterpret_cast<const sockaddr_in*>(pEntry->ifa_addr)->sin_addr;
      if (address.s_addr == 0 || (ntohl(address.s_addr) >> 24) == 127) continue;
      std::string device(pEntry->ifa_name);
      device = device.substr(0, device.find(':'));  // "eth0:1" is an alias of eth0
      bool isPhysical =
          access(detail::SystemFilePath("/sys/class/net/" + device + "/device").c_str(), F_OK) == 0;
      std::vector<in_addr>& group = isPhysical ? physical : other;
      bool seen = false;
      for (const std::vector<in_addr>* pGroup : {&physical, &other}) {
        for (const in_addr& known : *pGroup) seen = seen || known.s_addr == address.s_addr;
      }
      if (!seen) group.push_back(address);
    }
    freeifaddrs(pList);
  }
  physical.insert(physical.end(), other.begin(), other.end());
  if (physical.empty()) physical.push_back(in_addr{htonl(INADDR_LOOPBACK)});
  return physical;
}

// The per-thread answer of gethostbyname, as Windows keeps one per thread.
class HostentBuffer {
 public:
  hostent* Fill(std::string name, std::vector<in_addr> addresses) {
    m_name = std::move(name);
    m_addresses = std::move(addresses);
    m_addressList.clear();
    for (in_addr& address : m_addresses) m_addressList.push_back(reinterpret_cast<char*>(&address));
    m_addressList.push_back(nullptr);
    m_entry.h_name = m_name.data();
    m_entry.h_aliases = m_aliases;
    m_entry.h_addrtype = AF_INET;
    m_entry.h_length = sizeof(in_addr);
    m_entry.h_addr_list = m_addressList.data();
    return &m_entry;
  }

 private:
  hostent m_entry = {};
  std::string m_name;
  std::vector<in_addr> m_addresses;
  std::vector<char*> m_addressList;
  char* m_aliases[1] = {nullptr};
};

HostentBuffer& ThreadHostent() {
  thread_local HostentBuffer buffer;
  return buffer;
}

DWORD WsaErrorFromAddrinfo(int code, int err) {
  switch (code) {
    case EAI_NONAME:
      return WSAHOST_NOT_FOUND;
    case EAI_AGAIN:
      return WSATRY_AGAIN;
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
      return WSANO_DATA;
    case EAI_MEMORY:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EAI_SYSTEM:
      return detail::WsaErrorFromErrno(err);
    default:
      return WSANO_RECOVERY;
  }
}

struct ResolverConfig {
  std::vector<std::string> servers;  // dotted IPv4, in file order
  std::string domain;
};

// nameserver lines (IPv4 only) and the domain of the last "domain" or "search" line.
ResolverConfig ReadResolvConf() {
  ResolverConfig config;
  const char* pOverride = getenv(kResolvConfOverride);
  std::ifstream file(pOverride && *pOverride ? pOverride : kResolvConfPath);
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    std::istringstream words(line);
    std::string keyword;
    std::string value;
    if (!(words >> keyword >> value)) continue;
    if (keyword == "nameserver") {
      in_addr address;
      char text[INET_ADDRSTRLEN];
      if (inet_pton(AF_INET, value.c_str(), &address) == 1 &&
          inet_ntop(AF_INET, &address, text, sizeof(text))) {
        config.servers.push_back(text);
      }
    } else if (keyword == "domain" || keyword == "search") {
      config.domain = value;
    }
  }
  return config;
}

void CopyText(char* pDestination, size_t capacity, std::string_view text) {
  size_t length = std::min(capacity - 1, text.size());
  memcpy(pDestination, text.data(), length);
  pDestination[length] = '\0';
}

}  // namespace

int gethostname(char* name, int length) {
  if (!name || length <= 0) {
    SetLastError(WSAEFAULT);
    return SOCKET_ERROR;
  }
  const std::string host = SystemHostName();
  if (host.empty() || host.size() + 1 > static_cast<size_t>(length)) {
    SetLastError(WSAEFAULT);
    return SOCKET_ERROR;
  }
  memcpy(name, host.c_str(), host.size() + 1);
  return 0;
}

// The name resolver takes the first address; the server session takes the first non-zero one
// of the machine's own name as its local address.
hostent* gethostbyname(const char* name) {
  if (IsOwnHostName(name)) {
    return ThreadHostent().Fill(SystemHostName(), InterfaceAddresses());
  }
  addrinfo hints = {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* pResult = nullptr;
  int code = getaddrinfo(name, nullptr, &hints, &pResult);
  if (code != 0) {
    SetLastError(WsaErrorFromAddrinfo(code, errno));
    return nullptr;
  }
  std::vector<in_addr> addresses;
  std::string canonical = pResult->ai_canonname ? pResult->ai_canonname : name;
  for (addrinfo* pEntry = pResult; pEntry; pEntry = pEntry->ai_next) {
    if (pEntry->ai_family != AF_INET) continue;
    in_addr address = reinterpret_cast<const sockaddr_in*>(pEntry->ai_addr)->sin_addr;
    bool seen = false;
    for (const in_addr& known : addresses) seen = seen || known.s_addr == address.s_addr;
    if (!seen) addresses.push_back(address);
  }
  freeaddrinfo(pResult);
  if (addresses.empty()) {
    SetLastError(WSANO_DATA);
    return nullptr;
  }
  return ThreadHostent().Fill(std::move(canonical), std::move(addresses));
}

// The name resolver's DNS server list. Extra servers follow the structure in the caller's
// buffer, linked through Next.
DWORD GetNetworkParams(PFIXED_INFO pFixedInfo, ULONG* pOutBufLen) {
  if (!pOutBufLen) return ERROR_INVALID_PARAMETER;
  const ResolverConfig config = ReadResolvConf();
  const size_t extra = config.servers.size() > 1 ? config.servers.size() - 1 : 0;
  const ULONG needed = static_cast<ULONG>(sizeof(FIXED_INFO) + extra * sizeof(IP_ADDR_STRING));
  if (!pFixedInfo || *pOutBufLen < needed) {
    *pOutBufLen = needed;
    return ERROR_BUFFER_OVERFLOW;
  }
  memset(pFixedInfo, 0, needed);
  // Windows reports the host name without its domain, and the domain separately.
  const std::string host = SystemHostName();
  const size_t dot = host.find('.');
  CopyText(pFixedInfo->HostName, sizeof(pFixedInfo->HostName), host.substr(0, dot));
  std::string domain = config.domain;
  if (domain.empty() && dot != std::string::npos) domain = host.substr(dot + 1);
  CopyText(pFixedInfo->DomainName, sizeof(pFixedInfo->DomainName), domain);
  IP_ADDR_STRING* pExtra = reinterpret_cast<IP_ADDR_STRING*>(pFixedInfo + 1);
  IP_ADDR_STRING* pPrevious = nullptr;
  for (size_t i = 0; i < config.servers.size(); ++i) {
    IP_ADDR_STRING* pEntry = i == 0 ? &pFixedInfo->DnsServerList : &pExtra[i - 1];
    CopyText(pEntry->IpAddress.String, sizeof(pEntry->IpAddress.String), config.servers[i]);
    if (pPrevious) pPrevious->Next = pEntry;
    pPrevious = pEntry;
  }
  if (!config.servers.empty()) pFixedInfo->CurrentDnsServer = &pFixedInfo->DnsServerList;
  return ERROR_SUCCESS;
}

}  // namespace win32
