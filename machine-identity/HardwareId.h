#pragma once
// The hardware id of the statistics record: MD5 of the first disk's product id, the processor's
// brand text and the chosen adapter's address.

#include <cstdint>

namespace ZyMacID {

// Each text is a single blank when unavailable; the three are hashed in order without
// separators. Always true.
bool GetHardwareId(uint8_t id[16]);

}  // namespace ZyMacID
