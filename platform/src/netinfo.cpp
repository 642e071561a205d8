#include "netinfo.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <limits.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>

#include "devices.h"
#include "win32/iphlpapi.h"

namespace win32 {
namespace detail {
namespace {

bool PathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string LinkBaseName(const std::string& path) {
  char target[PATH_MAX];
  ssize_t n = readlink(path.c_str(), target, sizeof(target) - 1);
  if (n <= 0) return {};
  target[n] = '\0';
  const char* slash = strrchr(target, '/');
  return slash ? slash + 1 : target;
}

// Composes what Windows would show as the adapter's description from what sysfs knows, so that
// descriptions mentioning "usb" or "wireless" mean the same thing here.
void DescribeFromSysfs(AdapterFacts* pFacts) {
  std::string netDir = SystemFilePath("/sys/class/net/" + pFacts->name);
  std::string deviceLink = netDir + "/device";
  pFacts->physical = PathExists(deviceLink);
  bool wireless = PathExists(netDir + "/wireless") || PathExists(netDir + "/phy80211");
  bool usb = false;
  std::string driver;
  if (pFacts->physical) {
    driver = LinkBaseName(deviceLink + "/driver");
    char resolved[PATH_MAX];
    if (realpath(deviceLink.c_str(), resolved)) usb = strstr(resolved, "/usb") != nullptr;
  }
  std::string text;
  if (!driver.empty()) text = driver + " ";
  if (usb) text += "USB ";
  if (wireless) text += "Wireless ";
  text += pFacts->name;
  pFacts->description = text.substr(0, MAX_ADAPTER_DESCRIPTION_LENGTH);
  if (pFacts->type == MIB_IF_TYPE_ETHERNET && wireless) pFacts->type = IF_TYPE_IEEE80211;
}

// The bus of the sysfs device at `devicePath` (a resolved path): "pci", "usb", "platform", ...
std::string BusOf(const std::string& devicePath) {
  std::string bus = LinkBaseName(devicePath + "/subsystem");
  if (bus == "virtio") {
    size_t slash = devicePath.rfind('/');
    if (slash != std::string::npos) bus = LinkBaseName(devicePath.substr(0, slash) + "/subsystem");
  }
  return bus;
}

UINT TypeFromHardware(unsigned short hatype) {
  switch (hatype) {
    case ARPHRD_ETHER:
      return MIB_IF_TYPE_ETHERNET;
    case ARPHRD_PPP:
      return MIB_IF_TYPE_PPP;
    default:
      return MIB_IF_TYPE_OTHER;
  }
}

void CopyText(char* dst, size_t size, const std::string& text) {
  size_t n = std::min(text.size(), size - 1);
  memcpy(dst, text.data(), n);
  dst[n] = '\0';
}

}  // namespace

bool ReadConnectionFacts(const std::string& name, ConnectionFacts* pFacts) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    return false;
  }
  std::string netDir = SystemFilePath("/sys/class/net/" + name);
  char device[PATH_MAX];
  if (!realpath((netDir + "/device").c_str(), device)) return false;
  bool wireless = PathExists(netDir + "/wireless") || PathExists(netDir + "/phy80211");
  std::string bus = BusOf(device);
  if (bus == "platform" && !wireless) bus = "pci";
  if (bus.empty()) bus = "unknown";
  for (char& c : bus) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  const char* pDeviceName = strrchr(device, '/');
  pFacts->mediaSubType = wireless ? 2 : 1;
  pFacts->pnpInstanceId = bus + "\\" + (pDeviceName ? pDeviceName + 1 : device);
  return true;
}

std::vector<AdapterFacts> ListAdapters() {
  std::vector<AdapterFacts> adapters;
  ifaddrs* pList = nullptr;
  if (getifaddrs(&pList) != 0) return adapters;
  std::map<std::string, std::pair<std::string, std::string>> firstIpv4;
  for (ifaddrs* p = pList; p; p = p->ifa_next) {
    if (!p->ifa_addr || (p->ifa_flags & IFF_LOOPBACK)) continue;
    if (p->ifa_addr->sa_family == AF_PACKET) {
      const auto* pLink = reinterpret_cast<const sockaddr_ll*>(p->ifa_addr);
      UINT length = std::min<UINT>(pLink->sll_halen, MAX_ADAPTER_ADDRESS_LENGTH);
      bool nonZero = false;
      for (UINT i = 0; i < length; ++i) nonZero |= pLink->sll_addr[i] != 0;
      if (!nonZero) continue;  // tunnels and other devices without a hardware address
      AdapterFacts facts;
      facts.name = p->ifa_name;
      memcpy(facts.address, pLink->sll_addr, length);
      facts.addressLength = length;
      facts.index = static_cast<UINT>(pLink->sll_ifindex);
      facts.type = TypeFromHardware(pLink->sll_hatype);
      adapters.push_back(std::move(facts));
    } else if (p->ifa_addr->sa_family == AF_INET && !firstIpv4.count(p->ifa_name)) {
      char address[INET_ADDRSTRLEN] = "0.0.0.0";
      char mask[INET_ADDRSTRLEN] = "0.0.0.0";
      inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(p->ifa_addr)->sin_addr, address,
                sizeof(address));
      if (p->ifa_netmask) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(p->ifa_netmask)->sin_addr, mask,
                  sizeof(mask));
      }
      firstIpv4[p->ifa_name] = {address, mask};
    }
  }
  freeifaddrs(pList);
  for (AdapterFacts& facts : adapters) {
    DescribeFromSysfs(&facts);
    auto it = firstIpv4.find(facts.name);
    if (it != firstIpv4.end()) {
      facts.ipAddress = it->second.first;
      facts.ipMask = it->second.second;
    }
  }
  // Physical first: a bridge or container interface with a changing address must never become
  // the adapter that identifies the machine.
  std::stable_sort(adapters.begin(), adapters.end(),
                   [](const AdapterFacts& a, const AdapterFacts& b) {
                     if (a.physical != b.physical) return a.physical;
                     return a.index < b.index;
                   });
  return adapters;
}

}  // namespace detail

DWORD GetAdaptersInfo(PIP_ADAPTER_INFO pAdapterInfo, ULONG* pOutBufLen) {
  if (!pOutBufLen) return ERROR_INVALID_PARAMETER;
  std::vector<detail::AdapterFacts> adapters = detail::ListAdapters();
  if (adapters.empty()) return ERROR_NO_DATA;
  size_t needed = adapters.size() * sizeof(IP_ADAPTER_INFO);
  if (needed > UINT32_MAX) return ERROR_NOT_ENOUGH_MEMORY;
  if (!pAdapterInfo || *pOutBufLen < needed) {
    *pOutBufLen = static_cast<ULONG>(needed);
    return ERROR_BUFFER_OVERFLOW;
  }
  memset(pAdapterInfo, 0, needed);
  for (size_t i = 0; i < adapters.size(); ++i) {
    const detail::AdapterFacts& facts = adapters[i];
    IP_ADAPTER_INFO& info = pAdapterInfo[i];
    info.Next = i + 1 < adapters.size() ? &pAdapterInfo[i + 1] : nullptr;
    info.ComboIndex = facts.index;
    detail::CopyText(info.AdapterName, sizeof(info.AdapterName), facts.name);
    detail::CopyText(info.Description, sizeof(info.Description), facts.description);
    info.AddressLength = facts.addressLength;
    memcpy(info.Address, facts.address, sizeof(info.Address));
    info.Index = facts.index;
    info.Type = facts.type;
    detail::CopyText(info.IpAddressList.IpAddress.String,
                     sizeof(info.IpAddressList.IpAddress.String), facts.ipAddress);
    detail::CopyText(info.IpAddressList.IpMask.String, sizeof(info.IpAddressList.IpMask.String),
                     facts.ipMask);
  }
  return ERROR_SUCCESS;
}

}  // namespace win32
