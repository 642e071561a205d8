#pragma once
// The web addresses the program opens in the browser. Each is a deployment setting: a built-in
// default (a name under ".invalid" unless the build names another) that an environment variable
// overrides. Both are read strictly (ParseWebAddress); a bad override is logged and the default
// kept.

#include <string>

// LUMIDOCK_FORUM_URL: the support forum's page. Empty only when the built-in default is itself
// no web address.
std::u16string ForumAddress();
