#pragma once
// The network adapter address that the machine GUID rests on.

#include <cstdint>

namespace ZyMacID {

// Adapter class from the network class key of the registry; lower is better.
enum AdapterClass : int {
  kAdapterWiredPci = 0,
  kAdapterWireless = 1,
  kAdapterWiredOther = 2,
  kAdapterUnknown = 3,
};

// The adapter list first (the best-ranked Ethernet or PPP adapter, else the first one), then
// NetBIOS adapter status, else the fixed address 1A-2B-3C-4D-5E-6F. Always true.
bool GetAdapterAddress(uint8_t address[6]);

// Classifies the adapter named `adapterName` from its "Connection" key (MediaSubType and
// PnpInstanceID); anything missing gives kAdapterUnknown.
int GetAdapterClass(const char* adapterName);

}  // namespace ZyMacID
