#pragma once
// The web addresses the programs open in a browser. Each is built from deployment settings: a
// built-in default (a name under ".invalid" unless the build names another) that an environment
// variable overrides. Every setting is read strictly; a bad override is logged and the default
// kept.
//   LUMIDOCK_FORUM_URL   the support forum's page (ParseWebAddress)
//   LUMIDOCK_WEB_SITE    the maker's web server: scheme, host and port only
//   LUMIDOCK_LOGIN_SITE  the web login service: scheme, host and port only
//   LUMIDOCK_APPID       the application id the login service knows the install popup by:
//                        1 to 64 letters, digits, '.', '-' and '_'
// Threading: any thread; each call reads the environment afresh.

#include <string>

// The support forum's page. Empty only when the built-in default is itself no web address.
std::u16string ForumAddress();

// The phone-app download page that the QR page encodes and opens: "<web>/tidepool-download.html".
std::u16string DownloadPageAddress();
// The phone-app download page that the install popup shrinks for: "<web>/tidepool/download.html".
std::u16string InstallPageAddress();
// The install popup's start page: "<login>/cgi-bin/login?appid=<id>&s_url=<install page>", both
// values escaped.
std::u16string LoginPageAddress();

// Whether two addresses name the same page as a browser reports it: both are read strictly and
// written back in the browser's form (WriteWebAddress), then compared ignoring case. False when
// either is no web address.
bool IsSameWebAddress(const std::u16string& first, const std::u16string& second);
