// Modal runs and the confirmation boxes on the null view: results of OK, cancel and close; the
// owner's input; nested runs returning first; a box closed and let go from inside a nested run;
// WM_QUIT ending every run; posts from other threads flowing inside a run; the boxes' edge cases.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "CUnBindMsgBox.h"
#include "CUnInsBriskenWindow.h"
#include "UiTestSupport.h"
#include "win32/window.h"

using namespace win32;
using namespace ui_test;

namespace {

class DialogsTest : public CMainWindowTest {
 protected:
  // The text of `id` in the window a script step runs in.
  static std::u16string TextIn(ILqElement* pWindow, const char16_t* pId) {
    return TextOf(Find(pWindow, pId));
  }
};

// OK gives 1, cancel and close 0; the owner takes no input while the box runs; the box's
// window is gone when DoModal returns, and a second run of the same box hooks its buttons once.
TEST_F(DialogsTest, ResultsOfOkCancelAndClose) {
  auto* pBox = new CUnBindMsgBox();
  bool ownerTookClick = true;
  Script().PushCall(
      [&](ILqElement*) { ownerTookClick = Find(m_pMain, u"menubtn")->UserClick(); });
  Script().PushClick(u"okbtn");
  EXPECT_TRUE(pBox->DoModal(Frame(u"UnBindMsgBox").c_str(), m_mainHwnd, nullptr));
  EXPECT_EQ(pBox->Result(), 1);
  EXPECT_FALSE(ownerTookClick);
  EXPECT_TRUE(Find(m_pMain, u"menubtn")->UserClick());
  EXPECT_EQ(lq::CWindowElement::AllWindows().size(), 1u);  // the main window alone

  Script().PushClick(u"canclbtn");
  EXPECT_TRUE(pBox->DoModal(Frame(u"UnBindMsgBox").c_str(), m_mainHwnd, nullptr));
  EXPECT_EQ(pBox->Result(), 0);
  Script().PushClose();
  EXPECT_TRUE(pBox->DoModal(Frame(u"UnBindMsgBox").c_str(), m_mainHwnd, nullptr));
  EXPECT_EQ(pBox->Result(), 0);
  // OK after a cancel run: 1 again, from one handler.
  Script().PushClick(u"okbtn");
  EXPECT_TRUE(pBox->DoModal(Frame(u"UnBindMsgBox").c_str(), m_mainHwnd, nullptr));
  EXPECT_EQ(pBox->Result(), 1);
  EXPECT_TRUE(Script().Failures().empty());
  pBox->Release();

  auto* pNotice = new CUnInsBriskenWindow();
  Script().PushClick(u"okbtn");
  EXPECT_TRUE(pNotice->DoModal(Frame(u"NotifyUnInsBriskenWindow").c_str(), nullptr, nullptr, 0));
  EXPECT_EQ(pNotice->Result(), 1);
  Script().PushClick(u"canclbtn");
  EXPECT_TRUE(pNotice->DoModal(Frame(u"NotifyUnInsBriskenWindow").c_str(), nullptr, nullptr, 0));
  EXPECT_EQ(pNotice->Result(), 0);
  // A layout that cannot be built starts no run.
  EXPECT_FALSE(pNotice->DoModal(Frame(u"NoSuchFrame").c_str(), nullptr, nullptr, 0));
  EXPECT_EQ(pNotice->Result(), 0);
  pNotice->Release();
}

// Without "canclbtn" OK alone works; the caller's text goes into "contextText", a null text
// leaves the layout's.
TEST_F(DialogsTest, NoticeWithOkAloneAndTheContextText) {
  auto* pBox = new CUnBindMsgBox();
  std::u16string shown;
  Script().PushCall([&](ILqElement* pWindow) { shown = TextIn(pWindow, u"contextText"); });
  Script().PushClick(u"okbtn");
  std::u16string text = u"手机<b>Mi</b>解除了与此电脑的绑定。";
  EXPECT_TRUE(pBox->DoModal(Frame(u"NotifyUnBindMsgNew").c_str(), m_mainHwnd, text.c_str()));
  EXPECT_EQ(pBox->Result(), 1);
  EXPECT_EQ(shown, text);

  Script().PushCall([&](ILqElement* pWindow) { shown = TextIn(pWindow, u"contextText"); });
  Script().PushClick(u"canclbtn");
  EXPECT_TRUE(pBox->DoModal(Frame(u"UnBindMsgBox").c_str(), m_mainHwnd, nullptr));
  EXPECT_EQ(shown, u"解除绑定后，这部手机的照片将不再备份到这台电脑。确定要解除绑定吗？");
  pBox->Release();
}

// Runs nest like a stack: the inner returns first. A box closed and let go from inside a nested
// run unwinds afterwards with 0, and is freed only then.
TEST_F(DialogsTest, NestedRunsAndAnOuterBoxClosedFromInside) {
  auto* pOuter = new CUnBindMsgBox();
  auto* pInner = new CUnBindMsgBox();
  std::vector<std::string> order;
  Script().PushCall([&](ILqElement*) {
    pInner->DoModal(Frame(u"NotifyUnBindMsgNew").c_str(), m_mainHwnd, u"inner");
    order.push_back("inner returned");
  });
  Script().PushClick(u"okbtn");    // taken by the inner run
  Script().PushClick(u"canclbtn");  // then the outer
  EXPECT_TRUE(pOuter->DoModal(Frame(u"UnBindMsgBox").c_str(), m_mainHwnd, nullptr));
  order.push_back("outer returned");
  EXPECT_EQ(order, (std::vector<std::string>{"inner returned", "outer returned"}));
  EXPECT_EQ(pInner->Result(), 1);
  EXPECT_EQ(pOuter->Result(), 0);

  // The photo page's case: a notice arrives while another is showing; the old one is closed
  // and dropped from inside the new one's run.
  ILqElement* pOuterWindow = nullptr;
  bool outerStarted = false;
  Script().PushCall([&](ILqElement* pWindow) {
    pOuterWindow = pWindow;
    pOuterWindow->AddRef();
    Script().PushCall([&](ILqElement*) {
      pOuterWindow->Close();
      pOuter->Release();  // the creator lets it go while its run is on the stack
      pOuter = nullptr;
    });
    Script().PushClick(u"okbtn");
    pInner->DoModal(Frame(u"NotifyUnBindMsgNew").c_str(), m_mainHwnd, u"second notice");
  });
  outerStarted = pOuter->DoModal(Frame(u"NotifyUnBindMsgNew").c_str(), m_mainHwnd, u"first");
  EXPECT_TRUE(outerStarted);
  EXPECT_EQ(pOuter, nullptr);
  EXPECT_EQ(pInner->Result(), 1);
  HWND hwnd = nullptr;
  EXPECT_EQ(pOuterWindow->GetWindowHandle(&hwnd), E_FAIL);  // destroyed, still held
  pOuterWindow->Release();
  pInner->Release();
  EXPECT_TRUE(Script().Failures().empty());
}

// WM_QUIT ends the innermost run with 0, every run outside it too, and stays for the loop.
TEST_F(DialogsTest, QuitEndsEveryRunAndReachesTheOuterLoop) {
  auto* pOuter = new CUnBindMsgBox();
  auto* pInner = new CUnBindMsgBox();
  bool innerStarted = false;
  Script().PushCall([&](ILqElement*) {
    Script().PushCall([](ILqElement*) { PostQuitMessage(5); });
    innerStarted = pInner->DoModal(Frame(u"UnBindMsgBox").c_str(), m_mainHwnd, nullptr);
  });
  EXPECT_TRUE(pOuter->DoModal(Frame(u"UnBindMsgBox").c_str(), m_mainHwnd, nullptr));
  EXPECT_TRUE(innerStarted);
  EXPECT_EQ(pOuter->Result(), 0);
  EXPECT_EQ(pInner->Result(), 0);
  EXPECT_EQ(Script().PendingSteps(), 0u);
  MSG msg;
  EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), FALSE);
  EXPECT_EQ(msg.wParam, 5u);
  pOuter->Release();
  pInner->Release();
}

// A message another thread posts runs inside the run, before the box is answered.
LRESULT CountingProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  static std::atomic<int>* pCount = nullptr;
  if (message == WM_USER && lParam) pCount = reinterpret_cast<std::atomic<int>*>(lParam);
  if (message == WM_USER + 1 && pCount) ++*pCount;
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

TEST_F(DialogsTest, PostsFromAnotherThreadFlowInsideARun) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = &CountingProcedure;
  windowClass.lpszClassName = u"DialogsTestTarget";
  RegisterClassExW(&windowClass);
  HWND target = CreateWindowExW(0, u"DialogsTestTarget", u"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                nullptr, nullptr);
  ASSERT_NE(target, nullptr);
  std::atomic<int> count{0};
  SendMessageW(target, WM_USER, 0, reinterpret_cast<LPARAM>(&count));
  std::thread poster;
  Script().PushCall([&](ILqElement*) {
    poster = std::thread([target] { PostMessageW(target, WM_USER + 1, 0, 0); });
  });
  Script().PushWait([&] { return count.load() == 1; }, 10000);
  Script().PushClick(u"okbtn");
  auto* pBox = new CUnBindMsgBox();
  EXPECT_TRUE(pBox->DoModal(Frame(u"UnBindMsgBox").c_str(), m_mainHwnd, nullptr));
  poster.join();
  EXPECT_EQ(count.load(), 1);
  EXPECT_EQ(pBox->Result(), 1);
  EXPECT_TRUE(Script().Failures().empty());
  pBox->Release();
  DestroyWindow(target);
}

// A run nobody answers is closed, and says so.
TEST_F(DialogsTest, AnUnansweredRunIsClosed) {
  auto* pBox = new CUnBindMsgBox();
  EXPECT_TRUE(pBox->DoModal(Frame(u"UnBindMsgBox").c_str(), m_mainHwnd, nullptr));
  EXPECT_EQ(pBox->Result(), 0);
  ASSERT_EQ(Script().Failures().size(), 1u);
  EXPECT_EQ(Script().Failures()[0], "no answer for UnBindMsgBox");
  pBox->Release();
}

}  // namespace
