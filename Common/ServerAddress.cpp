#include "Common/ServerAddress.h"

#include <string>
#include <string_view>
#include <utility>

namespace {

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool IsHostPort(std::string_view text, uint16_t defaultPort, std::string* pHost, uint16_t* pPort) {
  const size_t colon = text.find(':');
  const std::string_view host = text.substr(0, colon);
  if (host.empty() || host.size() > 253) return false;
  for (char c : host) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
    if (!allowed) return false;
  }
  uint32_t port = defaultPort;
  if (colon != std::string_view::npos) {
    const std::string_view digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5) return false;
    port = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      port = port * 10 + static_cast<uint32_t>(c - '0');
    }
    if (port < 1 || port > 0xFFFF) return false;
  }
  *pHost = std::string(host);
  *pPort = static_cast<uint16_t>(port);
  return true;
}

// Path and query: unreserved and sub-delimiter characters, ':', '@', '/', a single '?' that
// starts the query (after which '?' is plain), and "%XX".
bool IsLocation(std::string_view text) {
  static constexpr std::string_view kPlain = "-._~!$&'()*+,;=:@/";
  bool inQuery = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
        kPlain.find(c) != std::string_view::npos || (c == '?' && inQuery)) {
      continue;
    }
    if (c == '?') {
      inQuery = true;
      continue;
    }
    if (c == '%' && i + 2 < text.size() && IsHexDigit(text[i + 1]) && IsHexDigit(text[i + 2])) {
      i += 2;
      continue;
    }
    return false;
  }
  return true;
}

}  // namespace

bool ParseServerAddress(const char* pText, std::string* pHost, uint16_t* pPort) {
  if (!pText) return false;
  return IsHostPort(pText, kDefaultServerPort, pHost, pPort);
}

bool ParseWebAddress(const char* pText, WebAddress* pAddress) {
  if (!pText) return false;
  std::string_view text = pText;
  bool secure;
  if (text.starts_with("https://")) {
    secure = true;
    text.remove_prefix(8);
  } else if (text.starts_with("http://")) {
    secure = false;
    text.remove_prefix(7);
  } else {
    return false;
  }
  const size_t end = text.find_first_of("/?");
  const std::string_view location = end == std::string_view::npos ? "" : text.substr(end);
  if (!location.empty() && location[0] != '/') return false;
  WebAddress address;
  address.secure = secure;
  if (!IsHostPort(text.substr(0, end), secure ? 443 : 80, &address.host, &address.port) ||
      !IsLocation(location)) {
    return false;
  }
  address.location = std::string(location);
  *pAddress = std::move(address);
  return true;
}

std::string WriteWebAddress(const WebAddress& address) {
  std::string text = address.secure ? "https://" : "http://";
  for (char c : address.host) text += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  if (address.port != (address.secure ? 443 : 80)) text += ":" + std::to_string(address.port);
  text += address.location.empty() ? "/" : address.location;
  return text;
}
