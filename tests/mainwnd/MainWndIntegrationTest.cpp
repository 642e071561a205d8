// The main window with the real Orbalyn.so in a sandbox, the server simulator and a phone
// simulator on loopback: the window shows the session online, a phone binds through the bind
// information and the photo page takes over, ten photos arrive in the backup folder with every
// begin record consumed, and the bind and upload-speed reports are spooled.

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <thread>

#include "../orbalyn/OrbalynTestSupport.h"
#include "MainWndTestSupport.h"
#include "UploadAssist.h"

using namespace win32;
using namespace mainwnd_test;

namespace {

constexpr char16_t kOnline[] = u"Lumidock-PC当前状态：在线";
constexpr int64_t kPhoneId = 880042;
constexpr char kPhoneName[] = "Main Window Phone";
constexpr int kPhotos = 10;

class MainWndIntegrationTest : public CMainWndTestBase {
 protected:
  MainWndIntegrationTest() : CMainWndTestBase(orbalyn_test::RuntimeFolder()) {}

  void SetUp() override {
    // The library reads its entry server as it starts.
    ASSERT_FALSE(
        orbalyn_test::ServerSim().WaitForLine("entry-port ", 0, std::chrono::seconds(20)).empty());
    CMainWndTestBase::SetUp();
  }

  // The bind information as the QR symbol carries it, in hex.
  static std::string BindInfoHex() {
    IOrbalynMessage* pMessage = nullptr;
    if (GetOrbalynLogic()->GetBindInfo(&pMessage) != S_OK || !pMessage) return "";
    const BYTE* pData = nullptr;
    int length = 0;
    std::string hex;
    if (pMessage->GetPayload(&pData, &length) == S_OK) {
      static const char kDigits[] = "0123456789abcdef";
      for (int i = 0; i < length; ++i) {
        hex += kDigits[pData[i] >> 4];
        hex += kDigits[pData[i] & 0xF];
      }
    }
    pMessage->Release();
    return hex;
  }
};

TEST_F(MainWndIntegrationTest, PhoneBindsAndBacksUpTenPhotosThroughTheWindow) {
  // The folder the first-run page would have stored.
  const std::string backup = Root() + "/drives/C/Lumidock";
  std::filesystem::create_directories(backup);
  ASSERT_EQ(GetOrbalynDB()->SetWorkDir(u"C:\\Lumidock"), S_OK);
  Singleton<CUploadAssist>::Instance()->SetWorkDir(u"C:\\Lumidock");

  Start();
  ASSERT_TRUE(
      orbalyn_test::PumpUntil([&] { return Title() == kOnline; }, orbalyn_test::kOnlineTimeout))
      << Utf16ToUtf8(Title());
  ASSERT_TRUE(Element(u"nextStep")->UserClick());
  m_pMain->Command(2, nullptr);
  EXPECT_TRUE(Shown(u"QRCodePage"));

  const std::string photos = Root() + "/phone/DCIM";
  std::filesystem::create_directories(photos);
  std::mt19937 random(7);
  for (int i = 0; i < kPhotos; ++i) {
    std::string bytes(20000 + i * 3001, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    test_files::WriteWholeFile(photos + "/IMG_" + std::to_string(1000 + i) + ".jpg", bytes);
  }
  std::string hex = BindInfoHex();
  ASSERT_FALSE(hex.empty());

  orbalyn_test::CChildProcess phone;
  ASSERT_TRUE(phone.Start("phone-sim", {"--host", "127.0.0.1", "--bind-info", hex, "--phone-id",
                                        std::to_string(kPhoneId), "--name", kPhoneName, "--album",
                                        "Camera", "bind", "upload", photos, "finish"}));
  int status = -1;
  std::thread waiter([&] { status = phone.Wait(std::chrono::seconds(120)); });
  bool bound =
      orbalyn_test::PumpUntil([&] { return Shown(u"ImageShowFrame"); }, std::chrono::seconds(60));
  EXPECT_TRUE(bound);
  bool finished = orbalyn_test::PumpUntil(
      [&] {
        for (const Report& report : Reports()) {
          if (report.id == 5946) return true;
        }
        return false;
      },
      std::chrono::seconds(90));
  waiter.join();
  ASSERT_EQ(status, 0) << ::testing::PrintToString(phone.Lines());
  ASSERT_TRUE(finished);

  EXPECT_FALSE(Shown(u"QRCodePage"));
  EXPECT_EQ(GetMainRunState().bindProgress, MainRunState::kPhoneBound);
  EXPECT_EQ(m_pMain->UploadBeginRecordCountForTesting(), 0u);
  size_t arrived = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(backup)) {
    if (entry.is_regular_file() && entry.path().extension() == ".jpg") ++arrived;
  }
  EXPECT_EQ(arrived, static_cast<size_t>(kPhotos));

  bool bindReported = false;
  bool speedReported = false;
  for (const Report& report : Reports()) {
    if (report.id == 5892) {
      test_common::SpoolFieldReader reader(report.record);
      EXPECT_EQ(reader.Take(4), 1u);
      EXPECT_EQ(reader.Take(8), static_cast<uint64_t>(kPhoneId));
      EXPECT_EQ(reader.TakeString(), kPhoneName);
      EXPECT_EQ(reader.Take(4), 0u);
      bindReported = true;
    } else if (report.id == 5946) {
      test_common::SpoolFieldReader reader(report.record);
      EXPECT_GT(reader.Take(4), 0u);  // bytes per second
      EXPECT_LE(reader.Take(2), 1u);
      EXPECT_EQ(reader.Take(4), 1u);  // this phone alone
      speedReported = true;
    }
  }
  EXPECT_TRUE(bindReported);
  EXPECT_TRUE(speedReported);
}

}  // namespace
