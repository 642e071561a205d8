#include "win32/profile.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "win32/strings.h"

using namespace win32;

namespace {

class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/lumidock-profile-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_folder = pattern;
    m_file = Utf8ToUtf16(m_folder + "/Orbalyn.dat");
    // The system names files in Windows form.
    for (char16_t& c : m_file) {
      if (c == u'/') c = u'\\';
    }
  }
  void TearDown() override { std::filesystem::remove_all(m_folder); }

  void WriteRaw(const std::string& content) {
    std::ofstream(m_folder + "/Orbalyn.dat", std::ios::binary) << content;
  }
  std::string ReadRaw() {
    std::ifstream in(m_folder + "/Orbalyn.dat", std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::u16string Get(const char16_t* section, const char16_t* key, const char16_t* def = u"") {
    WCHAR buffer[260];
    DWORD n = GetPrivateProfileStringW(section, key, def, buffer, 260, m_file.c_str());
    return std::u16string(buffer, n);
  }

  std::string m_folder;
  std::u16string m_file;
};

// Reading: case-insensitive names, trimming, quotes, comments, the first duplicate wins.
TEST_F(ProfileTest, ReadingFollowsTheWindowsRules) {
  WriteRaw(
      "; written by hand\r\n"
      "[Basic]\r\n"
      "  DeviceId =  42  \r\n"
      "Quoted=\"  spaced  \"\r\n"
      "Single='x'\n"
      "Mismatched=\"x'\r\n"
      "dup=first\r\n"
      "dup=second\r\n"
      ";Hidden=1\r\n"
      "Empty=\r\n"
      "[ basic ]\r\n"
      "Other=second section\r\n");
  EXPECT_EQ(Get(u"BASIC", u"deviceid"), u"42");
  EXPECT_EQ(Get(u"Basic", u"Quoted"), u"  spaced  ");
  EXPECT_EQ(Get(u"Basic", u"Single"), u"x");
  EXPECT_EQ(Get(u"Basic", u"Mismatched"), u"\"x'");
  EXPECT_EQ(Get(u"Basic", u"DUP"), u"first");
  EXPECT_EQ(Get(u"Basic", u"Hidden", u"none"), u"none");
  EXPECT_EQ(Get(u"Basic", u"Empty", u"none"), u"");
  EXPECT_EQ(Get(u"Basic", u"Other", u"none"), u"none");
  EXPECT_EQ(Get(u"Basic", u"Missing", u"def  "), u"def");

  WCHAR buffer[16];
  EXPECT_EQ(GetPrivateProfileStringW(u"Basic", u"DeviceId", u"0", buffer, 16,
                                     u"\\no\\such\\folder\\x.dat"),
            1u);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(std::u16string(buffer), u"0");
}

// A value that does not fit is cut to size-1 and the result is size-1; lists end in two NULs.
TEST_F(ProfileTest, TruncationReturnsSizeMinusOne) {
  WriteRaw("[Basic]\r\nWorkDir=abcdefghij\r\nB=1\r\n[Second]\r\n");
  WCHAR buffer[11];
  EXPECT_EQ(GetPrivateProfileStringW(u"Basic", u"WorkDir", u"", buffer, 11, m_file.c_str()), 10u);
  EXPECT_EQ(std::u16string(buffer), u"abcdefghij");
  EXPECT_EQ(GetPrivateProfileStringW(u"Basic", u"WorkDir", u"", buffer, 5, m_file.c_str()), 4u);
  EXPECT_EQ(std::u16string(buffer), u"abcd");
  EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);

  std::string path = Utf16ToUtf8(m_file);
  char narrow[33];
  EXPECT_EQ(GetPrivateProfileStringA("Basic", "WorkDir", "", narrow, 4, path.c_str()), 3u);
  EXPECT_STREQ(narrow, "abc");

  WCHAR list[32];
  DWORD n = GetPrivateProfileStringW(u"Basic", nullptr, u"", list, 32, m_file.c_str());
  EXPECT_EQ(std::u16string(list, n), std::u16string(u"WorkDir\0B\0", 10));
  EXPECT_EQ(list[n], 0);
  n = GetPrivateProfileStringW(nullptr, nullptr, u"", list, 32, m_file.c_str());
  EXPECT_EQ(std::u16string(list, n), std::u16string(u"Basic\0Second\0", 13));
  n = GetPrivateProfileStringW(u"Basic", nullptr, u"", list, 6, m_file.c_str());
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(list[4], 0);
  EXPECT_EQ(list[5], 0);
}

// Integers: sign and leading digits; present but not numeric is 0, missing is the default.
TEST_F(ProfileTest, IntegersParseLeadingDigits) {
  WriteRaw("[Basic]\r\nDeviceCount=3\r\nNeg=-5\r\nMixed=12abc\r\nWord=abc\r\nEmpty=\r\n");
  EXPECT_EQ(GetPrivateProfileIntW(u"Basic", u"DeviceCount", 0, m_file.c_str()), 3u);
  EXPECT_EQ(static_cast<INT>(GetPrivateProfileIntW(u"Basic", u"Neg", 0, m_file.c_str())), -5);
  EXPECT_EQ(GetPrivateProfileIntW(u"Basic", u"Mixed", 0, m_file.c_str()), 12u);
  EXPECT_EQ(GetPrivateProfileIntW(u"Basic", u"Word", 9, m_file.c_str()), 0u);
  EXPECT_EQ(GetPrivateProfileIntW(u"Basic", u"Empty", 9, m_file.c_str()), 0u);
  EXPECT_EQ(GetPrivateProfileIntW(u"Basic", u"Missing", 7, m_file.c_str()), 7u);
  std::string path = Utf16ToUtf8(m_file);
  EXPECT_EQ(GetPrivateProfileIntA("Basic", "DeviceCount", 0, path.c_str()), 3u);
}

// Writing: create the file (never its folder), replace in place, append keys to their section
// and new sections at the end, delete keys and sections.
TEST_F(ProfileTest, WritesKeepOrderAndPlace) {
  EXPECT_FALSE(WritePrivateProfileStringW(u"Basic", u"DeviceId", u"1",
                                          (m_file + u"missing\\x.dat").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  WriteRaw("; keep me\r\n[Basic]\r\nDeviceId=0\r\n\r\n[Tail]\r\nT=1\r\n");
  ASSERT_TRUE(WritePrivateProfileStringW(u"Basic", u"GUID", u"abc", m_file.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringW(u"basic", u"deviceid", u"7", m_file.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringW(u"PhotoDevice0", u"Id", u"5", m_file.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringW(u"PhotoDevice0", u"Key", u"k", m_file.c_str()));
  EXPECT_EQ(ReadRaw(),
            "; keep me\r\n[Basic]\r\nDeviceId=7\r\nGUID=abc\r\n\r\n[Tail]\r\nT=1\r\n"
            "[PhotoDevice0]\r\nId=5\r\nKey=k\r\n");

  ASSERT_TRUE(WritePrivateProfileStringW(u"Basic", u"GUID", nullptr, m_file.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringW(u"Tail", nullptr, nullptr, m_file.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringW(u"Absent", nullptr, nullptr, m_file.c_str()));
  EXPECT_EQ(ReadRaw(),
            "; keep me\r\n[Basic]\r\nDeviceId=7\r\n\r\n[PhotoDevice0]\r\nId=5\r\nKey=k\r\n");

  // A new file, through the narrow variant.
  std::string fresh = m_folder + "/GlobalMgr.db";
  ASSERT_TRUE(WritePrivateProfileStringA("Profile", "config1", "0123", fresh.c_str()));
  char value[33];
  EXPECT_EQ(GetPrivateProfileStringA("profile", "CONFIG1", "", value, 33, fresh.c_str()), 4u);
  EXPECT_STREQ(value, "0123");
  // Deleting from a file that does not exist creates nothing.
  std::string none = m_folder + "/none.ini";
  EXPECT_TRUE(WritePrivateProfileStringA("S", "K", nullptr, none.c_str()));
  EXPECT_FALSE(std::filesystem::exists(none));
}

// Line breaks in a written value (or key) cannot add keys or sections.
TEST_F(ProfileTest, LineBreaksInValuesCannotAddKeysOrSections) {
  ASSERT_TRUE(WritePrivateProfileStringW(u"PhotoDevice0", u"Name",
                                         u"x\r\n[Basic]\r\nWorkDir=\\somewhere\nDeviceCount=99",
                                         m_file.c_str()));
  ASSERT_TRUE(
      WritePrivateProfileStringW(u"PhotoDevice0", u"K\r\nDeviceCount", u"5", m_file.c_str()));
  EXPECT_EQ(Get(u"Basic", u"WorkDir", u"unset"), u"unset");
  EXPECT_EQ(GetPrivateProfileIntW(u"PhotoDevice0", u"DeviceCount", 0, m_file.c_str()), 0u);
  EXPECT_EQ(Get(u"PhotoDevice0", u"Name"), u"x  [Basic]  WorkDir=\\somewhere DeviceCount=99");
  WCHAR list[64];
  DWORD n = GetPrivateProfileStringW(nullptr, nullptr, u"", list, 64, m_file.c_str());
  EXPECT_EQ(std::u16string(list, n), std::u16string(u"PhotoDevice0\0", 13));
}

// Text is UTF-8 on disk and survives both variants, characters outside the BMP included.
TEST_F(ProfileTest, NonAsciiRoundTrips) {
  const std::u16string name = u"\u7167\u7247 \U0001F4F7 phone";
  ASSERT_TRUE(WritePrivateProfileStringW(u"Ger\u00E4t", u"Name", name.c_str(), m_file.c_str()));
  EXPECT_EQ(Get(u"GER\u00C4T", u"name"), name);
  EXPECT_NE(ReadRaw().find(Utf16ToUtf8(name)), std::string::npos);
  std::string path = Utf16ToUtf8(m_file);
  char narrow[64];
  DWORD n = GetPrivateProfileStringA("Ger\xC3\xA4t", "Name", "", narrow, 64, path.c_str());
  EXPECT_EQ(std::string(narrow, n), Utf16ToUtf8(name));

  // A BOM at the start does not hide the first section.
  WriteRaw("\xEF\xBB\xBF[Basic]\r\nDeviceId=3\r\n");
  EXPECT_EQ(Get(u"Basic", u"DeviceId"), u"3");
}

// A reader never sees a half-written file, however often the writer replaces it.
TEST_F(ProfileTest, ReadersNeverSeeATornFile) {
  ASSERT_TRUE(WritePrivateProfileStringW(u"Basic", u"DeviceId", u"1", m_file.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringW(u"Tail", u"End", u"1", m_file.c_str()));
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    const std::string path = m_folder + "/Orbalyn.dat";
    while (!done) {
      std::string content;
      int fd = open(path.c_str(), O_RDONLY);
      if (fd < 0) {
        ++torn;
        continue;
      }
      char buffer[65536];
      ssize_t got;
      while ((got = read(fd, buffer, sizeof buffer)) > 0) content.append(buffer, got);
      close(fd);
      if (content.find("[Basic]\r\n") != 0 ||
          content.find("[Tail]\r\nEnd=1\r\n") == std::string::npos)
        ++torn;
    }
  });
  for (int i = 0; i < 300; ++i) {
    std::u16string value(static_cast<size_t>(1 + (i % 7) * 3000),
                         static_cast<char16_t>(u'a' + i % 26));
    ASSERT_TRUE(WritePrivateProfileStringW(u"Basic", u"WorkDir", value.c_str(), m_file.c_str()));
  }
  done = true;
  reader.join();
  EXPECT_EQ(torn.load(), 0);
  // No temporary file is left behind.
  int files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(m_folder)) ++files;
  EXPECT_EQ(files, 1);
}

}  // namespace
