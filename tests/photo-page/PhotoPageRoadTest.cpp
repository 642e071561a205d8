// The photo page on the whole road: the real Orbalyn.so loaded in this process (its UI thread is
// the test's), the server simulator and a phone simulator as child processes on loopback, the
// program's upload assistant naming the files, and the page in the main window on the null view
// fed by a logic sink as the main window's: 30 photos over 3 days arrive as 3 day groups with
// their titles and counts, a restart's walk of the folder shows the same, and unbinding the
// phone from the page keeps its files.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "../common/PlatformBoot.h"
#include "../orbalyn/OrbalynTestSupport.h"
#include "Basalt/BasaltTesting.h"
#include "Basalt/CKwManualTimerHost.h"
#include "Basalt/KwTimer.h"
#include "Basalt/Util.h"
#include "CElement.h"
#include "CNullView.h"
#include "CWindowElement.h"
#include "CachedOrbalynDB.h"
#include "FolderScanner.h"
#include "ImageShowPageAdapter.h"
#include "Lq/Lq.h"
#include "OrbalynBinding.h"
#include "PageTestSupport.h"
#include "UploadAssist.h"
#include "UploadBeginRecords.h"
#include "win32/thread.h"
#include "win32/window.h"

using namespace win32;

namespace {

constexpr int64_t kPhoneId = 880101;

// The main window's part of the logic sink for the page: a bound phone selected, batches shown,
// uploads begun and ended handed to the page as photos.
class CPageSink final : public IOrbalynLogicSink {
 public:
  explicit CPageSink(CImageShowPageAdapter* pPage) : m_pPage(pPage) {}
  void SetPage(CImageShowPageAdapter* pPage) { m_pPage = pPage; }
  int Arrived() const { return m_arrived; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE OnLogicMessage(IOrbalynMessage* pMessage) override {
    int type = -1;
    int value = 0;
    int64_t id = 0;
    int param1 = 0;
    pMessage->GetType(&type);
    pMessage->GetValue(&value);
    pMessage->GetId(&id);
    pMessage->GetParam1(&param1);
    if (!m_pPage) return S_OK;
    if (type == UIMsg_bind_state && value == BindState_bound) {
      m_pPage->Show(0);
      m_pPage->RefreshPhoneList(1, id);
    } else if (type == UIMsg_upload_batch) {
      int done = 0;
      pMessage->GetParam1(&done);
      m_pPage->OnBackupProgress(id, 1, value - done);
    } else if (type == UIMsg_upload_finish) {
      m_pPage->OnBackupProgress(id, 0, value);
    } else if (type == UIMsg_upload_begin) {
      m_records.OnUploadBegin(pMessage);
    } else if (type == UIMsg_upload_result) {
      UploadBeginRecord record;
      if (m_records.OnUploadResult(param1, value, &record)) {
        m_pPage->AddPhoto(record.deviceId, record.filePath.c_str());
        ++m_arrived;
      }
    }
    return S_OK;
  }

 private:
  CImageShowPageAdapter* m_pPage;
  CUploadBeginRecords m_records;
  int m_arrived = 0;
};

class PhotoPageRoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    photo_test::PinTimeZone();
    BasaltTesting::Reset();
    lq::CNullView::Instance().Reset();
    m_pCore = test_common::StartPlatform(orbalyn_test::SandboxRoot(), LUMIDOCK_BIN_DIR);
    ASSERT_NE(m_pCore, nullptr);
    KwTimer::SetHost(&m_clock);
    NewPage();
    orbalyn_test::ServerSim();
  }

  void TearDown() override {
    if (m_pLogic) {
      m_pLogic->Unadvise(&m_sink);
      m_pLogic->Release();
    }
    CachedOrbalynDB::Clear();
    UnloadOrbalyn();
    m_pPage.reset();
    m_pMain->Close();
    m_pMain->Release();
    KwTimer::SetHost(nullptr);
    if (m_pCore) {
      m_pCore->Shutdown();
      m_pCore->Release();
    }
  }

  // The main window and its page, made anew as at a start of the program.
  void NewPage() {
    m_pPage.reset();
    if (m_pMain) {
      m_pMain->Close();
      m_pMain->Release();
    }
    Util::Lq::RawCreateLqElementBySkein(u"platformskein:Harborlight.xml|MainWnd", &m_pMain,
                                        nullptr, nullptr, 0);
    ASSERT_NE(m_pMain, nullptr);
    m_pMain->Show(5);
    m_pPage = std::make_unique<CImageShowPageAdapter>();
    ILqElement* pFrame = nullptr;
    ASSERT_EQ(m_pMain->FindChild(u"ImageShowFrame", &pFrame), S_OK);
    m_pPage->Init(pFrame, &m_host);
    pFrame->Release();
    m_sink.SetPage(m_pPage.get());
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

  lq::CElement* Element(const char16_t* pId) {
    return lq::CElement::FromInterface(m_pMain)->FindById(u"ImageShowFrame")->FindById(pId);
  }

  // "title count" of each group of the container shown, top first ("" while none shows).
  std::vector<std::string> Groups() {
    std::vector<std::string> groups;
    if (!Element(u"loading")->HiddenFlag()) return groups;
    for (lq::CElement* pContainer : Element(u"photoScrollView")->Children()) {
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

  std::string BindInfoHex() {
    IOrbalynMessage* pMessage = nullptr;
    if (m_pLogic->GetBindInfo(&pMessage) != S_OK || !pMessage) return {};
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

  CKwManualTimerHost m_clock;
  IKwCore* m_pCore = nullptr;
  ILqElement* m_pMain = nullptr;
  photo_test::CTestHost m_host;
  std::unique_ptr<CImageShowPageAdapter> m_pPage;
  CPageSink m_sink{nullptr};
  IOrbalynLogic* m_pLogic = nullptr;
};

TEST_F(PhotoPageRoadTest, ThirtyPhotosOverThreeDaysRestartAndUnbind) {
  const std::string root = orbalyn_test::SandboxRoot();
  const std::string backup = root + "/backup";
  ASSERT_EQ(LoadOrbalyn(test_files::WindowsFromPosix(orbalyn_test::RuntimeFolder()).c_str()), 1);
  IOrbalynDB* pDB = CachedOrbalynDB::Get();
  ASSERT_NE(pDB, nullptr);
  ASSERT_EQ(pDB->SetWorkDir(test_files::WindowsFromPosix(backup).c_str()), S_OK);
  m_pLogic = GetOrbalynLogic();
  ASSERT_NE(m_pLogic, nullptr);
  ASSERT_EQ(RegisterUploadAssist(CUploadAssist::Instance()), 1);
  ASSERT_EQ(m_pLogic->Advise(&m_sink), S_OK);
  m_pLogic->Login();
  std::string hex;
  ASSERT_TRUE(Run([&] {
    int state = 0;
    m_pLogic->GetLoginState(&state);
    if (state == LoginState_online) hex = BindInfoHex();
    return !hex.empty();
  }, 60));

  const std::string photos = root + "/phone";
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
  Run([&] { return ended && m_sink.Arrived() == 30 && Groups() == expected; }, 120);
  waiter.join();
  ASSERT_EQ(status, 0) << ::testing::PrintToString(phone.Lines());
  EXPECT_EQ(m_sink.Arrived(), 30);
  EXPECT_EQ(Groups(), expected);
  EXPECT_EQ(Element(u"phonename")->TextValue(), u"Ostra");
  // The batch's end shows "备份完成", and 3 s later the time of the last backup.
  Run([&] {
    const std::u16string text = Element(u"statusText")->TextValue();
    return text == u"备份完成" || text.starts_with(u"最近备份时间：");
  }, 30);
  m_clock.Advance(3000);
  EXPECT_TRUE(Element(u"statusText")->TextValue().starts_with(u"最近备份时间："))
      << Utf16ToUtf8(Element(u"statusText")->TextValue());
  size_t tiles = 0;
  for (lq::CElement* pContainer : Element(u"photoScrollView")->Children()) {
    for (lq::CElement* pGroup : pContainer->Children()) {
      for (lq::CElement* pChild : pGroup->Children()) tiles += pChild->FindById(u"userImg") != nullptr;
    }
  }
  Run([&] { return m_pPage->PendingCountForTesting() == 0; }, 30);
  EXPECT_LE(tiles, 30u);

  // A restart: a new window and page, and a new walk of the phone's folder, show the same.
  CFolderScanner::Instance().ForgetRecordsForTesting();
  NewPage();
  m_pPage->RefreshPhoneList(0, 0);
  m_pPage->Show(0);
  EXPECT_TRUE(Run([&] { return Groups() == expected; }, 30)) << ::testing::PrintToString(Groups());

  // Unbinding from the page: the phone goes, its files stay.
  ASSERT_TRUE(Element(u"exproseBtn")->UserClick());
  lq::CNullView::Instance().PushClick(u"okbtn");
  lq::CElement* pStrip = Element(u"topPackupFrameScrollView");
  ASSERT_EQ(pStrip->Children().size(), 1u);
  ASSERT_TRUE(pStrip->Children()[0]->FindById(u"breakLink")->UserClick());
  EXPECT_TRUE(pStrip->Children().empty());
  ASSERT_FALSE(m_host.m_commands.empty());
  EXPECT_EQ(m_host.m_commands.back(), 4);  // no phone left: the binding page
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
