#pragma once
// The maker's web pages as the install popup meets them: the login page, which links to the
// address it was given as s_url, and the two phone-app download pages, whose link closes the
// browser window (window.close()). One HTTP/1.1 GET per connection. A test may put pages of its
// own beside them, or in their place.
// Threading: stateless; any thread.

#include <map>
#include <string>

class CWebPages {
 public:
  struct Answer {
    std::string response;  // status line, headers and body
    std::string event;  // "web-login", "web-page", "web-extra", "web-not-found", "web-bad-request"
    std::string detail;
  };

  CWebPages() = delete;

  // The answer to one request head (up to and without the blank line); a path in `extraPages`
  // gets its response (status line, headers and body) as given.
  static Answer Respond(const std::string& requestHead,
                        const std::map<std::string, std::string>& extraPages = {});
  // A query value with its escapes undone ('+' is a space); bytes as given.
  static std::string QueryValue(const std::string& query, const std::string& key);
};
