// The statistics client: user counting, the enable mask, and reports arriving in the report
// library's spool exactly as written.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "../common/ReportSpool.h"
#include "Common/LogHook.h"
#include "Md5.h"
#include "ReportClientMgr.h"
#include "TestSupport.h"
#include "win32/module.h"

namespace {

struct SampleRecord {
  bool Serialize(CPacketBuffer* pBuffer) const {
    return pBuffer->WriteUInt32(7) && pBuffer->WriteString("") && pBuffer->WriteString("abc") &&
           pBuffer->WriteUInt64(0x0102030405060708ull);
  }
};

using Reader = test_common::SpoolFieldReader;
using test_common::ReadSpool;
using test_common::SpoolRecord;

bool IsLowerHex(const std::string& text) {
  return text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

class ReportClientMgrTest : public mitest::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    m_libraryPath = mitest::WindowsPath(std::string(LUMIDOCK_BIN_DIR) + "/dadovo.dll");
    m_haveLibrary = std::filesystem::exists(std::string(LUMIDOCK_BIN_DIR) + "/dadovo.so");
  }
  void TearDown() override {
    // Every case leaves the process-wide client without users, so the next starts afresh.
    while (Mgr()->UserCountForTesting() > 0) Mgr()->UnInit(0);
    SandboxTest::TearDown();
  }
  static CReportClientMgr* Mgr() { return GetReportClientMgr(); }
  std::string SpoolPath() const { return Root() + "/statistics/spool.bin"; }

  std::u16string m_libraryPath;
  bool m_haveLibrary = false;
};

// The local mask switches on exactly ids 5000 to 6279, and only while the client is set up.
TEST_F(ReportClientMgrTest, EnableMaskEdges) {
  EXPECT_FALSE(Mgr()->IsReportEnabled(5000));
  EXPECT_EQ(Mgr()->Init(u"\\nonexistent\\dadovo.dll", win32::TRUE), 0);
  EXPECT_FALSE(Mgr()->IsInited());
  EXPECT_FALSE(Mgr()->IsReportEnabled(4999));
  EXPECT_TRUE(Mgr()->IsReportEnabled(5000));
  EXPECT_TRUE(Mgr()->IsReportEnabled(6279));
  EXPECT_FALSE(Mgr()->IsReportEnabled(6280));
  EXPECT_FALSE(Mgr()->IsReportEnabled(0xFFFFFFFFu));
  EXPECT_EQ(Mgr()->UnInit(0), 1);  // a failed Init still counted its user
  EXPECT_FALSE(Mgr()->IsReportEnabled(5000));
  EXPECT_EQ(Mgr()->UnInit(0), 0);  // no user left
}

// Users: every Init needs its UnInit; the last one shuts the library down in a program.
TEST_F(ReportClientMgrTest, LibraryShutsDownAtTheLastUnInit) {
  if (!m_haveLibrary) GTEST_SKIP() << "dadovo.so not built";
  EXPECT_EQ(Mgr()->Init(m_libraryPath.c_str(), win32::TRUE), 1);
  EXPECT_EQ(Mgr()->Init(u"", win32::TRUE), 1);  // already bound: the path is not used
  EXPECT_EQ(Mgr()->UserCountForTesting(), 2);

  // The library's own view: it hands out clients only while it has been told Init. The test
  // holds a reference of its own so the exports stay callable after the client lets go.
  win32::HMODULE library = win32::LoadLibraryW(m_libraryPath.c_str());
  ASSERT_NE(library, nullptr);
  auto pCreate = reinterpret_cast<win32::DadovoCreateIReportClientFn>(
      win32::GetProcAddress(library, "CreateIReportClient"));
  auto pRelease = reinterpret_cast<win32::DadovoReleaseIReportClientFn>(
      win32::GetProcAddress(library, "ReleaseIReportClient"));
  ASSERT_TRUE(pCreate && pRelease);
  auto libraryRunning = [&] {
    win32::IReportClient* pClient = pCreate("h", "h", 443, 1);
    if (pClient) pRelease(pClient);
    return pClient != nullptr;
  };

  EXPECT_EQ(Mgr()->UnInit(0), 0);
  EXPECT_TRUE(Mgr()->IsInited());
  EXPECT_TRUE(libraryRunning());
  // This test program is the main executable, so its copy gives the library its UnInit.
  EXPECT_EQ(Mgr()->UnInit(0), 1);
  EXPECT_FALSE(Mgr()->IsInited());
  EXPECT_FALSE(libraryRunning());
  EXPECT_EQ(Mgr()->UnInit(0), 0);

  EXPECT_EQ(Mgr()->Init(m_libraryPath.c_str(), win32::TRUE), 1);  // starts afresh
  EXPECT_TRUE(libraryRunning());
  win32::FreeLibrary(library);
}

// A report goes out as header, machine record and data block, byte for byte; refusals send
// nothing.
TEST_F(ReportClientMgrTest, ReportArrivesInSpoolByteExact) {
  if (!m_haveLibrary) GTEST_SKIP() << "dadovo.so not built";
  ASSERT_EQ(Mgr()->Init(m_libraryPath.c_str(), win32::TRUE), 1);
  EXPECT_EQ(Mgr()->SendReport(SampleRecord(), kReportBind, kReportModeSend), 0);  // no record yet
  ASSERT_TRUE(Mgr()->EnsureRecord());
  EXPECT_EQ(Mgr()->SendReport(SampleRecord(), kReportBind, 0), 0);
  EXPECT_EQ(Mgr()->SendReport(SampleRecord(), 6280, kReportModeSend), 0);
  EXPECT_FALSE(std::filesystem::exists(SpoolPath()));
  ASSERT_EQ(Mgr()->SendReport(SampleRecord(), kReportBind, kReportModeSend), 1);

  std::vector<SpoolRecord> records = ReadSpool(SpoolPath());
  ASSERT_EQ(records.size(), 1u);
  const uint8_t header[18] = {0x5C, 0xD8, 0, 0, 1, 0, 0x04, 0x17, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(records[0].header, std::string(reinterpret_cast<const char*>(header), 18));

  std::string guidBytes = mitest::ReadFileBytes(Root() + "/statistics/guid.bin");
  ASSERT_EQ(guidBytes.size(), 16u);
  Reader reader(records[0].body);
  EXPECT_EQ(reader.TakeString(),
            ZyMacID::CMd5::ToHex(reinterpret_cast<const uint8_t*>(guidBytes.data())));
  EXPECT_EQ(reader.Take(8), 0x00010002275100C9ull);  // program version
  EXPECT_EQ(reader.Take(4), 0u);
  EXPECT_EQ(reader.Take(8), 0u);  // no account lookup asked for
  reader.Take(2 * 4);             // system version and service pack
#if defined(__x86_64__)
  EXPECT_EQ(reader.Take(2), 9u);  // AMD64
#else
  reader.Take(2);
#endif
  EXPECT_NE(reader.Take(2), 0u);  // a language id
  EXPECT_EQ(reader.Take(8), 0u);  // no browser version
  EXPECT_EQ(reader.Take(8), 0u);
  EXPECT_EQ(reader.Take(8), 0u);
  std::string hardwareId = reader.TakeString();
  EXPECT_EQ(hardwareId.size(), 32u);
  EXPECT_TRUE(IsLowerHex(hardwareId));
  const uint8_t data[] = {0, 0, 0, 7, 0, 1, 0, 0, 4, 'a', 'b', 'c', 0, 1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(reader.Rest(), std::string(reinterpret_cast<const char*>(data), sizeof(data)));
}

// Counter tables are flushed at UnInit as reports 5005 and 5006, one 8-byte pair per item.
TEST_F(ReportClientMgrTest, CountersFlushAtUnInit) {
  if (!m_haveLibrary) GTEST_SKIP() << "dadovo.so not built";
  ASSERT_EQ(Mgr()->Init(m_libraryPath.c_str(), win32::TRUE), 1);
  ASSERT_TRUE(Mgr()->EnsureRecord());
  Mgr()->AddCounterForTesting(0, 7, 3);
  Mgr()->AddCounterForTesting(1, 0x01020304, 5);
  Mgr()->AddCounterForTesting(1, 2, 1);
  ASSERT_EQ(Mgr()->UnInit(0), 1);

  std::vector<SpoolRecord> records = ReadSpool(SpoolPath());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(static_cast<uint8_t>(records[0].header[6]), 0x8D);  // 5005 = 0x138D
  EXPECT_EQ(static_cast<uint8_t>(records[1].header[6]), 0x8E);  // 5006
  const uint8_t pairs1[] = {0, 0, 0, 7, 0, 0, 0, 3};
  const uint8_t pairs2[] = {0, 0, 0, 2, 0, 0, 0, 1, 1, 2, 3, 4, 0, 0, 0, 5};
  std::string body1 = records[0].body;
  std::string body2 = records[1].body;
  EXPECT_EQ(body1.substr(body1.size() - sizeof(pairs1)),
            std::string(reinterpret_cast<const char*>(pairs1), sizeof(pairs1)));
  EXPECT_EQ(body2.substr(body2.size() - sizeof(pairs2)),
            std::string(reinterpret_cast<const char*>(pairs2), sizeof(pairs2)));
  EXPECT_EQ(body1.size() - sizeof(pairs1), body2.size() - sizeof(pairs2));  // same machine record
}

// A record too long for its block is not sent cut short: nothing reaches the spool, the caller
// hears 0, and the log says why.
TEST_F(ReportClientMgrTest, RecordThatDoesNotFitIsNotSent) {
  if (!m_haveLibrary) GTEST_SKIP() << "dadovo.so not built";
  static std::string s_lines;
  s_lines.clear();
  SetCommonLogWriter([](const char*, const char* pMessage) { s_lines += pMessage; });
  struct LongRecord {
    size_t length;
    bool Serialize(CPacketBuffer* pBuffer) const {
      return pBuffer->WriteUInt32(1) && pBuffer->WriteString(std::string(length, 'x'));
    }
  };
  ASSERT_EQ(Mgr()->Init(m_libraryPath.c_str(), win32::TRUE), 1);
  ASSERT_TRUE(Mgr()->EnsureRecord());
  EXPECT_EQ(Mgr()->SendReport(LongRecord{65529}, kReportExitSurvey, kReportModeSend), 0);
  SetCommonLogWriter(nullptr);
  EXPECT_FALSE(std::filesystem::exists(SpoolPath()));
  EXPECT_NE(s_lines.find("report 5924: record does not fit 65536 bytes, not sent"),
            std::string::npos)
      << s_lines;
  // The longest that fits (4 + 2 + 65528 + 1 bytes, the block's last byte unused) goes whole.
  ASSERT_EQ(Mgr()->SendReport(LongRecord{65528}, kReportExitSurvey, kReportModeSend), 1);
  std::vector<SpoolRecord> records = ReadSpool(SpoolPath());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].body.substr(records[0].body.size() - 65535, 6),
            std::string("\0\0\0\x01\xff\xf9", 6));
}

}  // namespace
