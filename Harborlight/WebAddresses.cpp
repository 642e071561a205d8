#include "WebAddresses.h"

#include <cstdlib>

#include "Basalt/KwDiag.h"
#include "Common/ServerAddress.h"
#include "win32/strings.h"

using namespace win32;

namespace {

std::u16string ConfiguredAddress(const char* pVariable, const char* pDefault) {
  WebAddress address;
  const char* pValue = getenv(pVariable);
  if (pValue) {
    if (ParseWebAddress(pValue, &address)) return Utf8ToUtf16(pValue);
    KwLogW(u"Harborlight", u"%hs=\"%hs\" is not an http or https address; the built-in one is kept",
           pVariable, pValue);
  }
  if (ParseWebAddress(pDefault, &address)) return Utf8ToUtf16(pDefault);
  KwLogW(u"Harborlight", u"built-in %hs \"%hs\" is not an http or https address", pVariable,
         pDefault);
  return std::u16string();
}

}  // namespace

std::u16string ForumAddress() {
  return ConfiguredAddress("LUMIDOCK_FORUM_URL", LUMIDOCK_FORUM_URL_DEFAULT);
}
