#pragma once
// The "host[:port]" form in which a server is configured (ORBALYN_ENTRY_SERVER and
// ORBALYN_REPORT_SERVER), read by the library and checked by the programs that start it.

#include <cstdint>
#include <string>

inline constexpr uint16_t kDefaultServerPort = 443;

// A strict "host[:port]": a non-empty host of at most 253 letters, digits, '.', '-' and '_', and
// a port of 1 to 65535 in decimal (kDefaultServerPort when absent). False, touching nothing,
// otherwise.
bool ParseServerAddress(const char* pText, std::string* pHost, uint16_t* pPort);
