// The web addresses the program opens: read strictly, overridden only by a good value.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "../common/SandboxTest.h"
#include "Basalt/BasaltTesting.h"
#include "Common/ServerAddress.h"
#include "WebAddresses.h"
#include "win32/strings.h"

namespace {

// Web addresses are read strictly: a scheme, a host by the server rule, a port, then an
// address's own characters only.
TEST(WebAddress, OnlyPlainHttpAndHttpsAddressesAreTaken) {
  WebAddress address;
  ASSERT_TRUE(ParseWebAddress("https://forum.example-1.test/t/42?page=2&x=%2F", &address));
  EXPECT_TRUE(address.secure);
  EXPECT_EQ(address.host, "forum.example-1.test");
  EXPECT_EQ(address.port, 443);
  EXPECT_EQ(address.location, "/t/42?page=2&x=%2F");
  ASSERT_TRUE(ParseWebAddress("http://127.0.0.1:8080", &address));
  EXPECT_FALSE(address.secure);
  EXPECT_EQ(address.port, 8080);
  EXPECT_EQ(address.location, "");
  ASSERT_TRUE(ParseWebAddress("http://h/", &address));
  EXPECT_EQ(address.port, 80);
  for (const char* pBad : {"",
                           "forum.example.test",
                           "ftp://h/",
                           "HTTPS://h/",
                           "https://",
                           "https:///x",
                           "https://h:/",
                           "https://h:0/",
                           "https://h:65536/",
                           "https://u@h/",
                           "https://h/a b",
                           "https://h/a#f",
                           "https://h/%zz",
                           "https://h/%2",
                           "https://h?q",
                           "javascript:alert(1)",
                           "https://h/\x01",
                           "https://h/\"x",
                           "https://[::1]/",
                           "https://h/\xC3\xA4"}) {
    address.host = "kept";
    EXPECT_FALSE(ParseWebAddress(pBad, &address)) << pBad;
    EXPECT_EQ(address.host, "kept");
  }
  EXPECT_FALSE(ParseWebAddress(nullptr, &address));
}

class ForumAddressTest : public test_common::SandboxTest {
 protected:
  ForumAddressTest() : SandboxTest("forum-address") {}
  void TearDown() override {
    unsetenv("LUMIDOCK_FORUM_URL");
    SandboxTest::TearDown();
  }
};

// The built-in default, an override, and a bad override logged with the default kept.
TEST_F(ForumAddressTest, OverrideIsTakenOnlyWhenItIsAWebAddress) {
  unsetenv("LUMIDOCK_FORUM_URL");
  const std::u16string builtIn = ForumAddress();
  EXPECT_EQ(builtIn, win32::Utf8ToUtf16(LUMIDOCK_FORUM_URL_DEFAULT));
  WebAddress address;
  EXPECT_TRUE(ParseWebAddress(LUMIDOCK_FORUM_URL_DEFAULT, &address));

  setenv("LUMIDOCK_FORUM_URL", "http://127.0.0.1:9/forum", 1);
  EXPECT_EQ(ForumAddress(), u"http://127.0.0.1:9/forum");
  setenv("LUMIDOCK_FORUM_URL", "file:///etc/passwd", 1);
  EXPECT_EQ(ForumAddress(), builtIn);
  const std::string log =
      test_files::ReadWholeFile(test_files::PosixFromWindows(BasaltTesting::LogPath()));
  EXPECT_NE(log.find("LUMIDOCK_FORUM_URL=\"file:///etc/passwd\" is not an http or https address"),
            std::string::npos)
      << log;
}

class WebPagesTest : public test_common::SandboxTest {
 protected:
  WebPagesTest() : SandboxTest("web-pages") {}
  void TearDown() override {
    for (const char* pName : {"LUMIDOCK_WEB_SITE", "LUMIDOCK_LOGIN_SITE", "LUMIDOCK_APPID"}) {
      unsetenv(pName);
    }
    SandboxTest::TearDown();
  }
};

// The pages are built from the sites and the application id; a site with a path, or an id
// with characters a query would have to carry escaped, is refused and the built-in kept.
TEST_F(WebPagesTest, PagesComeFromStrictSitesAndAnEscapedStartPage) {
  const std::u16string web = win32::Utf8ToUtf16(LUMIDOCK_WEB_SITE_DEFAULT);
  EXPECT_EQ(DownloadPageAddress(), web + u"/tidepool-download.html");
  EXPECT_EQ(InstallPageAddress(), web + u"/tidepool/download.html");

  setenv("LUMIDOCK_WEB_SITE", "http://127.0.0.1:8123/", 1);
  setenv("LUMIDOCK_LOGIN_SITE", "https://login.example.test:4443", 1);
  setenv("LUMIDOCK_APPID", "wx-1.2_3", 1);
  EXPECT_EQ(DownloadPageAddress(), u"http://127.0.0.1:8123/tidepool-download.html");
  EXPECT_EQ(InstallPageAddress(), u"http://127.0.0.1:8123/tidepool/download.html");
  EXPECT_EQ(LoginPageAddress(),
            u"https://login.example.test:4443/cgi-bin/login?appid=wx-1.2_3"
            u"&s_url=http%3A%2F%2F127.0.0.1%3A8123%2Ftidepool%2Fdownload.html");

  setenv("LUMIDOCK_WEB_SITE", "http://127.0.0.1:8123/sub", 1);
  setenv("LUMIDOCK_APPID", "a&s_url=evil", 1);
  EXPECT_EQ(InstallPageAddress(), web + u"/tidepool/download.html");
  const std::u16string start = LoginPageAddress();
  EXPECT_NE(start.find(u"?appid=" + win32::Utf8ToUtf16(LUMIDOCK_APPID_DEFAULT) + u"&s_url="),
            std::u16string::npos)
      << win32::Utf16ToUtf8(start);
  const std::string log =
      test_files::ReadWholeFile(test_files::PosixFromWindows(BasaltTesting::LogPath()));
  EXPECT_NE(
      log.find("LUMIDOCK_WEB_SITE=\"http://127.0.0.1:8123/sub\" is not an http or https site"),
      std::string::npos)
      << log;
  EXPECT_NE(log.find("LUMIDOCK_APPID=\"a&s_url=evil\" is not an application id"),
            std::string::npos);
}

// A browser reports an address with the host in lower case, without the scheme's own port and
// with "/" for an empty path: such an address and the configured one name the same page.
TEST(WebAddress, SamePageAsABrowserReportsIt) {
  EXPECT_TRUE(IsSameWebAddress(u"http://127.0.0.1:80/tidepool/download.html",
                               u"http://127.0.0.1/tidepool/download.html"));
  EXPECT_TRUE(IsSameWebAddress(u"https://WWW.Example.test:443", u"https://www.example.test/"));
  EXPECT_TRUE(
      IsSameWebAddress(u"http://h/Tidepool/Download.html", u"http://h/tidepool/download.html"));
  EXPECT_FALSE(IsSameWebAddress(u"http://h:8080/tidepool/download.html",
                                u"http://h/tidepool/download.html"));
  EXPECT_FALSE(
      IsSameWebAddress(u"https://h/tidepool/download.html", u"http://h/tidepool/download.html"));
  EXPECT_FALSE(
      IsSameWebAddress(u"http://h/tidepool/download.html?x=1", u"http://h/tidepool/download.html"));
  EXPECT_FALSE(IsSameWebAddress(u"about:blank", u"about:blank"));
  EXPECT_FALSE(IsSameWebAddress(u"", u""));
}

}  // namespace
