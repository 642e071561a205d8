// The exit survey on the null view: the prompts that keep it open, the lowest ticked reason, the
// free text for "other", and exactly one report however it ends (OK, the cancel link, or the
// window manager's close button).

#include <gtest/gtest.h>

#include "ExitReason1.h"
#include "PagesTestSupport.h"

using namespace win32;
using namespace ui_test;
using pages_test::CountedString;
using pages_test::Int32;

namespace {

class ExitSurveyTest : public pages_test::CPagesTest {
 protected:
  static std::string Answer(int code, const std::string& text, const std::string& contact) {
    return Int32(code) + CountedString(text) + CountedString(contact);
  }
  // The prompt's text, or "" while it is hidden.
  static std::u16string Prompt(ILqElement* pWindow) {
    lq::CElement* pPrompt = Find(pWindow, u"unChoose");
    return pPrompt->HiddenFlag() ? u"" : pPrompt->TextValue();
  }
  int RunSurvey() {
    CExitReason1 survey;
    return survey.Run(Frame(u"ExitReason1").c_str(), m_mainHwnd, u"");
  }
};

// Nothing ticked, then "other" without a text: the window stays, a prompt says why, nothing is
// sent; ticking hides the prompt; with a text the answer is 17 with it and the contact.
TEST_F(ExitSurveyTest, PromptsKeepItOpenUntilTheOtherReasonHasItsText) {
  std::vector<std::u16string> prompts;
  auto note = [&](ILqElement* pWindow) { prompts.push_back(Prompt(pWindow)); };
  Script().PushClick(u"ok");
  Script().PushCall(note);
  Script().PushClick(u"other");
  Script().PushCall(note);
  Script().PushClick(u"ok");
  Script().PushCall(note);
  Script().PushCall([&](ILqElement* pWindow) {
    EXPECT_TRUE(Reports(5924).empty());
    Find(pWindow, u"reasonEdit")->SetText(u"太贵了");
    Find(pWindow, u"wexEdit")->SetText(u"qq 12345");
  });
  Script().PushClick(u"ok");
  EXPECT_EQ(RunSurvey(), 1);
  EXPECT_EQ(prompts, (std::vector<std::u16string>{u"请选择原因", u"", u"请填写原因"}));
  EXPECT_EQ(Reports(5924), (std::vector<std::string>{Answer(17, "太贵了", "qq 12345")}));
  EXPECT_TRUE(Script().Failures().empty());
}

// Several reasons: the lowest code wins, and an empty "other" text does not hold it up.
TEST_F(ExitSurveyTest, LowestTickedReasonWins) {
  Script().PushClick(u"other");
  Script().PushClick(u"linkfailed");
  Script().PushClick(u"nowantdown");
  Script().PushCall([](ILqElement* pWindow) { Find(pWindow, u"wexEdit")->SetText(u"a@b.test"); });
  Script().PushClick(u"ok");
  EXPECT_EQ(RunSurvey(), 1);
  EXPECT_EQ(Reports(5924), (std::vector<std::string>{Answer(14, "", "a@b.test")}));
}

// The cancel link and a close by the window manager each send {10, "", ""} once, even with a
// contact typed; a layout that cannot be built shows nothing and sends nothing.
TEST_F(ExitSurveyTest, CancelAndWindowManagerCloseEachSendOneCancel) {
  Script().PushCall([](ILqElement* pWindow) { Find(pWindow, u"wexEdit")->SetText(u"x"); });
  Script().PushClick(u"cancle");
  EXPECT_EQ(RunSurvey(), 1);
  Script().PushClick(u"hasnophone");
  Script().PushClose();
  EXPECT_EQ(RunSurvey(), 1);
  EXPECT_EQ(Reports(5924), (std::vector<std::string>{Answer(10, "", ""), Answer(10, "", "")}));

  CExitReason1 broken;
  EXPECT_EQ(broken.Run(Frame(u"NoSuchFrame").c_str(), m_mainHwnd, u""), 0);
  EXPECT_EQ(Reports(5924).size(), 2u);
  EXPECT_TRUE(Script().Failures().empty());
}

}  // namespace
