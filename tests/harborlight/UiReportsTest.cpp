// The user interface's statistics reports as they reach the report library's spool: every record
// byte for byte after the machine record, and the refusals that send nothing.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "../common/ReportSpool.h"
#include "../common/SandboxTest.h"
#include "UiReports.h"
#include "win32/strings.h"

namespace {

using test_common::ReadSpool;
using test_common::SpoolFieldReader;
using test_common::SpoolRecord;
using test_common::SpoolReportId;
using test_common::UiRecordOf;

std::string Bytes(std::initializer_list<uint8_t> bytes) {
  return std::string(bytes.begin(), bytes.end());
}

class UiReportsTest : public test_common::SandboxTest {
 protected:
  UiReportsTest() : SandboxTest("ui-reports") {}

  void SetUp() override {
    SandboxTest::SetUp();
    if (!std::filesystem::exists(std::string(LUMIDOCK_BIN_DIR) + "/dadovo.so")) {
      GTEST_SKIP() << "dadovo.so not built";
    }
    const std::u16string library =
        win32::Utf8ToUtf16(std::string(LUMIDOCK_BIN_DIR) + "/dadovo.dll");
    ASSERT_EQ(GetReportClientMgr()->Init(library.c_str(), win32::TRUE), 1);
  }
  void TearDown() override {
    while (GetReportClientMgr()->UserCountForTesting() > 0) GetReportClientMgr()->UnInit(0);
    SandboxTest::TearDown();
  }
  std::vector<SpoolRecord> Spool() const { return ReadSpool(Root() + "/statistics/spool.bin"); }
};

TEST_F(UiReportsTest, EachRecordArrivesBigEndianAfterTheMachineRecord) {
  // The program builds its machine record only when it asks for it; until then nothing goes.
  EXPECT_EQ(
      SendUiReport(CEntryReport{CEntryReport::kSourceMainWindow, CEntryReport::kEventFirstPage}),
      0);
  EXPECT_TRUE(Spool().empty());
  ASSERT_TRUE(GetReportClientMgr()->EnsureRecord());

  EXPECT_EQ(SendUiReport(CMainWndShowReport{CMainWndShowReport::kKindBackingUp, 0, 0, 3}), 1);
  EXPECT_EQ(SendUiReport(CEntryReport{1, CEntryReport::kEventFirstPage}), 1);
  EXPECT_EQ(SendUiReport(CPhoneBoundReport{1, 0x0102030405060708, "\xE6\x89\x8B\xE6\x9C\xBA", 0}),
            1);
  EXPECT_EQ(SendUiReport(CExitSurveyReport{3, "", ""}), 1);
  EXPECT_EQ(SendUiReport(CQrButtonReport{CQrButtonReport::kInstall}), 1);
  EXPECT_EQ(SendUiReport(CUploadSpeedReport{0xFFFFFFFF, 1, 2}), 1);

  const std::vector<SpoolRecord> records = Spool();
  ASSERT_EQ(records.size(), 6u);
  const uint16_t ids[] = {5889, 5890, 5892, 5924, 5929, 5946};
  const std::string expected[] = {
      Bytes({0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3}),
      Bytes({0, 0, 0, 1, 0, 0, 0, 1}),
      Bytes({0, 0,    0,    1,    1,    2,    3,    4, 5, 6, 7, 8, 0,
             7, 0xE6, 0x89, 0x8B, 0xE6, 0x9C, 0xBA, 0, 0, 0, 0, 0}),
      Bytes({0, 0, 0, 3, 0, 1, 0, 0, 1, 0}),  // empty strings: a length of 1 and a lone NUL
      Bytes({0, 0, 0, 2}),
      Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0, 1, 0, 0, 0, 2}),
  };
  for (size_t i = 0; i < records.size(); ++i) {
    SCOPED_TRACE(ids[i]);
    EXPECT_EQ(SpoolReportId(records[i]), ids[i]);
    EXPECT_EQ(UiRecordOf(records[i]), expected[i]);
  }
  // The same machine record in each.
  EXPECT_EQ(records[0].body.size() - expected[0].size(),
            records[5].body.size() - expected[5].size());
}

// Refusals send nothing at all: a report switched off, a client gone, a record too long for
// its block (rather than a cut one).
TEST_F(UiReportsTest, RefusedReportsSendNothing) {
  ASSERT_TRUE(GetReportClientMgr()->EnsureRecord());
  GetReportClientMgr()->SetReportEnabledForTesting(CQrButtonReport::kReportId, false);
  EXPECT_EQ(SendUiReport(CQrButtonReport{CQrButtonReport::kDownload}), 0);
  EXPECT_EQ(SendUiReport(CExitSurveyReport{1, std::string(70000, 't'), "c"}), 0);
  EXPECT_EQ(SendUiReport(CExitSurveyReport{1, std::string(40000, 't'), std::string(40000, 'c')}),
            0);
  EXPECT_EQ(SendUiReport(CPhoneBoundReport{1, 7, std::string(65530, 'n'), 0}), 0);
  EXPECT_TRUE(Spool().empty());

  // The longest name that fits still goes, whole.
  const std::string longName(65000, 'n');
  ASSERT_EQ(SendUiReport(CPhoneBoundReport{1, 7, longName, 0}), 1);
  std::vector<SpoolRecord> records = Spool();
  ASSERT_EQ(records.size(), 1u);
  const std::string uiRecord = UiRecordOf(records[0]);
  SpoolFieldReader reader(uiRecord);
  EXPECT_EQ(reader.Take(4), 1u);
  EXPECT_EQ(reader.Take(8), 7u);
  EXPECT_EQ(reader.TakeString(), longName);
  EXPECT_EQ(reader.Take(4), 0u);

  GetReportClientMgr()->UnInit(0);
  EXPECT_EQ(SendUiReport(CQrButtonReport{CQrButtonReport::kInstall}), 0);
  EXPECT_EQ(Spool().size(), 1u);
}

}  // namespace
