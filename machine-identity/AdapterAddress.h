#pragma once
// The network adapter address that the machine GUID rests on.

#include <cstdint>

#include "win32/iphlpapi.h"

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

// The adapter list step's choice in a GetAdaptersInfo list: the first adapter, replaced by a
// later Ethernet or PPP adapter of a lower class. False when the address taken is all zero.
bool ChooseAdapterAddress(const win32::IP_ADAPTER_INFO* pAdapters, uint8_t address[6]);

// Classifies the adapter named `adapterName` from its "Connection" key (MediaSubType and
// PnpInstanceID); anything missing gives kAdapterUnknown.
int GetAdapterClass(const char* adapterName);

}  // namespace ZyMacID
