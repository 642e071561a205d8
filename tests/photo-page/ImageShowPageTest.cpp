// The photo page in the main window on the null view: the phone strip and its selection, the
// status line through a backup, the grid built from the phone's folder (loading until the walk
// ends, day groups, tiles in view first, videos, clicks that open only photos under the backup
// folder), arrivals (rows, new days, local dates, arrivals during the walk), both unbind flows
// and the boxes and tips they show, the backup folder, info.ini keys, re-keyed phones and the
// texture budget.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "PageTestSupport.h"
#include "win32/strings.h"

using namespace win32;
using namespace photo_test;

namespace {

constexpr char16_t kUnknown[] = u"最后一次备份时间：未知";

class ImageShowPageTest : public CPageTest {};

// The strip lists the bound phones 275 px apart from x = 200 and scrolls from three on; the
// first phone is selected, a phone without a name is "手机"; clicking a name selects that phone
// (the strip scrolls it 500 px in) and folds the strip; the add button asks the host for the
// binding page, and a list with no phone left does too.
TEST_F(ImageShowPageTest, StripSelectionAndHostCommands) {
  Bind(1, u"Ostra");
  Bind(2, u"");
  Bind(3, u"Marlo");
  m_pPage->RefreshPhoneList(0, 0);
  std::vector<lq::CElement*> items = StripItems();
  ASSERT_EQ(items.size(), 3u);
  for (size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(items[i]->Rect().left, 200 + 275 * static_cast<LONG>(i));
    EXPECT_EQ(items[i]->Rect().right - items[i]->Rect().left, 275);
  }
  EXPECT_EQ(items[1]->FindById(u"phoneName")->TextValue(), u"手机");
  EXPECT_EQ(items[2]->FindById(u"breakLink")->NameText(), u"Marlo");
  EXPECT_TRUE(Scroll(u"topPackupFrameScrollView")->ScrollEnabled(false));
  EXPECT_TRUE(Hidden(u"topPackupFrame"));
  EXPECT_EQ(Text(u"phonename"), u"Ostra");
  EXPECT_EQ(Text(u"statusText"), kUnknown);
  EXPECT_FALSE(items[0]->FindById(u"downbkg")->HiddenFlag());
  EXPECT_EQ(items[0]->FindById(u"phoneImage")->Picture().Path(),
            u"platformres:image\\rightBarPhoneColor.png");
  EXPECT_FALSE(Hidden(u"loading"));  // its folder is being walked
  ASSERT_TRUE(WaitForScan());

  ASSERT_TRUE(Element(u"exproseBtn")->UserClick());
  EXPECT_FALSE(Hidden(u"topPackupFrame"));
  EXPECT_TRUE(Hidden(u"curshowPhoneUI"));
  ASSERT_TRUE(items[2]->FindById(u"phoneName")->UserClick());
  EXPECT_EQ(Text(u"phonename"), u"Marlo");
  EXPECT_EQ(Scroll(u"topPackupFrameScrollView")->ScrollPosition().x, 250);
  EXPECT_TRUE(items[0]->FindById(u"downbkg")->HiddenFlag());
  EXPECT_EQ(items[0]->FindById(u"phoneImage")->Picture().Path(),
            u"platformres:image\\rightBarPhone.png");
  EXPECT_TRUE(Hidden(u"topPackupFrame"));
  EXPECT_FALSE(Hidden(u"curshowPhoneUI"));
  EXPECT_FALSE(Hidden(u"exproseBtn"));
  ASSERT_TRUE(WaitForScan());

  m_pPage->RefreshPhoneList(1, 2);
  EXPECT_EQ(Text(u"phonename"), u"手机");
  ASSERT_TRUE(WaitForScan());
  ASSERT_TRUE(Element(u"exproseBtn")->UserClick());
  ASSERT_TRUE(Element(u"addnewDeviceBtn")->UserClick());
  EXPECT_EQ(m_host.m_commands, std::vector<int>{3});
  ASSERT_TRUE(Element(u"packBtn")->UserClick());
  EXPECT_TRUE(Hidden(u"topPackupFrame"));
  m_pPage->RefreshPhoneList(0, 0);
  EXPECT_EQ(StripItems().size(), 3u);  // nothing doubled
  m_root.m_store.m_bound.clear();
  m_pPage->RefreshPhoneList(0, 0);
  EXPECT_EQ(m_host.m_commands.back(), 4);
}

// The status line through batches: in progress with the count and the busy sign's frames; a
// batch that ends with files left shows the last backup time; a clean one shows "备份完成" for
// 3 s. A phone that went offline on one road but is reachable on the other stays online.
TEST_F(ImageShowPageTest, StatusLineThroughBatches) {
  Bind(1, u"Ostra");
  Bind(2, u"Marlo", 1);
  m_pPage->RefreshPhoneList(0, 0);
  ASSERT_TRUE(WaitForScan());
  m_pPage->OnBackupProgress(1, 1, 5);
  EXPECT_EQ(Text(u"statusText"), u"有5张照片正在备份...");
  EXPECT_FALSE(Hidden(u"loadingAniImg"));
  Advance(30);
  EXPECT_EQ(Element(u"loadingAniImg")->Picture().Path(), u"platformres:loadinganimation\\1.png");
  Advance(30);
  EXPECT_EQ(Element(u"loadingAniImg")->Picture().Path(), u"platformres:loadinganimation\\2.png");
  m_pPage->OnBackupProgress(1, 0, 3);  // ended with three files left
  EXPECT_EQ(Text(u"statusText"), kUnknown);
  EXPECT_TRUE(Hidden(u"loadingAniImg"));
  const size_t timers = KwTimer::TimerCountForTesting();

  std::string photo = Photo("Ostra", "cam/a.png", 2024, 6, 1, 10, 0);
  m_pPage->AddPhoto(1, Windows(photo).c_str());
  m_pPage->OnBackupProgress(1, 1, 1);
  m_pPage->OnBackupProgress(1, 0, 0);
  EXPECT_EQ(Text(u"statusText"), u"备份完成");
  Advance(2999);
  EXPECT_EQ(Text(u"statusText"), u"备份完成");
  Advance(1);
  // "最近备份时间：" and the local time as 2024-06-01 10:00.
  const std::u16string status = Text(u"statusText");
  const std::u16string shape = u"最近备份时间：dddd-dd-dd dd:dd";
  bool shaped = status.size() == shape.size();
  for (size_t i = 0; shaped && i < shape.size(); ++i) {
    shaped = shape[i] == u'd' ? status[i] >= u'0' && status[i] <= u'9' : status[i] == shape[i];
  }
  EXPECT_TRUE(shaped) << Utf16ToUtf8(status);
  EXPECT_LE(KwTimer::TimerCountForTesting(), timers);

  // Marlo is offline in the store: a lost connection leaves it offline, and a selection then
  // shows no backup in progress; reachable the other way, it is online.
  m_pPage->OnBackupProgress(2, 1, 4);
  m_pPage->OnDeviceState(2, 0);
  m_pPage->RefreshPhoneList(1, 2);
  EXPECT_EQ(Text(u"statusText"), kUnknown);
  EXPECT_TRUE(Hidden(u"loadingAniImg"));
  m_root.m_store.m_bound[1].offline = 0;
  m_pPage->OnDeviceState(2, 0);
  m_pPage->RefreshPhoneList(1, 1);
  m_pPage->RefreshPhoneList(1, 2);
  EXPECT_EQ(Text(u"statusText"), u"有4张照片正在备份...");
  EXPECT_FALSE(Hidden(u"loadingAniImg"));
  ASSERT_TRUE(WaitForScan());
}

// Exactly one phone is selected, and the panel, the strip and the grid show the same one: a
// one-character name is selected like any other, another phone's unbinding leaves the selection
// alone, the first phone's progress then stays off the line, and a phone reporting more done
// than announced shows none left.
TEST_F(ImageShowPageTest, OnePhoneSelectedInPanelStripAndGrid) {
  Bind(1, u"我");
  Bind(2, u"Marlo");
  Photo("我", "cam/a.png", 2024, 3, 1, 9, 0);
  Photo("Marlo", "cam/b.png", 2024, 3, 2, 9, 0);
  Photo("Pell", "cam/c.png", 2024, 3, 3, 9, 0);
  auto expectShown = [this](const std::u16string& name, const std::u16string& day) {
    std::vector<std::u16string> marked;
    for (lq::CElement* pItem : StripItems()) {
      if (!pItem->FindById(u"downbkg")->HiddenFlag()) {
        marked.push_back(pItem->FindById(u"phoneName")->TextValue());
      }
    }
    EXPECT_EQ(marked, std::vector<std::u16string>{name});
    EXPECT_EQ(Text(u"phonename"), name);
    ASSERT_TRUE(WaitForScan());
    std::vector<GroupView> groups = Groups(Shown());
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(groups[0].title, day);
  };
  m_pPage->RefreshPhoneList(0, 0);
  expectShown(u"我", u"2024年3月1日");
  Bind(3, u"Pell");
  m_pPage->RefreshPhoneList(0, 0);
  expectShown(u"我", u"2024年3月1日");

  ASSERT_TRUE(Element(u"exproseBtn")->UserClick());
  Script().PushClick(u"okbtn");
  ASSERT_TRUE(StripItems()[1]->FindById(u"breakLink")->UserClick());
  EXPECT_EQ(m_root.m_logic.m_unbound, std::vector<int64_t>{2});
  expectShown(u"我", u"2024年3月1日");
  ASSERT_TRUE(StripItems()[1]->FindById(u"phoneName")->UserClick());  // the strip is still open
  expectShown(u"Pell", u"2024年3月3日");

  m_pPage->OnBackupProgress(1, 1, 9);
  EXPECT_EQ(Text(u"statusText"), kUnknown);
  m_pPage->OnDeviceState(3, 1);
  m_pPage->OnBackupProgress(3, 1, -4);
  EXPECT_EQ(Text(u"statusText"), u"有0张照片正在备份...");
  m_pPage->OnBackupProgress(3, 0, 0);
  EXPECT_EQ(Text(u"statusText"), u"备份完成");
  ASSERT_TRUE(WaitForScan());
}

// A phone's folder becomes day groups, newest first: titles, counts with a blank, six tiles a
// row; the tiles in view are made first, then the rest at the usual pace; videos and GIFs show
// the placeholder. A click opens the tile's photo; a file of another kind, or one outside the
// backup folder, never opens.
TEST_F(ImageShowPageTest, GridFromTheFolderAndWhatClicksOpen) {
  Bind(1, u"Ostra");
  for (int i = 0; i < 7; ++i) {
    Photo("Ostra", "cam/d12_" + std::to_string(i) + ".png", 2024, 3, 12, 20 - i, 0);
  }
  Photo("Ostra", "cam/anim.gif", 2024, 3, 11, 9, 0);
  Photo("Ostra", "cam/clip.mp4", 2024, 3, 11, 8, 0);
  Photo("Ostra", "old/feb.jpg", 2024, 2, 28, 12, 0);
  Photo("Ostra", "loose.png", 2024, 2, 27, 12, 0);  // in the phone's folder itself: not shown
  m_pPage->RefreshPhoneList(0, 0);
  ASSERT_TRUE(WaitForScan());
  std::vector<GroupView> groups = Groups(Shown());
  ASSERT_EQ(groups.size(), 3u);
  EXPECT_EQ(groups[0].title, u"2024年3月12日");
  EXPECT_EQ(groups[0].count, u"7 张");
  EXPECT_EQ(groups[1].title, u"2024年3月11日");
  EXPECT_EQ(groups[2].count, u"1 张");
  EXPECT_EQ(groups[0].rect.top, 0);
  EXPECT_EQ(groups[0].rect.bottom, 274);
  EXPECT_EQ(groups[1].rect.bottom, 426);
  EXPECT_EQ(groups[2].rect.bottom, 578);
  EXPECT_EQ(Shown()->Rect().bottom, 578);
  EXPECT_TRUE(Scroll(u"photoScrollView")->ScrollEnabled(true));
  EXPECT_EQ(m_pPage->PendingCountForTesting(), 10u);

  // Tiles in view (the first two days) come first, 15 ms apart (a tick works 12 ms at most, so
  // a slow machine needs more of them); the third day's waits.
  for (int tick = 0; tick < 100 && groups[0].tiles.size() + groups[1].tiles.size() < 9; ++tick) {
    Advance(15);
    groups = Groups(Shown());
    EXPECT_TRUE(groups[2].tiles.empty());
  }
  EXPECT_EQ(groups[0].tiles.size() + groups[1].tiles.size(), 9u);
  Advance(200);
  groups = Groups(Shown());
  ASSERT_EQ(groups[2].tiles.size(), 1u);
  EXPECT_EQ(m_pPage->PendingCountForTesting(), 0u);
  for (lq::CElement* pTile : groups[0].tiles) {
    std::u16string path = PathOf(pTile);
    int n = path[path.size() - 5] - u'0';  // d12_<n>.png, newest first
    EXPECT_EQ(pTile->Rect().left, (n % 6) * 122) << n;
    EXPECT_EQ(pTile->Rect().top, 30 + (n / 6) * 122) << n;
    EXPECT_EQ(Look(pTile), "thumbnail");
    EXPECT_TRUE(pTile->FindById(u"imageborder")->HasHandCursor());
  }
  for (lq::CElement* pTile : groups[1].tiles) EXPECT_EQ(Look(pTile), "placeholder");
  EXPECT_EQ(Pictor::LiveTextureCount(), m_textures + 8);
  EXPECT_EQ(m_pPage->TextureBytesForTesting(), 8u * 120 * 120 * 4);

  ASSERT_TRUE(groups[2].tiles[0]->FindById(u"imageborder")->UserClick());
  std::vector<ShellOpenPlan> opens = m_desktop.ShellOpens();
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].uri, "file://" + Folder("Ostra") + "/old/feb.jpg");

  // An uploaded launcher and a photo outside the backup folder get tiles but never open.
  std::string launcher = Photo("Ostra", "cam/run.desktop", 2024, 3, 12, 21, 0);
  test_files::WriteWholeFile(Root() + "/elsewhere/x.jpg", "x");
  m_pPage->AddPhoto(1, Windows(launcher).c_str());
  m_pPage->AddPhoto(1, Windows(Root() + "/elsewhere/x.jpg").c_str());
  m_pPage->AddPhoto(1, u"\\a.b");  // four characters or fewer: nothing
  m_pPage->AddPhoto(1, Windows(Folder("Ostra") + "/cam/missing.jpg").c_str());
  size_t tiles = 0;
  for (const GroupView& group : Groups(Shown())) {
    for (lq::CElement* pTile : group.tiles) {
      ++tiles;
      std::u16string path = PathOf(pTile);
      if (path.ends_with(u"run.desktop") || path.ends_with(u"x.jpg")) {
        EXPECT_TRUE(pTile->FindById(u"imageborder")->UserClick());
      }
    }
  }
  EXPECT_EQ(tiles, 12u);
  EXPECT_EQ(m_desktop.ShellOpens().size(), 1u);
}

// Arrivals: the seventh photo of a day grows its group by a row and moves older days down 122;
// an older new day goes 4 px below the newer ones and moves older days down 152, counting "1张"
// then "2张"; a photo from half past midnight joins its local day. Rows follow the index, so an
// arrival while a day's tiles are pending does not add a row it does not need.
TEST_F(ImageShowPageTest, ArrivalsGrowRowsAndDays) {
  Bind(1, u"Ostra");
  for (int i = 0; i < 6; ++i) Photo("Ostra", "cam/m6_" + std::to_string(i) + ".png", 2024, 5, 6, 10 + i, 0);
  Photo("Ostra", "cam/m1.png", 2024, 5, 1, 10, 0);
  m_pPage->RefreshPhoneList(0, 0);
  ASSERT_TRUE(WaitForScan());
  MakeAllTiles();
  std::vector<GroupView> groups = Groups(Shown());
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].rect.bottom, 152);
  EXPECT_EQ(groups[1].rect.top, 152);

  std::string seventh = Photo("Ostra", "cam/m6_late.png", 2024, 5, 6, 23, 0);
  m_pPage->AddPhoto(1, Windows(seventh).c_str());
  EXPECT_EQ(m_pPage->DecodesInFlight(), 1u);  // asked for at once, shown when decoded
  ASSERT_TRUE(SettleDecodes());
  groups = Groups(Shown());
  EXPECT_EQ(groups[0].rect.bottom, 274);
  EXPECT_EQ(groups[0].count, u"7张");
  EXPECT_EQ(groups[1].rect.top, 274);
  EXPECT_EQ(Shown()->Rect().bottom, 274 + 152);
  for (lq::CElement* pTile : groups[0].tiles) {
    if (PathOf(pTile).ends_with(u"m6_late.png")) {
      EXPECT_EQ(pTile->Rect().left, 0);
      EXPECT_EQ(pTile->Rect().top, 30);
      EXPECT_EQ(Look(pTile), "thumbnail");  // in view
    }
    if (PathOf(pTile).ends_with(u"m6_0.png")) {
      EXPECT_EQ(pTile->Rect().top, 152);  // pushed on
    }
  }

  std::string may3 = Photo("Ostra", "cam/may3.png", 2024, 5, 3, 12, 0);
  m_pPage->AddPhoto(1, Windows(may3).c_str());
  groups = Groups(Shown());
  ASSERT_EQ(groups.size(), 3u);
  EXPECT_EQ(groups[1].title, u"2024年5月3日");
  EXPECT_EQ(groups[1].count, u"1张");
  EXPECT_EQ(groups[1].rect.top, 278);
  EXPECT_EQ(groups[1].rect.bottom, 430);
  EXPECT_EQ(groups[2].rect.top, 274 + 152);
  EXPECT_EQ(groups[1].tiles[0]->Rect().right, 120);
  std::string may3b = Photo("Ostra", "cam/may3b.png", 2024, 5, 3, 13, 0);
  m_pPage->AddPhoto(1, Windows(may3b).c_str());
  EXPECT_EQ(Groups(Shown())[1].count, u"2张");
  // Shanghai half past midnight is the day before in UTC: it joins 6 May, as after a restart.
  std::string midnight = Photo("Ostra", "cam/midnight.png", 2024, 5, 6, 0, 30);
  m_pPage->AddPhoto(1, Windows(midnight).c_str());
  groups = Groups(Shown());
  EXPECT_EQ(groups.size(), 3u);
  EXPECT_EQ(groups[0].count, u"8张");
  // A day in the middle gains a row: the newer day stays where it is, only the older moves on.
  for (int i = 0; i < 5; ++i) {
    std::string more = Photo("Ostra", "cam/may3_" + std::to_string(i) + ".png", 2024, 5, 3, 14 + i, 0);
    m_pPage->AddPhoto(1, Windows(more).c_str());
  }
  groups = Groups(Shown());
  EXPECT_EQ(groups[1].count, u"7张");
  EXPECT_EQ(groups[0].rect.top, 0);
  EXPECT_EQ(groups[0].rect.bottom, 274);
  EXPECT_EQ(groups[1].rect.top, 278);
  EXPECT_EQ(groups[1].rect.bottom, 430 + 122);
  EXPECT_EQ(groups[2].rect.top, 274 + 152 + 122);
  EXPECT_EQ(CImageShowPageAdapter::ParseDateTitle(u"2024年5月3日"), 20240503);
  EXPECT_EQ(CImageShowPageAdapter::ParseDateTitle(u"24年5月3日"), 240503);
  EXPECT_EQ(CImageShowPageAdapter::ParseDateTitle(u"2024年5月"), 0);

  // A second phone whose three tiles are still pending when the fourth arrives: one row.
  Bind(2, u"Marlo");
  for (int i = 0; i < 3; ++i) Photo("Marlo", "cam/p" + std::to_string(i) + ".png", 2024, 7, 1, 9 + i, 0);
  m_pPage->RefreshPhoneList(1, 2);
  ASSERT_TRUE(WaitForScan());
  ASSERT_EQ(m_pPage->PendingCountForTesting(), 3u);
  std::string fourth = Photo("Marlo", "cam/p3.png", 2024, 7, 1, 20, 0);
  m_pPage->AddPhoto(2, Windows(fourth).c_str());
  MakeAllTiles();
  groups = Groups(Shown());
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].rect.bottom, 152);
  std::vector<LONG> lefts;
  for (lq::CElement* pTile : groups[0].tiles) {
    EXPECT_EQ(pTile->Rect().top, 30);
    lefts.push_back(pTile->Rect().left);
  }
  std::sort(lefts.begin(), lefts.end());
  EXPECT_EQ(lefts, (std::vector<LONG>{0, 122, 244, 366}));
}

// Photos that arrive before the container can take them (the walk still running, or another
// phone shown) are kept and shown once the container is built, exactly once each.
TEST_F(ImageShowPageTest, ArrivalsBeforeTheContainerAreShownOnce) {
  Bind(1, u"Ostra");
  Bind(2, u"Marlo");
  for (int i = 0; i < 40; ++i) {
    Photo("Ostra", "cam/o" + std::to_string(i) + ".png", 2024, 8, 1 + i % 3, 10, i);
  }
  m_pPage->RefreshPhoneList(0, 0);
  // The walk runs: an arrival now may or may not be met by it.
  std::string during = Photo("Ostra", "cam/during.png", 2024, 8, 2, 12, 0);
  m_pPage->AddPhoto(1, Windows(during).c_str());
  std::string marlo = Photo("Marlo", "cam/m.png", 2024, 8, 5, 12, 0);
  m_pPage->AddPhoto(2, Windows(marlo).c_str());  // Marlo's container is not built yet
  ASSERT_TRUE(WaitForScan());
  size_t shown = 0;
  size_t total = 0;
  MakeAllTiles();
  for (const GroupView& group : Groups(Shown())) {
    for (lq::CElement* pTile : group.tiles) {
      ++total;
      shown += PathOf(pTile).ends_with(u"during.png");
    }
  }
  EXPECT_EQ(shown, 1u);
  EXPECT_EQ(total, 41u);
  m_pPage->RefreshPhoneList(1, 2);
  ASSERT_TRUE(PumpUntil([this] {
    std::vector<GroupView> groups = Groups(Shown());
    return Hidden(u"loading") && groups.size() == 1 && groups[0].title == u"2024年8月5日";
  }));
  EXPECT_EQ(Groups(Shown())[0].count, u"1 张");
}

// A long history is placed newest day first, in slices: the newest day shows at the walk's end,
// the older ones follow on the build timer, and arrivals meanwhile wait and then land once, an
// older day's in its group and a new day's on top.
TEST_F(ImageShowPageTest, LongHistoryIsPlacedInSlicesNewestFirst) {
  m_pPage->SetBuildSliceForTesting(std::chrono::microseconds(0));  // one day a slice
  Bind(1, u"Ostra");
  for (int day = 1; day <= 9; ++day) {
    Photo("Ostra", "cam/d" + std::to_string(day) + ".png", 2024, 3, day, 9, 0);
  }
  m_pPage->RefreshPhoneList(0, 0);
  ASSERT_TRUE(WaitForWalk());
  std::vector<GroupView> groups = Groups(Shown());
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].title, u"2024年3月9日");
  EXPECT_EQ(Shown()->Rect().bottom, 152);
  EXPECT_EQ(m_pPage->BuildingCountForTesting(), 1u);

  std::string older = Photo("Ostra", "cam/late3.png", 2024, 3, 3, 23, 0);
  std::string newer = Photo("Ostra", "cam/d10.png", 2024, 3, 10, 8, 0);
  m_pPage->AddPhoto(1, Windows(older).c_str());
  m_pPage->AddPhoto(1, Windows(newer).c_str());
  EXPECT_LE(Groups(Shown()).size(), 2u);
  for (int i = 0; i < 50 && m_pPage->BuildingCountForTesting() > 0; ++i) Advance(4);
  ASSERT_EQ(m_pPage->BuildingCountForTesting(), 0u);
  MakeAllTiles();
  Advance(200);
  EXPECT_EQ(KwTimer::TimerCountForTesting(), 0u);  // the build's timer went with the build
  groups = Groups(Shown());
  ASSERT_EQ(groups.size(), 10u);
  size_t tiles = 0;
  for (size_t i = 0; i < groups.size(); ++i) {
    const int day = 10 - static_cast<int>(i);
    EXPECT_EQ(groups[i].title, u"2024年3月" + Utf8ToUtf16(std::to_string(day)) + u"日");
    EXPECT_EQ(groups[i].rect.top, static_cast<LONG>(i) * 152) << day;
    EXPECT_EQ(groups[i].rect.bottom, static_cast<LONG>(i + 1) * 152) << day;
    tiles += groups[i].tiles.size();
  }
  EXPECT_EQ(groups[0].count, u"1张");
  EXPECT_EQ(groups[7].count, u"2张");
  EXPECT_EQ(groups[7].tiles.size(), 2u);
  EXPECT_EQ(tiles, 11u);
  EXPECT_EQ(Shown()->Rect().bottom, 1520);
}

// Unbinding from the page: the confirm box, the logic's unbind, the strip and grid without the
// phone, its thumbnails freed and its pending tiles dropped, its files kept, the first phone
// selected. The phone unbinding itself while the box runs leaves nothing to do after OK. A notice
// while the main window is in front is a box (a second one closes the first); otherwise a
// corner tip the page owns. The last phone gone sends the user to the binding page.
TEST_F(ImageShowPageTest, UnbindFlowsBoxesAndTips) {
  Bind(1, u"Ostra");
  Bind(2, u"Marlo");
  Bind(3, u"Pell");
  for (int i = 0; i < 30; ++i) Photo("Ostra", "cam/o" + std::to_string(i) + ".png", 2024, 9, 1, 8, i);
  m_pPage->RefreshPhoneList(0, 0);
  ASSERT_TRUE(WaitForScan());
  Advance(15);
  ASSERT_GT(m_pPage->TextureBytesForTesting(), 0u);
  ASSERT_GT(m_pPage->PendingCountForTesting(), 0u);

  ASSERT_TRUE(Element(u"exproseBtn")->UserClick());  // the strip shows
  lq::CElement* pBreak = StripItems()[0]->FindById(u"breakLink");
  Script().PushClick(u"canclbtn");
  ASSERT_TRUE(pBreak->UserClick());
  EXPECT_TRUE(m_root.m_logic.m_unbound.empty());
  Script().PushClick(u"okbtn");
  ASSERT_TRUE(pBreak->UserClick());
  EXPECT_EQ(m_root.m_logic.m_unbound, std::vector<int64_t>{1});
  ASSERT_EQ(StripItems().size(), 2u);
  EXPECT_EQ(StripItems()[0]->Rect().left, 200);
  EXPECT_FALSE(Scroll(u"topPackupFrameScrollView")->ScrollEnabled(false));
  EXPECT_EQ(m_pPage->TextureBytesForTesting(), 0u);
  EXPECT_EQ(m_pPage->PendingCountForTesting(), 0u);
  EXPECT_EQ(Pictor::LiveTextureCount(), m_textures);
  EXPECT_TRUE(std::filesystem::exists(Folder("Ostra") + "/cam/o0.png"));
  EXPECT_EQ(Text(u"phonename"), u"Marlo");
  ASSERT_TRUE(WaitForScan());

  // Marlo unbinds itself while its confirm box runs (the notice shows as a tip): OK then does
  // nothing more.
  Script().PushCall([this](ILqElement*) {
    m_root.m_store.Unbind(2);
    m_pPage->OnUnbindNotice(2, 0);
  });
  Script().PushClick(u"okbtn");
  if (Hidden(u"topPackupFrame")) {
    ASSERT_TRUE(Element(u"exproseBtn")->UserClick());
  }
  ASSERT_TRUE(StripItems()[0]->FindById(u"breakLink")->UserClick());
  EXPECT_EQ(m_root.m_logic.m_unbound, std::vector<int64_t>{1});
  ASSERT_EQ(StripItems().size(), 1u);
  std::vector<lq::CWindowElement*> windows = lq::CWindowElement::AllWindows();
  ASSERT_EQ(windows.size(), 2u);  // the main window and the tip
  lq::CWindowElement* pTip = windows[0] == lq::CElement::FromInterface(m_pMain) ? windows[1]
                                                                               : windows[0];
  EXPECT_EQ(ui_test::Find(pTip, u"contextText")->TextValue(), u"手机Marlo解除了与此电脑的绑定。");
  Advance(5 * 11);
  EXPECT_EQ(pTip->Rect().right, 1275);
  EXPECT_EQ(pTip->Rect().bottom, 989);

  // Pell unbinds itself with the window in front: a box; a second notice while it shows closes
  // it and shows its own.
  std::vector<std::u16string> texts;
  m_root.m_store.Unbind(3);
  Script().PushCall([&](ILqElement* pWindow) {
    texts.push_back(ui_test::Find(pWindow, u"contextText")->TextValue());
    Script().PushCall([&](ILqElement* pInner) {
      texts.push_back(ui_test::Find(pInner, u"contextText")->TextValue());
    });
    Script().PushClick(u"okbtn");
    m_pPage->OnUnbindNotice(3, 1);
  });
  m_pPage->OnUnbindNotice(3, 1);
  EXPECT_EQ(texts, (std::vector<std::u16string>{u"手机Pell解除了与此电脑的绑定。",
                                                u"手机Pell解除了与此电脑的绑定。"}));
  EXPECT_TRUE(StripItems().empty());
  EXPECT_EQ(m_host.m_commands, std::vector<int>{4});
  EXPECT_TRUE(Script().Failures().empty());

  // The page closes its tip; the tip is let go afterwards.
  m_pPage->ClosePopups();
  EXPECT_EQ(lq::CWindowElement::AllWindows().size(), 1u);
  Advance(1);
}

// The backup folder opens in the shell (made first when missing); when it cannot be made, or
// there is no store, a warning box says so.
TEST_F(ImageShowPageTest, OpenBackupFolder) {
  Bind(1, u"Ostra");
  m_pPage->RefreshPhoneList(0, 0);
  ASSERT_TRUE(WaitForScan());
  ASSERT_TRUE(Element(u"openDirPath")->UserClick());
  EXPECT_TRUE(std::filesystem::is_directory(Folder("Ostra")));
  ASSERT_EQ(m_desktop.ShellOpens().size(), 1u);
  EXPECT_EQ(m_desktop.ShellOpens()[0].uri, "file://" + Folder("Ostra"));

  test_files::WriteWholeFile(Root() + "/blocked", "a file");
  m_root.m_store.m_workDir = Windows(Root() + "/blocked");
  ASSERT_TRUE(Element(u"openDirPath")->UserClick());
  CachedOrbalynDB::Clear();
  SetOrbalynRootForTesting(nullptr);
  ASSERT_TRUE(Element(u"openDirPath")->UserClick());
  std::vector<fakes::FakeDesktop::MessageBoxCall> boxes = m_desktop.MessageBoxes();
  ASSERT_EQ(boxes.size(), 2u);
  for (const auto& box : boxes) {
    EXPECT_EQ(box.text, u"无法打开备份目录, 请确保磁盘可用!");
    EXPECT_EQ(box.caption, u"警告");
    EXPECT_EQ(box.type & MB_TYPEMASK, MB_OK);
  }
  EXPECT_EQ(m_desktop.ShellOpens().size(), 1u);
  SetOrbalynRootForTesting(&m_root);
}

// Phone names become info.ini keys that read back, whatever they hold, and each phone keeps
// one line however many photos arrive.
TEST_F(ImageShowPageTest, LastBackupTimesReadBackOneLinePerPhone) {
  const std::vector<std::u16string> names = {u"a=b", u"[x]", u";x", u" x ", u"Ostra"};
  for (size_t i = 0; i < names.size(); ++i) Bind(static_cast<int64_t>(i + 1), names[i]);
  m_pPage->RefreshPhoneList(0, 0);
  ASSERT_TRUE(WaitForScan());
  for (size_t i = 0; i < names.size(); ++i) {
    std::string folder = "p" + std::to_string(i);
    for (int n = 0; n < (i == 1 ? 100 : 1); ++n) {
      std::string photo = Photo(folder, "cam/" + std::to_string(n) + ".png", 2024, 4, 1, 9, 0);
      m_pPage->AddPhoto(static_cast<int64_t>(i + 1), Windows(photo).c_str());
    }
  }
  m_pPage->RefreshPhoneList(1, static_cast<int64_t>(names.size()));
  ASSERT_TRUE(PumpUntil([this] { return Hidden(u"loading"); }));
  for (size_t i = 0; i < names.size(); ++i) {
    m_pPage->RefreshPhoneList(1, static_cast<int64_t>(i + 1));
    EXPECT_EQ(Text(u"phonename"), names[i]);
    EXPECT_TRUE(Text(u"statusText").starts_with(u"最近备份时间：")) << Utf16ToUtf8(names[i]);
    ASSERT_TRUE(PumpUntil([this] { return Hidden(u"loading"); }));
  }
  std::string ini = test_files::ReadWholeFile(Root() + "/info.ini");
  EXPECT_EQ(std::count(ini.begin(), ini.end(), '='), 5) << ini;
  EXPECT_NE(ini.find("\nOstra="), std::string::npos) << ini;
}

// A phone matched to an older entry takes its new id everywhere: arrivals under the new id land
// in its grid, and its unbinding frees its thumbnails and drops its pending tiles.
TEST_F(ImageShowPageTest, ChangeDeviceIdReKeysEntryTilesAndTextures) {
  Bind(1, u"Ostra");
  for (int i = 0; i < 30; ++i) Photo("Ostra", "cam/o" + std::to_string(i) + ".png", 2024, 9, 1, 8, i);
  m_pPage->RefreshPhoneList(0, 0);
  ASSERT_TRUE(WaitForScan());
  Advance(15);
  m_pPage->ChangeDeviceId(9, 1);
  m_root.m_store.m_bound[0].id = 9;
  std::string late = Photo("Ostra", "cam/late.png", 2024, 9, 1, 23, 0);
  m_pPage->AddPhoto(9, Windows(late).c_str());
  EXPECT_EQ(Groups(Shown())[0].count, u"31张");
  Advance(15);
  ASSERT_GT(m_pPage->TextureBytesForTesting(), 0u);
  ASSERT_GT(m_pPage->PendingCountForTesting(), 0u);
  m_root.m_store.Unbind(9);
  m_pPage->OnUnbindNotice(9, 0);
  EXPECT_EQ(m_pPage->TextureBytesForTesting(), 0u);
  EXPECT_EQ(m_pPage->PendingCountForTesting(), 0u);
  EXPECT_EQ(Pictor::LiveTextureCount(), m_textures);
  m_pPage->ClosePopups();
  Advance(1);
}

// Within the texture budget (here 20 thumbnails): far tiles give theirs up first and get them
// back, those in view first, when seen again; a phone not shown gives its up before that.
TEST_F(ImageShowPageTest, TexturesStayWithinTheBudget) {
  constexpr uint64_t kThumb = 120 * 120 * 4;
  m_pPage->SetTextureBudgetForTesting(20 * kThumb);
  Bind(1, u"Ostra");
  Bind(2, u"Marlo");
  for (int i = 0; i < 60; ++i) Photo("Ostra", "cam/o" + std::to_string(i) + ".png", 2024, 9, 1, 8, i);
  for (int i = 0; i < 12; ++i) Photo("Marlo", "cam/m" + std::to_string(i) + ".png", 2024, 9, 2, 8, i);
  m_pPage->RefreshPhoneList(0, 0);
  ASSERT_TRUE(WaitForScan());
  MakeAllTiles();
  auto inViewWithout = [this] {
    lq::CScrollElement* pView = Scroll(u"photoScrollView");
    const LONG top = pView->ScrollPosition().y;
    int missing = 0;
    for (const GroupView& group : Groups(Shown())) {
      for (lq::CElement* pTile : group.tiles) {
        LONG y = group.rect.top + pTile->Rect().top;
        if (y < top + 330 && y + 120 > top && Look(pTile) != "thumbnail") ++missing;
      }
    }
    return missing;
  };
  EXPECT_EQ(Groups(Shown())[0].tiles.size(), 60u);
  EXPECT_LE(m_pPage->TextureBytesForTesting(), 20 * kThumb);
  EXPECT_EQ(inViewWithout(), 0);

  // Scrolled: the next tick sees the tiles without thumbnails and makes them, quickly.
  auto refill = [&] {
    for (int tick = 0; tick < 20 && inViewWithout() > 0; ++tick) Advance(tick ? 15 : 200);
    return inViewWithout();
  };
  POINT bottom{0, 10000};
  Scroll(u"photoScrollView")->SetScrollPos(&bottom);
  EXPECT_GT(inViewWithout(), 0);
  EXPECT_EQ(refill(), 0);
  EXPECT_LE(m_pPage->TextureBytesForTesting(), 20 * kThumb);
  POINT top{0, 0};
  Scroll(u"photoScrollView")->SetScrollPos(&top);
  EXPECT_EQ(refill(), 0);
  EXPECT_LE(m_pPage->TextureBytesForTesting(), 20 * kThumb);
  EXPECT_EQ(Pictor::LiveTextureBytes(), m_pPage->TextureBytesForTesting());

  POINT ostraEnd{0, 10000};
  Scroll(u"photoScrollView")->SetScrollPos(&ostraEnd);
  m_pPage->RefreshPhoneList(1, 2);
  ASSERT_TRUE(WaitForScan());
  MakeAllTiles();
  EXPECT_EQ(Groups(Shown())[0].tiles.size(), 12u);
  EXPECT_EQ(Scroll(u"photoScrollView")->ScrollPosition().y, 0);  // two rows fit the view
  EXPECT_EQ(refill(), 0);
  EXPECT_LE(m_pPage->TextureBytesForTesting(), 20 * kThumb);
  size_t ostraThumbnails = 0;
  m_pPage->RefreshPhoneList(1, 1);  // back: Ostra's container again, its tiles kept
  for (const GroupView& group : Groups(Shown())) {
    for (lq::CElement* pTile : group.tiles) ostraThumbnails += Look(pTile) == "thumbnail";
  }
  EXPECT_LE(ostraThumbnails, 8u);  // Marlo's twelve took the room first
  EXPECT_EQ(refill(), 0);
  EXPECT_LE(m_pPage->TextureBytesForTesting(), 20 * kThumb);
}

}  // namespace
