#pragma once
// The photo page in the main window's layout on the null view, with a manual clock, a scripted
// desktop (message boxes, the shell-open recorder, the work area), an in-process device store and
// logic, the real folder scanner on the sandbox's backup folder and the real picture library.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "../ui/UiTestSupport.h"
#include "Basalt/CKwManualTimerHost.h"
#include "Basalt/KwTimer.h"
#include "CScrollElement.h"
#include "CachedOrbalynDB.h"
#include "FolderScanner.h"
#include "ImageShowPageAdapter.h"
#include "OrbalynBinding.h"
#include "PhotoTestSupport.h"
#include "win32/fakes.h"

namespace photo_test {

// The main window's part: records the host commands.
class CTestHost final : public IPageHost {
 public:
  win32::HRESULT Command(int code, void*) override {
    m_commands.push_back(code);
    return win32::S_OK;
  }
  std::vector<int> m_commands;
};

// A group of a container as the tests read it.
struct GroupView {
  std::u16string title;
  std::u16string count;
  win32::RECT rect;
  std::vector<lq::CElement*> tiles;  // the group's tiles, not held
};

class CPageTest : public ui_test::CMainWindowTest {
 protected:
  void SetUp() override {
    PinTimeZone();
    CMainWindowTest::SetUp();
    KwTimer::SetHost(&m_clock);
    CFolderScanner::Instance().ForgetRecordsForTesting();
    m_desktop.SetWorkArea(win32::RECT{0, 0, 1280, 994});
    m_root.m_store.m_workDir = test_files::WindowsFromPosix(Root() + "/backup");
    SetOrbalynRootForTesting(&m_root);
    m_textures = Pictor::LiveTextureCount();
    NewPage();
  }
  // A page on the window's frame, shown, as the main window builds it.
  void NewPage() {
    m_pPage = std::make_unique<CImageShowPageAdapter>();
    ILqElement* pFrame = nullptr;
    ASSERT_EQ(m_pMain->FindChild(u"ImageShowFrame", &pFrame), win32::S_OK);
    m_pPage->Init(pFrame, &m_host);
    pFrame->Release();
    m_pPage->Show(0);
  }
  void TearDown() override {
    m_pPage.reset();
    // The window's tiles hold their pictures until the window goes.
    m_pMain->Close();
    m_pMain->Release();
    m_pMain = nullptr;
    EXPECT_EQ(Pictor::LiveTextureCount(), m_textures);
    EXPECT_TRUE(PumpUntil([] { return CFolderScanner::Instance().ThreadCountForTesting() == 0; }));
    CachedOrbalynDB::Clear();
    SetOrbalynRootForTesting(nullptr);
    EXPECT_EQ(LiveFakes().load(), 0);
    KwTimer::SetHost(nullptr);
    CMainWindowTest::TearDown();
  }

  // --- Phones and their photos ---
  void Bind(int64_t id, const std::u16string& name, int offline = 0) {
    m_root.m_store.m_bound.push_back(FakePhone{id, name, offline});
  }
  std::string Folder(const std::string& phone) { return Root() + "/backup/" + phone; }
  // A small picture (a PNG unless the name says otherwise) last written at the local time.
  std::string Photo(const std::string& phone, const std::string& relative, int year, int month,
                    int day, int hour, int minute, int second = 0, uint32_t rgb = 0x3366CC) {
    std::string path = Folder(phone) + "/" + relative;
    std::string ending = path.substr(path.size() - 4);
    if (ending == ".jpg") {
      EXPECT_TRUE(WriteSolid(path, rgb, "jpeg"));
    } else if (ending == ".png") {
      EXPECT_TRUE(WriteSolid(path, rgb, "png"));
    } else {
      test_files::WriteWholeFile(path, "not a picture");
    }
    EXPECT_TRUE(SetLocalTime(path, year, month, day, hour, minute, second));
    return path;
  }
  static std::u16string Windows(const std::string& path) {
    return test_files::WindowsFromPosix(path);
  }

  // --- Reading the page ---
  // An element of the page (the QR page has ids of the same name).
  lq::CElement* Element(const char16_t* pId) {
    return ui_test::Find(m_pMain, u"ImageShowFrame")->FindById(pId);
  }
  std::u16string Text(const char16_t* pId) { return Element(pId)->TextValue(); }
  bool Hidden(const char16_t* pId) { return Element(pId)->HiddenFlag(); }
  lq::CScrollElement* Scroll(const char16_t* pId) {
    return static_cast<lq::CScrollElement*>(Element(pId));
  }
  std::vector<lq::CElement*> StripItems() { return Element(u"topPackupFrameScrollView")->Children(); }
  // The container shown now, or null.
  lq::CElement* Shown() {
    for (lq::CElement* pChild : Element(u"photoScrollView")->Children()) {
      if (!pChild->HiddenFlag()) return pChild;
    }
    return nullptr;
  }
  // The groups of a container, top first.
  static std::vector<GroupView> Groups(lq::CElement* pContainer) {
    std::vector<GroupView> groups;
    if (!pContainer) return groups;
    for (lq::CElement* pGroup : pContainer->Children()) {
      GroupView view{pGroup->NameText(), u"", pGroup->Rect(), {}};
      if (lq::CElement* pCount = pGroup->FindById(u"countText")) view.count = pCount->TextValue();
      for (lq::CElement* pChild : pGroup->Children()) {
        if (pChild->FindById(u"imageborder")) view.tiles.push_back(pChild);
      }
      groups.push_back(std::move(view));
    }
    std::sort(groups.begin(), groups.end(),
              [](const GroupView& a, const GroupView& b) { return a.rect.top < b.rect.top; });
    return groups;
  }
  static std::u16string PathOf(lq::CElement* pTile) {
    return pTile->FindById(u"imageborder")->NameText();
  }
  // Whether the tile shows a thumbnail (a picture object), the video placeholder or nothing.
  static std::string Look(lq::CElement* pTile) {
    const lq::PictureRef& picture = pTile->FindById(u"userImg")->Picture();
    if (picture.Object()) return "thumbnail";
    if (!picture.Path().empty()) return "placeholder";
    return "none";
  }

  // --- Driving it ---
  // Runs the UI thread until the current phone's walk ended and its container shows (its newest
  // day, at least).
  bool WaitForWalk() {
    return PumpUntil([this] { return Hidden(u"loading") && Shown() != nullptr; });
  }
  // The walk, then the build timer's slices that place the container's older days.
  bool WaitForScan() {
    if (!WaitForWalk()) return false;
    for (int i = 0; i < 10000 && m_pPage->BuildingCountForTesting() > 0; ++i) m_clock.Advance(4);
    return m_pPage->BuildingCountForTesting() == 0;
  }
  // Runs the UI thread until no thumbnail is being decoded and every decoded one is shown.
  bool SettleDecodes() {
    return PumpUntil([this] { return m_pPage->DecodesInFlight() == 0; });
  }
  // The clock's timers, then the thumbnails they asked for.
  void Advance(win32::DWORD ms) {
    m_clock.Advance(ms);
    EXPECT_TRUE(SettleDecodes());
  }
  // Runs timer 6 until no tile is left to make.
  void MakeAllTiles() {
    for (int i = 0; i < 2000 && m_pPage->PendingCountForTesting() > 0; ++i) Advance(15);
  }

  CKwManualTimerHost m_clock;
  win32::fakes::FakeDesktop m_desktop;
  CFakeRoot m_root;
  CTestHost m_host;
  std::unique_ptr<CImageShowPageAdapter> m_pPage;
  size_t m_textures = 0;
};

}  // namespace photo_test
