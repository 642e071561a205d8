#pragma once
// The machine's adapter list, shared by GetAdaptersInfo and Netbios.

#include <string>
#include <vector>

#include "win32/base.h"

namespace win32::detail {

struct AdapterFacts {
  std::string name;         // interface name
  std::string description;  // driver, "USB", "Wireless", interface name
  BYTE address[8] = {};
  UINT addressLength = 0;
  UINT index = 0;  // interface index
  UINT type = 0;   // MIB_IF_TYPE_* / IF_TYPE_IEEE80211
  bool physical = false;
  std::string ipAddress = "0.0.0.0";
  std::string ipMask = "0.0.0.0";
};

// What Windows keeps in a network adapter's "Connection" key under the network class.
struct ConnectionFacts {
  DWORD mediaSubType = 0;     // 1 wired, 2 wireless
  std::string pnpInstanceId;  // "<bus>\\<device>", the bus in capitals
};

// The Connection facts of interface `name` from sysfs: wireless when it has a "wireless" or
// "phy80211" entry, else wired; the bus is that of its device, a virtio device counting as its
// transport's. A wired port on the platform bus (a system-on-chip's own Ethernet) is the
// machine's built-in adapter, as a PCI one is on a PC, and is named as on PCI. False for an
// interface with no device behind it (bridges, tunnels, virtual pairs): Windows has no such key.
bool ReadConnectionFacts(const std::string& name, ConnectionFacts* pFacts);

// Every non-loopback interface with a non-zero hardware address, up or down: physical devices
// (those with a sysfs "device" link) first, then the rest, each group by interface index.
std::vector<AdapterFacts> ListAdapters();

}  // namespace win32::detail
