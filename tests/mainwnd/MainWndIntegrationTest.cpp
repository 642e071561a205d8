// The main window with the real Orbalyn.so in a sandbox, the server simulator and a phone
// simulator on loopback: the window shows the session online, a phone binds through the bind
// information and the photo page takes over, ten photos arrive in the backup folder with every
// begin record consumed, and the bind and upload-speed reports are spooled; a photo the library
// stores under a numbered name is shown under that name.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <random>
#include <thread>

#include "../orbalyn/OrbalynTestSupport.h"
#include "FolderScanner.h"
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

  // The window started with the backup folder C:\\Lumidock, at the binding page; the folder's
  // POSIX form.
  std::string StartAtBindingPage() {
    const std::string backup = Root() + "/drives/C/Lumidock";
    std::filesystem::create_directories(backup);
    EXPECT_EQ(GetOrbalynDB()->SetWorkDir(u"C:\\Lumidock"), S_OK);
    Singleton<CUploadAssist>::Instance()->SetWorkDir(u"C:\\Lumidock");
    Start();
    EXPECT_TRUE(
        orbalyn_test::PumpUntil([&] { return Title() == kOnline; }, orbalyn_test::kOnlineTimeout))
        << Utf16ToUtf8(Title());
    EXPECT_TRUE(Element(u"nextStep")->UserClick());
    m_pMain->Command(2, nullptr);
    EXPECT_TRUE(Shown(u"QRCodePage"));
    return backup;
  }

  static void WriteRandom(const std::string& path, size_t size, std::mt19937* pRandom) {
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>((*pRandom)());
    test_files::WriteWholeFile(path, bytes);
  }

  // A phone binds through the page's bind information, uploads `photos` into the album Camera
  // and finishes, `during` running at each turn of the UI thread meanwhile. True once the photo
  // page took over, the upload speed was reported and the phone ended well.
  bool BindAndUpload(const std::string& photos, std::vector<std::string> uploadOptions,
                     const std::function<void()>& during = nullptr) {
    const std::string hex = BindInfoHex();
    if (hex.empty()) return false;
    std::vector<std::string> args = {
        "--host", "127.0.0.1", "--bind-info", hex,     "--phone-id", std::to_string(kPhoneId),
        "--name", kPhoneName,  "--album",     "Camera"};
    args.insert(args.end(), uploadOptions.begin(), uploadOptions.end());
    args.insert(args.end(), {"bind", "upload", photos, "finish"});
    orbalyn_test::CChildProcess phone;
    if (!phone.Start("phone-sim", args)) return false;
    int status = -1;
    std::thread waiter([&] { status = phone.Wait(std::chrono::seconds(120)); });
    auto turn = [&](const std::function<bool()>& done) {
      if (during) during();
      return done();
    };
    const bool bound = orbalyn_test::PumpUntil(
        [&] { return turn([&] { return Shown(u"ImageShowFrame"); }); }, std::chrono::seconds(60));
    const bool finished = orbalyn_test::PumpUntil(
        [&] {
          return turn([&] {
            for (const Report& report : Reports()) {
              if (report.id == 5946) return true;
            }
            return false;
          });
        },
        std::chrono::seconds(90));
    waiter.join();
    EXPECT_TRUE(bound);
    EXPECT_TRUE(finished);
    EXPECT_EQ(status, 0) << ::testing::PrintToString(phone.Lines());
    return bound && finished && status == 0;
  }

  // The paths of the photo page's tiles, every phone's.
  std::vector<std::u16string> TilePaths() {
    std::vector<std::u16string> paths;
    for (lq::CElement* pContainer : Element(u"photoScrollView")->Children()) {
      for (lq::CElement* pGroup : pContainer->Children()) {
        for (lq::CElement* pTile : pGroup->Children()) {
          if (lq::CElement* pBorder = pTile->FindById(u"imageborder")) {
            paths.push_back(pBorder->NameText());
          }
        }
      }
    }
    return paths;
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
  const std::string backup = StartAtBindingPage();
  const std::string photos = Root() + "/phone/DCIM";
  std::mt19937 random(7);
  for (int i = 0; i < kPhotos; ++i) {
    WriteRandom(photos + "/IMG_" + std::to_string(1000 + i) + ".jpg", 20000 + i * 3001, &random);
  }
  ASSERT_TRUE(BindAndUpload(photos, {}));

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

// Another writer puts a few bytes at the name a photo was given while the photo is on its way:
// the library stores the photo as "IMG_2000(1).jpg", and the page's tile is that file, not the
// other writer's.
TEST_F(MainWndIntegrationTest, APhotoRenamedAtItsEndIsShownUnderItsFinalName) {
  const std::string backup = StartAtBindingPage();
  const std::string photos = Root() + "/phone/DCIM";
  std::mt19937 random(11);
  WriteRandom(photos + "/IMG_2000.jpg", 2 << 20, &random);
  const std::string camera = backup + "/" + kPhoneName + "/Camera";
  // Once the page walked the phone's folder, so only the arrival can show the photo.
  bool tried = false;
  bool written = false;
  auto otherWriter = [&] {
    ScanDevice* pRecord = nullptr;
    if (tried || !std::filesystem::exists(camera + "/IMG_2000.jpg.pdl") ||
        CFolderScanner::Instance().FindDevice(kPhoneId, &pRecord) != CFolderScanner::kComplete) {
      return;
    }
    tried = true;
    const int fd = open((camera + "/IMG_2000.jpg").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    written = fd >= 0 && write(fd, "thirty-five bytes from someone else", 35) == 35;
    if (fd >= 0) close(fd);
  };
  // Small chunks, one at a time: the writer has time to come in.
  ASSERT_TRUE(BindAndUpload(photos, {"--window", "1", "--chunk", "1024"}, otherWriter));
  ASSERT_TRUE(written);

  EXPECT_EQ(std::filesystem::file_size(camera + "/IMG_2000.jpg"), 35u);
  EXPECT_EQ(std::filesystem::file_size(camera + "/IMG_2000(1).jpg"), 2u << 20);
  EXPECT_EQ(m_pMain->UploadBeginRecordCountForTesting(), 0u);
  EXPECT_EQ(TilePaths(),
            std::vector<std::u16string>{Utf8ToUtf16("C:\\Lumidock\\" + std::string(kPhoneName) +
                                                    "\\Camera\\IMG_2000(1).jpg")});
}

}  // namespace
