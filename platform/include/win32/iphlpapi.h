#pragma once
// IP helper: the adapter list and the resolver parameters. The structures keep the documented
// field names, but pointers are 8 bytes here, so their sizes differ from the 32-bit ones (648 for
// IP_ADAPTER_INFO, 584 for FIXED_INFO): callers size buffers with sizeof.

#include "win32/base.h"

namespace win32 {

constexpr UINT MAX_ADAPTER_NAME_LENGTH = 256;
constexpr UINT MAX_ADAPTER_DESCRIPTION_LENGTH = 128;
constexpr UINT MAX_ADAPTER_ADDRESS_LENGTH = 8;
constexpr UINT MAX_HOSTNAME_LEN = 128;
constexpr UINT MAX_DOMAIN_NAME_LEN = 128;
constexpr UINT MAX_SCOPE_ID_LEN = 256;

// Adapter types
constexpr UINT MIB_IF_TYPE_OTHER = 1;
constexpr UINT MIB_IF_TYPE_ETHERNET = 6;
constexpr UINT MIB_IF_TYPE_PPP = 23;
constexpr UINT IF_TYPE_IEEE80211 = 71;

// Dotted IPv4 text, NUL-terminated.
struct IP_ADDRESS_STRING {
  char String[16];
};
using IP_MASK_STRING = IP_ADDRESS_STRING;

struct IP_ADDR_STRING {
  IP_ADDR_STRING* Next;
  IP_ADDRESS_STRING IpAddress;
  IP_MASK_STRING IpMask;
  DWORD Context;
};

struct IP_ADAPTER_INFO {
  IP_ADAPTER_INFO* Next;
  DWORD ComboIndex;
  char AdapterName[MAX_ADAPTER_NAME_LENGTH + 4];
  char Description[MAX_ADAPTER_DESCRIPTION_LENGTH + 4];
  UINT AddressLength;
  BYTE Address[MAX_ADAPTER_ADDRESS_LENGTH];
  DWORD Index;
  UINT Type;
  UINT DhcpEnabled;
  IP_ADDR_STRING* CurrentIpAddress;
  IP_ADDR_STRING IpAddressList;
};
using PIP_ADAPTER_INFO = IP_ADAPTER_INFO*;

struct FIXED_INFO {
  char HostName[MAX_HOSTNAME_LEN + 4];
  char DomainName[MAX_DOMAIN_NAME_LEN + 4];
  IP_ADDR_STRING* CurrentDnsServer;
  IP_ADDR_STRING DnsServerList;
  UINT NodeType;
  char ScopeId[MAX_SCOPE_ID_LEN + 4];
  UINT EnableRouting;
  UINT EnableProxy;
  UINT EnableDns;
};
using PFIXED_INFO = FIXED_INFO*;

// Every interface with a hardware address except loopback, up or down (so an unplugged cable
// does not change the machine's identity): physical devices first, then virtual ones (bridges,
// containers), each group by interface index. AdapterName is the interface name; Description
// names the driver and says "USB" or "Wireless" where that applies; IpAddressList holds the
// first IPv4 address or "0.0.0.0".
// Returns (not through the last error) 0; ERROR_BUFFER_OVERFLOW with *pOutBufLen set to the size
// needed when the buffer is missing or short; ERROR_NO_DATA when there is no adapter;
// ERROR_INVALID_PARAMETER when pOutBufLen is null.
WIN32_API DWORD GetAdaptersInfo(PIP_ADAPTER_INFO pAdapterInfo, ULONG* pOutBufLen);

// Host name, domain and the IPv4 name servers of resolv.conf. Same size protocol as above.
WIN32_API DWORD GetNetworkParams(PFIXED_INFO pFixedInfo, ULONG* pOutBufLen);

}  // namespace win32
