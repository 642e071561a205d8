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

// Every non-loopback interface with a non-zero hardware address, up or down: physical devices
// (those with a sysfs "device" link) first, then the rest, each group by interface index.
std::vector<AdapterFacts> ListAdapters();

}  // namespace win32::detail
