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

}  // namespace
