#include "WebAddresses.h"

#include <cstdlib>
#include <string_view>

#include "Basalt/KwDiag.h"
#include "Common/ServerAddress.h"
#include "win32/strings.h"

using namespace win32;

namespace {

using Check = bool (*)(const char* pValue);

bool IsWebAddress(const char* pValue) {
  WebAddress address;
  return ParseWebAddress(pValue, &address);
}

// A site is an address without a path or query (a lone "/" is allowed).
bool IsWebSite(const char* pValue) {
  WebAddress address;
  return ParseWebAddress(pValue, &address) && (address.location.empty() || address.location == "/");
}

bool IsAppId(const char* pValue) {
  const std::string_view value = pValue;
  if (value.empty() || value.size() > 64) return false;
  for (char c : value) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                         (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
    if (!allowed) return false;
  }
  return true;
}

std::string Configured(const char* pVariable, const char* pDefault, Check check,
                       const char* pWhat) {
  if (const char* pValue = getenv(pVariable)) {
    if (check(pValue)) return pValue;
    KwLogW(u"Harborlight", u"%hs=\"%hs\" is not %hs; the built-in one is kept", pVariable, pValue,
           pWhat);
  }
  if (check(pDefault)) return pDefault;
  KwLogW(u"Harborlight", u"built-in %hs \"%hs\" is not %hs", pVariable, pDefault, pWhat);
  return std::string();
}

// The site without a trailing "/", so that a path can follow; empty when there is none.
std::string Site(const char* pVariable, const char* pDefault) {
  std::string site = Configured(pVariable, pDefault, IsWebSite, "an http or https site");
  if (!site.empty() && site.back() == '/') site.pop_back();
  return site;
}

// Everything but the unreserved characters as "%XX", as a query value needs it.
std::string EscapeQueryValue(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string escaped;
  for (unsigned char c : value) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      escaped += static_cast<char>(c);
    } else {
      escaped += '%';
      escaped += kHex[c >> 4];
      escaped += kHex[c & 0xF];
    }
  }
  return escaped;
}

std::string WebSitePage(const char* pPath) {
  std::string site = Site("LUMIDOCK_WEB_SITE", LUMIDOCK_WEB_SITE_DEFAULT);
  return site.empty() ? site : site + pPath;
}

bool CanonicalAddress(const std::u16string& text, std::string* pCanonical) {
  WebAddress address;
  if (!ParseWebAddress(Utf16ToUtf8(text).c_str(), &address)) return false;
  *pCanonical = WriteWebAddress(address);
  return true;
}

}  // namespace

std::u16string ForumAddress() {
  return Utf8ToUtf16(Configured("LUMIDOCK_FORUM_URL", LUMIDOCK_FORUM_URL_DEFAULT, IsWebAddress,
                                "an http or https address"));
}

std::u16string DownloadPageAddress() { return Utf8ToUtf16(WebSitePage("/tidepool-download.html")); }

std::u16string InstallPageAddress() { return Utf8ToUtf16(WebSitePage("/tidepool/download.html")); }

std::u16string LoginPageAddress() {
  std::string login = Site("LUMIDOCK_LOGIN_SITE", LUMIDOCK_LOGIN_SITE_DEFAULT);
  std::string target = WebSitePage("/tidepool/download.html");
  if (login.empty() || target.empty()) return std::u16string();
  std::string appId =
      Configured("LUMIDOCK_APPID", LUMIDOCK_APPID_DEFAULT, IsAppId, "an application id");
  return Utf8ToUtf16(login + "/cgi-bin/login?appid=" + EscapeQueryValue(appId) +
                     "&s_url=" + EscapeQueryValue(target));
}

bool IsSameWebAddress(const std::u16string& first, const std::u16string& second) {
  std::string a, b;
  if (!CanonicalAddress(first, &a) || !CanonicalAddress(second, &b) || a.size() != b.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) {
      return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}
