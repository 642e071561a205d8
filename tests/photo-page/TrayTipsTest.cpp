// The corner tip on the null view with a manual clock and a scripted desktop: its place 5 px
// inside the work area, the slide in steps of a tenth of its width (and the extra steps, and no
// slide for narrow tips or kinds that do not slide), the 20 s stay, the fade and the close, the
// pointer holding it, the 28 px rule on leaving, and its button.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../ui/UiTestSupport.h"
#include "Basalt/CKwManualTimerHost.h"
#include "Basalt/KwTimer.h"
#include "TrayTipsBase.h"
#include "win32/fakes.h"

using namespace win32;

namespace {

// A tip from the test's own layout file (or the program's, for an empty reference) that counts
// how often its window went.
class CTestTip final : public CTrayTipsBase {
 public:
  CTestTip(std::u16string reference, std::u16string folder)
      : m_reference(std::move(reference)), m_folder(std::move(folder)) {}

  const WCHAR* GetLayoutReference() override {
    return m_reference.empty() ? CTrayTipsBase::GetLayoutReference() : m_reference.c_str();
  }
  const WCHAR* GetLayoutFolder() override { return m_folder.c_str(); }
  void OnTipDestroyed() override { ++m_destroyed; }

  int m_destroyed = 0;

 private:
  std::u16string m_reference;
  std::u16string m_folder;
};

class TrayTipsTest : public ui_test::CUiTest {
 protected:
  void SetUp() override {
    CUiTest::SetUp();
    KwTimer::SetHost(&m_clock);
    m_desktop.SetWorkArea(RECT{0, 0, 1280, 994});  // a panel docked at the bottom
    test_files::WriteWholeFile(Root() + "/layout/Tips.xml", R"(<?xml version="1.0"?>
<layout>
  <skein name="W205"><window rect="0,0,205,100" kind="Blue_TipsWindow">
    <text id="contextText" rect="0,30,205,60"/><button id="okbtn" rect="0,70,60,95"/>
  </window></skein>
  <skein name="W19"><window rect="0,0,19,100" kind="Red_SmallTipsWindow"/></skein>
  <skein name="W8"><window rect="0,0,8,100" kind="Green_TipsWindow"/></skein>
  <skein name="Orange"><window rect="0,0,200,100" kind="Orange_SmallTipsWindow"/></skein>
  <skein name="orange"><window rect="0,0,200,100" kind="orange_SmallTipsWindow"/></skein>
</layout>
)");
  }
  void TearDown() override {
    KwTimer::SetHost(nullptr);
    CUiTest::TearDown();
  }

  std::unique_ptr<CTestTip> MakeTip(const char16_t* pFrame = u"") {
    if (!*pFrame) return std::make_unique<CTestTip>(u"", u"");
    return std::make_unique<CTestTip>(std::u16string(u"platformskein:Tips.xml|") + pFrame,
                                      test_files::WindowsFromPosix(Root() + "/layout/"));
  }

  // The tip's window (the only top-level the tests make).
  static lq::CWindowElement* Window() {
    std::vector<lq::CWindowElement*> windows = lq::CWindowElement::AllWindows();
    return windows.size() == 1 ? windows.front() : nullptr;
  }
  static LONG Left() { return Window() ? Window()->Rect().left : -1; }
  static bool Shown() { return Window() && Window()->IsShownInTree(); }

  // Shows the tip in the work-area corner; its rectangle there.
  RECT ShowInCorner(CTestTip* pTip) {
    RECT rect{};
    EXPECT_EQ(pTip->GetTipRect(&rect), S_OK);
    PlaceAtWorkAreaCorner(&rect);
    pTip->ShowTip(5, &rect);
    return rect;
  }

  CKwManualTimerHost m_clock;
  fakes::FakeDesktop m_desktop;
};

// The program's tip, 300 px wide: placed 5 px inside the work area's corner, shown at the first
// tick at its final right edge and moved 30 px a tick; the eleventh tick leaves it in place and
// starts the 20 s; then the fade 200, 190, ... 10 every 200 ms, and the close on the next tick.
TEST_F(TrayTipsTest, SlidesInStaysFadesAndCloses) {
  auto pTip = MakeTip();
  pTip->SetText(u"手机Ostra解除了与此电脑的绑定。");
  RECT rect = ShowInCorner(pTip.get());
  EXPECT_EQ(rect.right, 1275);
  EXPECT_EQ(rect.bottom, 989);
  EXPECT_EQ(rect.right - rect.left, 300);
  ASSERT_NE(Window(), nullptr);
  EXPECT_EQ(ui_test::TextOf(ui_test::Find(Window(), u"contextText")), u"手机Ostra解除了与此电脑的绑定。");
  EXPECT_FALSE(Shown());
  for (int tick = 1; tick <= 10; ++tick) {
    m_clock.Advance(5);
    EXPECT_TRUE(Shown());
    EXPECT_EQ(Left(), 1275 - 30 * tick) << tick;
    EXPECT_EQ(Window()->Rect().top, rect.top);
  }
  const size_t sliding = KwTimer::TimerCountForTesting();
  m_clock.Advance(5);
  EXPECT_EQ(Left(), rect.left);
  EXPECT_EQ(KwTimer::TimerCountForTesting(), sliding);  // slide stopped, close timer started
  m_clock.Advance(19999);
  EXPECT_EQ(Window()->OpacityValue(), 255);
  m_clock.Advance(1);
  std::vector<int> fade;
  for (int step = 0; step < 21 && Window(); ++step) {
    m_clock.Advance(200);
    if (Window()) fade.push_back(Window()->OpacityValue());
  }
  std::vector<int> expected;
  for (int opacity = 200; opacity >= 10; opacity -= 10) expected.push_back(opacity);
  EXPECT_EQ(fade, expected);
  EXPECT_EQ(Window(), nullptr);
  EXPECT_EQ(pTip->m_destroyed, 1);
  EXPECT_EQ(KwTimer::TimerCountForTesting(), 0u);
}

// 205 px: 20 px a tick for ten ticks, then the last 5 px; 19 px: 1 px a tick for 19 ticks;
// 8 px (a tenth is no whole pixel) and the kinds that do not slide: placed at once.
TEST_F(TrayTipsTest, StepWidthsExtraStepsAndTipsThatDoNotSlide) {
  {
    auto pTip = MakeTip(u"W205");
    RECT rect = ShowInCorner(pTip.get());
    for (int tick = 1; tick <= 10; ++tick) {
      m_clock.Advance(5);
      EXPECT_EQ(Left(), rect.right - 20 * tick);
    }
    m_clock.Advance(5);
    EXPECT_EQ(Left(), rect.left);
    EXPECT_EQ(rect.right - 200 - 5, rect.left);
  }
  {
    auto pTip = MakeTip(u"W19");
    RECT rect = ShowInCorner(pTip.get());
    for (int tick = 1; tick <= 19; ++tick) {
      m_clock.Advance(5);
      EXPECT_EQ(Left(), rect.right - tick);
    }
    m_clock.Advance(5);
    EXPECT_EQ(Left(), rect.left);
  }
  for (const char16_t* pFrame : {u"W8", u"Orange"}) {
    auto pTip = MakeTip(pFrame);
    RECT rect = ShowInCorner(pTip.get());
    EXPECT_TRUE(Shown());
    EXPECT_EQ(Left(), rect.left);
    m_clock.Advance(20000);  // no slide: the stay starts at once
    m_clock.Advance(200);
    EXPECT_EQ(Window()->OpacityValue(), 200);
  }
  auto pLower = MakeTip(u"orange");  // the list's own spelling slides
  RECT rect = ShowInCorner(pLower.get());
  EXPECT_FALSE(Shown());
  m_clock.Advance(5);
  EXPECT_EQ(Left(), rect.right - 20);
}

// The pointer over the tip holds it at full opacity with no timer running, also during the
// fade; leaving onto a child below the caption does not count; leaving through the caption or
// out of the tip starts a new 20 s. The button closes it at once.
TEST_F(TrayTipsTest, PointerHoldsTheTipAndTheButtonClosesIt) {
  auto pTip = MakeTip();
  RECT rect = ShowInCorner(pTip.get());
  m_clock.Advance(5 * 11 + 20000 + 600);  // slid in, stayed, three fade steps
  ASSERT_NE(Window(), nullptr);
  EXPECT_EQ(Window()->OpacityValue(), 180);
  m_desktop.SetCursorPos(POINT{rect.left + 50, rect.top + 50});
  Window()->UserHover(true);
  EXPECT_TRUE(pTip->IsHovering());
  EXPECT_EQ(Window()->OpacityValue(), 255);
  EXPECT_EQ(KwTimer::TimerCountForTesting(), 0u);
  m_clock.Advance(60000);
  ASSERT_NE(Window(), nullptr);

  // Still inside the body (a child took the pointer): no leave.
  m_desktop.SetCursorPos(POINT{rect.left + 10, rect.top + 40});
  Window()->UserHover(false);
  EXPECT_TRUE(pTip->IsHovering());
  EXPECT_EQ(KwTimer::TimerCountForTesting(), 0u);
  // Back over the tip (nothing new), then out through the caption's 28 px: a leave.
  Window()->UserHover(true);
  EXPECT_EQ(KwTimer::TimerCountForTesting(), 0u);
  m_desktop.SetCursorPos(POINT{rect.left + 10, rect.top + 10});
  Window()->UserHover(false);
  EXPECT_FALSE(pTip->IsHovering());
  m_clock.Advance(19999);
  EXPECT_EQ(Window()->OpacityValue(), 255);
  Window()->UserHover(true);
  m_desktop.SetCursorPos(POINT{rect.right + 10, rect.top + 50});
  Window()->UserHover(false);
  m_clock.Advance(20000);
  m_clock.Advance(200);
  EXPECT_EQ(Window()->OpacityValue(), 200);

  ASSERT_TRUE(ui_test::Find(Window(), u"okbtn")->UserClick());
  EXPECT_EQ(Window(), nullptr);
  EXPECT_EQ(pTip->m_destroyed, 1);
  EXPECT_EQ(KwTimer::TimerCountForTesting(), 0u);
}

// A layout that cannot be built: no rectangle, and showing does nothing.
TEST_F(TrayTipsTest, NoWindowNoTip) {
  auto pTip = MakeTip(u"NoSuchFrame");
  RECT rect{1, 2, 3, 4};
  EXPECT_EQ(pTip->GetTipRect(&rect), E_FAIL);
  EXPECT_EQ(rect.left, 1);
  pTip->ShowTip(4, &rect);
  pTip->ShowTip(4, nullptr);
  m_clock.Advance(30000);
  EXPECT_EQ(Window(), nullptr);
}

}  // namespace
