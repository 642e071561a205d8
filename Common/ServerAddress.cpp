#include "Common/ServerAddress.h"

bool ParseServerAddress(const char* pText, std::string* pHost, uint16_t* pPort) {
  if (!pText) return false;
  const std::string text = pText;
  const size_t colon = text.find(':');
  const std::string host = text.substr(0, colon);
  if (host.empty() || host.size() > 253) return false;
  for (char c : host) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
    if (!allowed) return false;
  }
  uint32_t port = kDefaultServerPort;
  if (colon != std::string::npos) {
    const std::string digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5) return false;
    port = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      port = port * 10 + static_cast<uint32_t>(c - '0');
    }
    if (port < 1 || port > 0xFFFF) return false;
  }
  *pHost = host;
  *pPort = static_cast<uint16_t>(port);
  return true;
}
