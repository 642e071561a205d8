#pragma once
// The "host[:port]" form in which a server is configured (ORBALYN_ENTRY_SERVER and
// ORBALYN_REPORT_SERVER), read by the library and checked by the programs that start it; and the
// web addresses the programs open in a browser (LUMIDOCK_FORUM_URL), read by the same host rule.

#include <cstdint>
#include <string>

inline constexpr uint16_t kDefaultServerPort = 443;

// A strict "host[:port]": a non-empty host of at most 253 letters, digits, '.', '-' and '_', and
// a port of 1 to 65535 in decimal (kDefaultServerPort when absent). False, touching nothing,
// otherwise.
bool ParseServerAddress(const char* pText, std::string* pHost, uint16_t* pPort);

struct WebAddress {
  bool secure = false;  // https
  std::string host;
  uint16_t port = 0;     // 80 or 443 when the address names none
  std::string location;  // path and query as given; may be empty
};

// A strict web address: "http://" or "https://" (lower case), a host and port by the rule of
// ParseServerAddress, then nothing, or a path ('/') and an optional query ('?') made only of
// the characters an address may carry unescaped and of "%XX" escapes. No user name, no
// fragment, no spaces or control characters. False, touching nothing, otherwise.
bool ParseWebAddress(const char* pText, WebAddress* pAddress);

// The address in the form a browser reports it: host in lower case, the port only when it is
// not the scheme's own, "/" for an empty location.
std::string WriteWebAddress(const WebAddress& address);
