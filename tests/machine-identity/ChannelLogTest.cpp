// The channel log: line shape, rotation at a channel's first use, and silence unless the
// core-log switch read at load is on.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "ChannelLog.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;

class ChannelLogTest : public mitest::SandboxTest {
 protected:
  // Each case is a "new process" for the writer: folder and paths are settled again.
  void SetUp() override {
    SandboxTest::SetUp();
    CChannelLog::ResetForTesting();
  }
  void TearDown() override {
    CChannelLog::ResetForTesting();
    SandboxTest::TearDown();
  }
  // "[yyyymmdd hh:mm:ss mmm]: " followed by `text`.
  static bool IsLine(const std::string& line, const std::string& text) {
    const std::string shape = "[dddddddd dd:dd:dd ddd]: ";
    if (line.size() != shape.size() + text.size()) return false;
    for (size_t i = 0; i < shape.size(); ++i) {
      bool ok = shape[i] == 'd' ? (line[i] >= '0' && line[i] <= '9') : line[i] == shape[i];
      if (!ok) return false;
    }
    return line.compare(shape.size(), std::string::npos, text) == 0;
  }
  std::string LogPath() const { return LogFolder() + "/Common.log"; }
  std::string BackupPath() const { return LogFolder() + "/Common_backup.log"; }
  void MakeFileOfSize(const std::string& path, uintmax_t size) {
    mitest::WriteFileBytes(path, "old");
    fs::resize_file(path, size);
  }
};

TEST_F(ChannelLogTest, LinesCarryTheTimePrefixAndOneNewline) {
  WriteChannelLog(kChannelCommon, u"value %d of %s", 42, u"\u65e0\u7ebf");
  WriteChannelLog(kChannelCommon, u"already ended\n");
  WriteChannelLog(8, u"unknown channel");
  std::string content = mitest::ReadFileBytes(LogPath());
  size_t firstEnd = content.find('\n') + 1;
  EXPECT_TRUE(IsLine(content.substr(0, firstEnd), "value 42 of \xE6\x97\xA0\xE7\xBA\xBF\n"))
      << content;
  EXPECT_TRUE(IsLine(content.substr(firstEnd), "already ended\n")) << content;
  EXPECT_EQ(std::distance(fs::directory_iterator(LogFolder()), fs::directory_iterator()), 1);
}

// Rotation: only above 10485760 bytes, only at the first use in a process, replacing an old
// backup.
TEST_F(ChannelLogTest, RotatesAnOversizedFileAtFirstUseOnly) {
  MakeFileOfSize(LogPath(), CChannelLog::kRotateSize);
  WriteChannelLog(kChannelCommon, u"kept");
  EXPECT_FALSE(fs::exists(BackupPath()));
  EXPECT_GT(fs::file_size(LogPath()), CChannelLog::kRotateSize);

  // Now one byte and more over: still not rotated within this "process".
  WriteChannelLog(kChannelCommon, u"still kept");
  EXPECT_FALSE(fs::exists(BackupPath()));

  uintmax_t oversized = fs::file_size(LogPath());
  mitest::WriteFileBytes(BackupPath(), "previous backup");
  CChannelLog::ResetForTesting();
  WriteChannelLog(kChannelCommon, u"fresh");
  EXPECT_EQ(fs::file_size(BackupPath()), oversized);
  std::string content = mitest::ReadFileBytes(LogPath());
  EXPECT_NE(content.find("]: fresh\n"), std::string::npos);
  EXPECT_LT(content.size(), 64u);
}

TEST_F(ChannelLogTest, RotatesOneByteOverTheLimit) {
  MakeFileOfSize(LogPath(), CChannelLog::kRotateSize + 1);
  WriteChannelLog(kChannelCommon, u"x");
  EXPECT_EQ(fs::file_size(BackupPath()), CChannelLog::kRotateSize + 1);
}

// The identity code writes only while EnableCoreLog is set, as read when the image loads; with
// it off not even the log folder appears.
TEST_F(ChannelLogTest, IdentityLogsOnlyWhenEnableCoreLogIsSet) {
  ASSERT_EQ(mitest::RunHelper({"guid"}, Root()).size(), 32u);
  EXPECT_FALSE(fs::exists(Root() + "/common-appdata/Corvane"));

  ASSERT_EQ(mitest::RunHelper({"set-core-log", "1"}, Root()), "ok");
  EXPECT_EQ(mitest::RunHelper({"core-log-switch"}, Root()), "1");
  ASSERT_EQ(mitest::RunHelper({"guid"}, Root()).size(), 32u);
  std::string content = mitest::ReadFileBytes(LogPath());
  EXPECT_NE(content.find("]: GetCacheGuid success, return\n"), std::string::npos) << content;

  fs::remove_all(Root() + "/appdata");
  ASSERT_EQ(mitest::RunHelper({"guid"}, Root()).size(), 32u);
  content = mitest::ReadFileBytes(LogPath());
  EXPECT_NE(content.find("]: Get MAC success, Get GUID from MAC & PhysicsDrive\n"),
            std::string::npos)
      << content;

  ASSERT_EQ(mitest::RunHelper({"set-core-log", "0"}, Root()), "ok");
  fs::remove_all(Root() + "/common-appdata");
  ASSERT_EQ(mitest::RunHelper({"guid"}, Root()).size(), 32u);
  EXPECT_FALSE(fs::exists(Root() + "/common-appdata/Corvane"));
}

}  // namespace
