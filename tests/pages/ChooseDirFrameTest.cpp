// The first-run folder choice on the null view, over drive tables given by LUMIDOCK_DRIVES (with
// free space set) and a scripted folder browser: the default folder, the free-space texts and
// labels, scrolling, the check of a typed folder, the browser, and "nextStep" making and storing
// the folder.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "CEditElement.h"
#include "CTabStripElement.h"
#include "ChooseDirFrameAdapter.h"
#include "PagesTestSupport.h"
#include "win32/fakes.h"

using namespace win32;
using namespace ui_test;

namespace {

constexpr uint64_t kGiB = 1ull << 30;

struct TestDrive {
  char letter;
  uint64_t freeBytes;  // 0: the folder's real free space
  bool exists = true;
};

class ChooseDirFrameTest : public pages_test::CPagesTest {
 protected:
  void TearDown() override {
    m_pPage.reset();
    unsetenv("LUMIDOCK_DRIVES");
    CPagesTest::TearDown();
  }

  std::string DriveFolder(char letter) const { return Root() + "/drive-" + letter; }

  // Sets the drive table and builds the page over it, shown.
  void MakePage(const std::vector<TestDrive>& drives) {
    std::string list;
    for (const TestDrive& drive : drives) {
      if (drive.exists) std::filesystem::create_directories(DriveFolder(drive.letter));
      list += (list.empty() ? "" : ";") + std::string(1, drive.letter) + "=" +
              DriveFolder(drive.letter);
      if (drive.freeBytes) list += ",free=" + std::to_string(drive.freeBytes);
    }
    setenv("LUMIDOCK_DRIVES", list.c_str(), 1);
    m_pPage = std::make_unique<CChooseDirFrameAdapter>();
    m_pPage->Init(PageRoot(u"chooseDirFrame"), &m_host);
    m_pPage->ShowPage(false);
  }

  // An element of the page (the main window has a "nextStep" of its own).
  lq::CElement* Element(const char16_t* pId) { return Find(PageRoot(u"chooseDirFrame"), pId); }
  std::u16string DirText() { return Element(u"dirEdit")->TextValue(); }
  void Type(const std::u16string& text) {
    ASSERT_TRUE(static_cast<lq::CEditElement*>(Element(u"dirEdit"))->UserSetText(text));
  }
  lq::CTabStripElement* Strip() {
    return static_cast<lq::CTabStripElement*>(Element(u"chooseDirTabCtrl"));
  }
  std::vector<std::u16string> TabTexts() {
    std::vector<std::u16string> texts;
    for (lq::CElement* pItem : Strip()->Children()) texts.push_back(pItem->TextValue());
    return texts;
  }
  // The drive labels' texts, by index, as long as they exist.
  std::vector<std::u16string> Labels() {
    std::vector<std::u16string> labels;
    for (int i = 0;; ++i) {
      lq::CElement* pLabel = Element((u"dirnametext" + Utf8ToUtf16(std::to_string(i))).c_str());
      if (!pLabel) return labels;
      labels.push_back(pLabel->FindById(u"dirNameText")->TextValue());
    }
  }
  bool Shown(const char16_t* pId) { return !Element(pId)->HiddenFlag(); }
  bool ChoiceRefused() { return Shown(u"errorText") && !Element(u"nextStep")->EnabledFlag(); }
  bool ChoiceTaken() { return !Shown(u"errorText") && Element(u"nextStep")->EnabledFlag(); }

  pages_test::CHostRecorder m_host;
  std::unique_ptr<CChooseDirFrameAdapter> m_pPage;
};

// The non-system drive with most free room is proposed, with its tab selected; free space
// shows in whole MiB as GB with two decimals; the strip and labels sit by the drive count.
TEST_F(ChooseDirFrameTest, DefaultFolderFreeSpaceAndLabels) {
  MakePage({{'C', 100 * kGiB}, {'D', 20 * kGiB}, {'E', 50 * kGiB}});
  EXPECT_EQ(DirText(), u"E:\\Lumidock");
  EXPECT_EQ(Strip()->SelectedIndex(), 2);
  EXPECT_EQ(TabTexts(),
            (std::vector<std::u16string>{u"100.00GB可用", u"20.00GB可用", u"50.00GB可用"}));
  EXPECT_EQ(Labels(), (std::vector<std::u16string>{u"本地磁盘C", u"本地磁盘D", u"本地磁盘E"}));
  EXPECT_EQ(Strip()->Rect().left, 185);
  EXPECT_EQ(Element(u"dirnametext0")->Rect().left, 185);
  EXPECT_EQ(Element(u"dirnametext2")->Rect().left, 185 + 2 * 138);
  EXPECT_EQ(Element(u"dirnametext1")->Rect().top, 214);
  EXPECT_FALSE(Shown(u"scrollToLeftBtn"));
  EXPECT_FALSE(Shown(u"scrollToRightBtn"));
  EXPECT_EQ(m_pPage->GetDriveList().size(), 3u);
}

TEST_F(ChooseDirFrameTest, SystemDriveAloneEqualRoomAndRounding) {
  MakePage({{'C', 5368709120ull}});
  EXPECT_EQ(DirText(), u"C:\\Lumidock");
  EXPECT_EQ(TabTexts(), (std::vector<std::u16string>{u"5.00GB可用"}));
  EXPECT_EQ(Strip()->Rect().left, 325);
  m_pPage.reset();
  // The builder appends labels to the page root: a second page in this window would find
  // the first one's, so the window is made again.
  m_pMain->Close();
  m_pMain->Release();
  m_pMain = Build(u"MainWnd");
  m_pMain->Show(5);
  MakePage({{'C', 8 * kGiB}, {'D', 1073741823ull}, {'E', 1073741823ull}});
  EXPECT_EQ(DirText(), u"D:\\Lumidock");    // equal room: the earlier letter
  EXPECT_EQ(TabTexts()[1], u"1.00GB可用");  // 1023 whole MiB
}

// Six drives: five labels and the right arrow; one step right shows drives 2 to 6, hides the
// right arrow and shows the left one; back again restores both.
TEST_F(ChooseDirFrameTest, SixDrivesScrollByOne) {
  MakePage({{'C', kGiB}, {'D', kGiB}, {'E', kGiB}, {'F', kGiB}, {'G', kGiB}, {'H', 2 * kGiB}});
  EXPECT_EQ(Labels(), (std::vector<std::u16string>{u"本地磁盘C", u"本地磁盘D", u"本地磁盘E",
                                                   u"本地磁盘F", u"本地磁盘G"}));
  EXPECT_EQ(Element(u"dirnametext0")->Rect().left, 45);
  EXPECT_TRUE(Shown(u"scrollToRightBtn"));
  EXPECT_FALSE(Shown(u"scrollToLeftBtn"));
  EXPECT_EQ(DirText(), u"H:\\Lumidock");

  ASSERT_TRUE(Element(u"scrollToRightBtn")->UserClick());
  EXPECT_EQ(Labels(), (std::vector<std::u16string>{u"本地磁盘D", u"本地磁盘E", u"本地磁盘F",
                                                   u"本地磁盘G", u"本地磁盘H"}));
  EXPECT_FALSE(Shown(u"scrollToRightBtn"));
  EXPECT_TRUE(Shown(u"scrollToLeftBtn"));

  ASSERT_TRUE(Element(u"scrollToLeftBtn")->UserClick());
  EXPECT_EQ(Labels()[0], u"本地磁盘C");
  EXPECT_TRUE(Shown(u"scrollToRightBtn"));
  EXPECT_FALSE(Shown(u"scrollToLeftBtn"));
}

// The typed folder is checked as it changes: the listed upper-case letter, "X:\" or "X:/", and
// more than 4 MiB free; a user's tab choice swaps the letter, a program's does not.
TEST_F(ChooseDirFrameTest, TypedFolderCheckAndTabChoice) {
  MakePage({{'C', 10 * kGiB}, {'D', 10 * kGiB}, {'E', 4194304}});
  Type(u"d:\\x");
  EXPECT_TRUE(ChoiceRefused());
  Type(u"D:\\x");
  EXPECT_TRUE(ChoiceTaken());
  for (const char16_t* pBad : {u"E:\\x", u"D:x", u"Q:\\x", u"D:", u"\\\\server\\share"}) {
    Type(u"D:/ok");
    ASSERT_TRUE(ChoiceTaken());
    Type(pBad);
    EXPECT_TRUE(ChoiceRefused()) << Utf16ToUtf8(pBad);
  }
  EXPECT_TRUE(m_pPage->IsUsableDir(u"C:/photos"));
  EXPECT_EQ(m_pPage->FindDriveIndex(u"e:\\anything"), 2);
  EXPECT_EQ(m_pPage->FindDriveIndex(u"Z:\\"), -1);

  Type(u"D:\\Backup\\Lumidock");
  ASSERT_TRUE(Strip()->Children()[2]->UserClick());
  EXPECT_EQ(DirText(), u"E:\\Backup\\Lumidock");
  Type(u"");
  ASSERT_TRUE(Strip()->Children()[0]->UserClick());
  EXPECT_EQ(DirText(), u"C:\\Lumidock");
  ILqTabStrip* pStrip = nullptr;
  ASSERT_EQ(Strip()->QueryInterface(IID_ILqTabStrip, reinterpret_cast<void**>(&pStrip)), S_OK);
  pStrip->SelectIndex(1);
  pStrip->Release();
  EXPECT_EQ(DirText(), u"C:\\Lumidock");
}

TEST(ChooseDirFrame, AppendProductFolder) {
  for (auto [pIn, pOut] : std::vector<std::pair<const char16_t*, const char16_t*>>{
           {u"D:", u"D:\\Lumidock"},
           {u"D:\\", u"D:\\Lumidock"},
           {u"D:\\Backup", u"D:\\Backup\\Lumidock"},
           {u"D:\\Lumidock", u"D:\\Lumidock"},
           {u"D:\\x\\", u"D:\\x\\Lumidock"},
           {u"", u"\\Lumidock"}}) {
    EXPECT_EQ(CChooseDirFrameAdapter::AppendProductFolder(pIn), pOut) << Utf16ToUtf8(pIn);
  }
}

// The browser starts at the typed drive's root and offers only the listed drives; a choice on
// one is taken with the product folder and selects its tab; a choice elsewhere, or a cancel,
// changes nothing.
TEST_F(ChooseDirFrameTest, FolderBrowserOffersListedDrivesOnly) {
  MakePage({{'C', 10 * kGiB}, {'D', 30 * kGiB}, {'F', 10 * kGiB, false}});
  ASSERT_EQ(m_pPage->GetDriveList().size(), 2u);  // F's folder is missing: not usable
  fakes::FakeDesktop desktop;
  std::filesystem::create_directories(DriveFolder('C') + "/Pictures");
  desktop.ScriptFolderChoice(DriveFolder('C') + "/Pictures");
  desktop.ScriptFolderChoice("/tmp");
  desktop.ScriptFolderCancel();
  ASSERT_TRUE(Element(u"selectDirBtn")->UserClick());
  EXPECT_EQ(DirText(), u"C:\\Pictures\\Lumidock");
  EXPECT_EQ(Strip()->SelectedIndex(), 0);
  EXPECT_TRUE(ChoiceTaken());
  ASSERT_TRUE(Element(u"selectDirBtn")->UserClick());
  ASSERT_TRUE(Element(u"selectDirBtn")->UserClick());
  EXPECT_EQ(DirText(), u"C:\\Pictures\\Lumidock");

  std::vector<FolderBrowseRequest> browses = desktop.FolderBrowses();
  ASSERT_EQ(browses.size(), 3u);
  EXPECT_EQ(browses[0].initialFolder, DriveFolder('D'));
  EXPECT_EQ(browses[1].initialFolder, DriveFolder('C'));
  std::vector<std::string> places;
  for (const FolderPlace& place : browses[0].places) places.push_back(place.posixFolder);
  EXPECT_EQ(places, (std::vector<std::string>{DriveFolder('C'), DriveFolder('D')}));
}

// "nextStep": the folder with its parents is made ("..' stays inside the drive) and the QR page
// asked for; a file in the way, or no text, refuses the choice and asks for nothing.
TEST_F(ChooseDirFrameTest, NextStepMakesTheFolderOrRefuses) {
  MakePage({{'C', 10 * kGiB}, {'D', 30 * kGiB}});
  std::filesystem::path file = DriveFolder('D') + "/taken";
  test_files::WriteWholeFile(file.string(), "x");
  Type(u"D:\\taken\\inner");
  ASSERT_TRUE(ChoiceTaken());
  ASSERT_TRUE(Element(u"nextStep")->UserClick());
  EXPECT_TRUE(ChoiceRefused());
  EXPECT_TRUE(m_host.m_commands.empty());

  Type(u"D:\\..\\..\\escape");
  ASSERT_TRUE(Element(u"nextStep")->UserClick());
  EXPECT_TRUE(std::filesystem::is_directory(DriveFolder('D') + "/escape/Lumidock"));
  EXPECT_FALSE(std::filesystem::exists(Root() + "/escape"));
  EXPECT_EQ(m_host.m_commands, (std::vector<int>{2}));
  EXPECT_TRUE(lq::CElement::FromInterface(PageRoot(u"chooseDirFrame"))->HiddenFlag());
}

}  // namespace
