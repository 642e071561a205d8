// The photo page on the whole road: the real Orbalyn.so loaded in this process (its UI thread is
// the test's), the server simulator and a phone simulator as child processes on loopback, and the
// page in the program's main window on the null view, the window being the library's sink: 30
// photos over 3 days arrive as 3 day groups with their titles and counts, a restart's walk of the
// folder shows the same, and unbinding the phone from the page keeps its files.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "../mainwnd/MainWndTestSupport.h"
#include "../orbalyn/OrbalynTestSupport.h"
#include "CachedOrbalynDB.h"
#include "FolderScanner.h"
#include "PhotoTestSupport.h"
#include "UploadAssist.h"

using namespace win32;

namespace {

constexpr int64_t kPhoneId = 880101;
constexpr char16_t kOnline[] = u"Lumidock-PC当前状态：在线";

class PhotoPageRoadTest : public mainwnd_test::CMainWndTestBase {
 protected:
  PhotoPageRoadTest() : CMainWndTestBase(orbalyn_test::RuntimeFolder()) {}

  void SetUp() override {
    photo_test::PinTimeZone();
    // The library reads its entry server as it starts.
    ASSERT_FALSE(
        orbalyn_test::ServerSim().WaitForLine("entry-port ", 0, std::chrono::seconds(20)).empty());
    CMainWndTestBase::SetUp();
  }
  void TearDown() override {
    m_pMain.reset();
    CachedOrbalynDB::Clear();
    CMainWndTestBase::TearDown();
  }

  // Runs the UI thread (the library's messages and the page's timers) until `done` holds.
  bool Run(const std::function<bool()>& done, int seconds) {
    return orbalyn_test::PumpUntil(
        [&] {
          m_clock.Advance(15);
          return done();
        },
        std::chrono::seconds(seconds));
  }

  lq::CElement* Page(const char16_t* pId) {
    return Element(u"ImageShowFrame")->FindById(pId);
  }

  // "title count" of each group of the container shown, top first ("" while none shows).
  std::vector<std::string> Groups() {
    std::vector<std::string> groups;
    if (!Page(u"loading")->HiddenFlag()) return groups;
    for (lq::CElement* pContainer : Page(u"photoScrollView")->Children()) {
      if (pContainer->HiddenFlag()) continue;
      std::vector<lq::CElement*> sorted = pContainer->Children();
      std::sort(sorted.begin(), sorted.end(), [](lq::CElement* a, lq::CElement* b) {
        return a->Rect().top < b->Rect().top;
      });
      for (lq::CElement* pGroup : sorted) {
        std::string count = Utf16ToUtf8(pGroup->FindById(u"countText")->TextValue());
        count.erase(std::remove_if(count.begin(), count.end(),
                                   [](char c) { return c < '0' || c > '9'; }),
                    count.end());
        groups.push_back(Utf16ToUtf8(pGroup->NameText()) + " " + count);
      }
    }
    return groups;
  }

  static std::string BindInfoHex() {
    IOrbalynMessage* pMessage = nullptr;
    if (GetOrbalynLogic()->GetBindInfo(&pMessage) != S_OK || !pMessage) return {};
    const BYTE* pData = nullptr;
    int length = 0;
    pMessage->GetPayload(&pData, &length);
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (int i = 0; i < length; ++i) {
      hex += kDigits[pData[i] >> 4];
      hex += kDigits[pData[i] & 0xF];
    }
    pMessage->Release();
    return hex;
  }
};

TEST_F(PhotoPageRoadTest, ThirtyPhotosOverThreeDaysRestartAndUnbind) {
  const std::string backup = Root() + "/drives/C/Lumidock";
  std::filesystem::create_directories(backup);
  IOrbalynDB* pDB = CachedOrbalynDB::Get();
  ASSERT_NE(pDB, nullptr);
  ASSERT_EQ(pDB->SetWorkDir(u"C:\\Lumidock"), S_OK);
  Singleton<CUploadAssist>::Instance()->SetWorkDir(u"C:\\Lumidock");
  Start();
  std::string hex;
  ASSERT_TRUE(Run([&] {
    if (Title() == kOnline) hex = BindInfoHex();
    return !hex.empty();
  }, 60)) << Utf16ToUtf8(Title());
  ASSERT_TRUE(Element(u"nextStep")->UserClick());
  m_pMain->Command(2, nullptr);

  const std::string photos = Root() + "/phone";
  ASSERT_EQ(std::system((std::string(LUMIDOCK_BIN_DIR "/make-sample-photos ") + photos +
                         " --count 30 --days 3 --size 320x240 >/dev/null")
                            .c_str()),
            0);
  orbalyn_test::CChildProcess phone;
  ASSERT_TRUE(phone.Start("phone-sim", {"--host", "127.0.0.1", "--bind-info", hex, "--phone-id",
                                        std::to_string(kPhoneId), "--name", "Ostra", "bind",
                                        "upload", photos + "/Camera", "finish"}));
  int status = -1;
  std::atomic<bool> ended{false};
  std::thread waiter([&] {
    status = phone.Wait(std::chrono::seconds(120));
    ended = true;
  });
  const std::vector<std::string> expected = {"2024年6月30日 10", "2024年6月29日 10",
                                             "2024年6月28日 10"};
  Run([&] { return ended && Groups() == expected; }, 120);
  waiter.join();
  ASSERT_EQ(status, 0) << ::testing::PrintToString(phone.Lines());
  EXPECT_EQ(Groups(), expected);
  EXPECT_EQ(m_pMain->UploadBeginRecordCountForTesting(), 0u);
  EXPECT_EQ(Page(u"phonename")->TextValue(), u"Ostra");
  // The batch's end shows "备份完成", and 3 s later the time of the last backup.
  Run([&] {
    const std::u16string text = Page(u"statusText")->TextValue();
    return text == u"备份完成" || text.starts_with(u"最近备份时间：");
  }, 30);
  m_clock.Advance(3000);
  EXPECT_TRUE(Page(u"statusText")->TextValue().starts_with(u"最近备份时间："))
      << Utf16ToUtf8(Page(u"statusText")->TextValue());
  size_t tiles = 0;
  for (lq::CElement* pContainer : Page(u"photoScrollView")->Children()) {
    for (lq::CElement* pGroup : pContainer->Children()) {
      for (lq::CElement* pChild : pGroup->Children()) tiles += pChild->FindById(u"userImg") != nullptr;
    }
  }
  EXPECT_LE(tiles, 30u);

  // A restart: the library bound anew, a new window and a new walk of the phone's folder show
  // the same.
  CFolderScanner::Instance().ForgetRecordsForTesting();
  m_pMain.reset();
  CachedOrbalynDB::Clear();
  UnloadOrbalyn();
  ASSERT_EQ(LoadOrbalyn(test_files::WindowsFromPosix(orbalyn_test::RuntimeFolder()).c_str()), 1);
  pDB = CachedOrbalynDB::Get();
  ASSERT_NE(pDB, nullptr);
  Start();
  EXPECT_TRUE(Shown(u"ImageShowFrame"));
  EXPECT_TRUE(Run([&] { return Groups() == expected; }, 30)) << ::testing::PrintToString(Groups());

  // Unbinding from the page: the phone goes, its files stay, and the binding page is back.
  ASSERT_TRUE(Page(u"exproseBtn")->UserClick());
  Script().PushClick(u"okbtn");
  lq::CElement* pStrip = Page(u"topPackupFrameScrollView");
  ASSERT_EQ(pStrip->Children().size(), 1u);
  ASSERT_TRUE(pStrip->Children()[0]->FindById(u"breakLink")->UserClick());
  EXPECT_TRUE(pStrip->Children().empty());
  EXPECT_FALSE(Shown(u"ImageShowFrame"));
  size_t kept = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(backup + "/Ostra")) {
    kept += entry.path().extension() == ".jpg";
  }
  EXPECT_EQ(kept, 30u);
  IOrbalynDeviceContainer* pBound = nullptr;
  ASSERT_EQ(pDB->GetBoundDevices(&pBound), S_OK);
  int count = -1;
  pBound->GetCount(&count);
  pBound->Release();
  EXPECT_EQ(count, 0);
}

}  // namespace
