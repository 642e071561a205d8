#pragma once
// The two NetBIOS steps both address readers take: list the lanas, then reset one lana and ask
// its adapter status.

#include <cstdint>

#include "win32/netbios.h"

namespace NetbiosQuery {

// False when the system cannot list its lanas.
bool EnumLanas(win32::LANA_ENUM* pLanas);
// Resets `lana`, then asks its adapter status; the adapter's 6-byte address on success.
bool QueryLanaAddress(win32::UCHAR lana, uint8_t address[6]);

}  // namespace NetbiosQuery
