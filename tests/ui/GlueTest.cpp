// The listener glue: registries keyed by (element, event id), what a destroyed element and a
// failed registration leave, sinks whose host went, one performance transaction per call, the
// message registry, timer sinks and the popup window base.

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <chrono>
#include <regex>
#include <thread>

#include "Basalt/CKwManualTimerHost.h"
#include "Basalt/KwTimer.h"
#include "CComSinkPtr.h"
#include "CKwTimerCallback.h"
#include "CLqEventListenerHelper.h"
#include "CLqMessageListenerHelper.h"
#include "CPopupWindowBase.h"
#include "UiTestSupport.h"

using namespace win32;
using namespace ui_test;

namespace {

// A window class as the program writes them.
class COwner {
 public:
  COwner() : m_listener(this), m_messages(this), m_timer(this) {
    m_timer->SetCallback(&COwner::OnTimer);
  }

  HRESULT OnFirst(ILqEvent*) { return Note("first"); }
  HRESULT OnSecond(ILqEvent*) { return Note("second"); }
  HRESULT OnOther(ILqEvent*) { return Note("other"); }
  HRESULT OnSlow(ILqEvent*) {
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    return Note("slow");
  }
  HRESULT OnGeneric(UINT eventId, ILqElement*, ILqEvent*) {
    return Note("generic " + std::to_string(eventId));
  }
  HRESULT OnEnter(UINT* pMessage, WPARAM, LPARAM, BOOL* pHandled) {
    *pHandled = TRUE;
    Note("enter " + std::to_string(*pMessage));
    return 7;
  }
  HRESULT OnTimer(UINT timerId) { return Note("timer " + std::to_string(timerId)); }

  CLqEventListenerHelper<COwner> m_listener;
  CLqMessageListenerHelper<COwner> m_messages;
  CComSinkPtr<CKwTimerCallback<COwner>> m_timer;
  std::vector<std::string> m_calls;

 private:
  HRESULT Note(const std::string& call) {
    m_calls.push_back(call);
    return 0;
  }
};

class GlueTest : public CUiTest {};

// The same pair twice leaves one handler, the later, called once per click; two elements on one
// event reach their own handlers; a destroyed element's events reach nothing.
TEST_F(GlueTest, HandlersFollowTheirPairs) {
  ILqElement* pBox = Build(u"UnBindMsgBox");
  ASSERT_NE(pBox, nullptr);
  pBox->Show(5);
  lq::CElement* pOk = Find(pBox, u"okbtn");
  lq::CElement* pCancel = Find(pBox, u"canclbtn");
  COwner owner;
  ASSERT_TRUE(owner.m_listener.AddListener(pOk, LqEvent::kClick, &COwner::OnFirst));
  ASSERT_TRUE(owner.m_listener.AddListener(pOk, LqEvent::kClick, &COwner::OnSecond));
  ASSERT_TRUE(owner.m_listener.AddListener(pCancel, LqEvent::kClick, &COwner::OnOther));
  ASSERT_TRUE(owner.m_listener.AddGenericListener(pBox, LqEvent::kDestroyed, &COwner::OnGeneric));
  pOk->UserClick();
  pCancel->UserClick();
  EXPECT_EQ(owner.m_calls, (std::vector<std::string>{"second", "other"}));

  pCancel->AddRef();
  ILqElement* pStale = pCancel;
  pBox->RemoveChild(pCancel);
  owner.m_calls.clear();
  // Whatever still arrives for it finds no handler.
  owner.m_listener.Dispatch(LqEvent::kClick, pStale, nullptr);
  EXPECT_TRUE(owner.m_calls.empty());
  pStale->Release();
  pOk->UserClick();
  pBox->Close();
  EXPECT_EQ(owner.m_calls, (std::vector<std::string>{"second", "generic 4098"}));
  pBox->Release();
}

// A registration on an element that cannot take it raises the assertion and changes nothing.
TEST_F(GlueTest, FailedRegistrationAssertsAndChangesNothing) {
  ILqElement* pItem = Build(u"RightBarItem");
  ILqElement* pName = Find(pItem, u"phoneName");
  ILqElement* pLink = Find(pItem, u"breakLink");
  COwner owner;
  ASSERT_TRUE(owner.m_listener.AddListener(pLink, LqEvent::kTextClick, &COwner::OnFirst));
  pName->AddRef();
  pItem->RemoveChild(pName);
  int asserts = BasaltTesting::AssertCount();
  EXPECT_FALSE(owner.m_listener.AddListener(pName, LqEvent::kTextClick, &COwner::OnSecond));
  EXPECT_FALSE(owner.m_listener.AddListener(nullptr, LqEvent::kTextClick, &COwner::OnSecond));
  EXPECT_EQ(BasaltTesting::AssertCount(), asserts + 2);
  EXPECT_NE(BasaltTesting::LastAssert().find("!\"监听事件失败\""), std::string::npos);
  lq::CElement::FromInterface(pLink)->UserClick();
  EXPECT_EQ(owner.m_calls, (std::vector<std::string>{"first"}));
  pName->Release();
  pItem->Release();
}

// Elements placed where their addresses share the low 32 bits: a key cut to 32 bits would hand
// one's click to the other.
class CPlacedElement final : public lq::CElement {
 public:
  CPlacedElement() : CElement(lq::ElementKind::kButton) {}
  static void* operator new(size_t, void* pPlace) { return pPlace; }
  static void operator delete(void*) {}
};

TEST_F(GlueTest, KeysTellApartElementsWhoseAddressesShareTheLowHalf) {
  constexpr size_t kFourGiB = size_t{1} << 32;
  long page = sysconf(_SC_PAGESIZE);
  void* pArea = mmap(nullptr, kFourGiB + static_cast<size_t>(page), PROT_NONE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(pArea, MAP_FAILED);
  char* pLow = static_cast<char*>(pArea);
  char* pHigh = pLow + kFourGiB;
  ASSERT_EQ(mprotect(pLow, static_cast<size_t>(page), PROT_READ | PROT_WRITE), 0);
  ASSERT_EQ(mprotect(pHigh, static_cast<size_t>(page), PROT_READ | PROT_WRITE), 0);
  auto* pA = new (pLow) CPlacedElement();
  auto* pB = new (pHigh) CPlacedElement();
  ASSERT_EQ(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(static_cast<ILqElement*>(pA))),
            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(static_cast<ILqElement*>(pB))));
  {
    COwner owner;
    owner.m_listener.AddListener(pA, LqEvent::kClick, &COwner::OnFirst);
    owner.m_listener.AddListener(pB, LqEvent::kClick, &COwner::OnSecond);
    pA->UserClick();
    pB->UserClick();
    EXPECT_EQ(owner.m_calls, (std::vector<std::string>{"first", "second"}));
  }
  pA->Release();
  pB->Release();
  munmap(pArea, kFourGiB + static_cast<size_t>(page));
}

// A sink the framework still holds after its owner went answers 0 and calls nothing; every
// forwarded call is one transaction, and a slow one is logged with the call-back's whole
// address.
TEST_F(GlueTest, SinksOutliveTheirHostsAndTimeEachCall) {
  ILqElement* pBox = Build(u"UnBindMsgBox");
  pBox->Show(5);
  lq::CElement* pOk = Find(pBox, u"okbtn");
  IKwTimerCallback* pTimer = nullptr;
  {
    COwner owner;
    owner.m_listener.AddListener(pOk, LqEvent::kClick, &COwner::OnSlow);
    int slow = BasaltTesting::SlowTransactionCount();
    pOk->UserClick();
    EXPECT_EQ(owner.m_calls, (std::vector<std::string>{"slow"}));
    EXPECT_EQ(BasaltTesting::SlowTransactionCount(), slow + 1);
    std::string log =
        test_files::ReadWholeFile(test_files::PosixFromWindows(BasaltTesting::LogPath()));
    std::smatch match;
    ASSERT_TRUE(std::regex_search(
        log, match, std::regex("\\*\\.COMSINK-OnLqEvent<Addr-0x([0-9a-f]+)>\\.End")));
    EXPECT_GT(match[1].str().size(), 8u) << "the address was cut: " << match[1];
    pTimer = owner.m_timer.GetInterface<IKwTimerCallback>();
    pTimer->AddRef();  // as a timer still set would hold it
  }
  // The owner went: its registry took the sinks off the button, and the timer sink answers 0.
  EXPECT_EQ(pTimer->OnTimer(3), 0);
  EXPECT_TRUE(pOk->UserClick());
  pTimer->Release();
  // A call-back given to a sink without host is reported.
  int asserts = BasaltTesting::AssertCount();
  auto* pSink = new CKwTimerCallback<COwner>();
  pSink->AddRef();
  pSink->SetCallback(&COwner::OnTimer);
  EXPECT_EQ(BasaltTesting::AssertCount(), asserts + 1);
  EXPECT_NE(BasaltTesting::LastAssert().find("m_pHost != NULL"), std::string::npos);
  EXPECT_EQ(pSink->OnTimer(1), 0);
  pSink->Release();
  pBox->Close();
  pBox->Release();
}

// Window messages reach the handler of (element, message id), whose result is the answer;
// timers reach theirs through KwTimer.
TEST_F(GlueTest, MessagesAndTimersReachTheirHandlers) {
  ILqElement* pTip = Build(u"NotifyUnBindMsgRightBottomTip");
  auto* pWindow = lq::CElement::FromInterface(pTip);
  COwner owner;
  ASSERT_TRUE(owner.m_messages.AddListener(pTip, LqMessage::kMouseEnter, &COwner::OnEnter));
  EXPECT_EQ(pWindow->SendLqMessage(LqMessage::kMouseEnter, 0, 0), 7);
  EXPECT_EQ(pWindow->SendLqMessage(LqMessage::kMouseLeave, 0, 0), 0);
  pWindow->UserHover(true);
  EXPECT_EQ(owner.m_calls, (std::vector<std::string>{"enter 101", "enter 101"}));

  CKwManualTimerHost host;
  KwTimer::SetHost(&host);
  ASSERT_TRUE(KwTimer::SetTimeout(30, owner.m_timer.GetInterface<IKwTimerCallback>(), 104));
  host.Advance(30);
  EXPECT_EQ(owner.m_calls.back(), "timer 104");
  KwTimer::SetHost(nullptr);
  pTip->Close();
  pTip->Release();
  // The window's destruction took the message sink off it; nothing is left to remove.
  owner.m_messages.RemoveAll();
}

// The popup base: no layout, no window; a window built holds its parent and runs over the
// parent's window.
class CTestPopup final : public CPopupWindowBase {
 public:
  bool OnWindowCreated() override {
    ++m_created;
    return m_created < 3;
  }
  ILqHostWindow* Window() const { return m_pWindow; }
  int m_created = 0;
};

TEST_F(GlueTest, PopupWindowBaseBuildsHoldsAndRuns) {
  ILqElement* pMain = Build(u"MainWnd");
  HWND mainHwnd = nullptr;
  pMain->GetWindowHandle(&mainHwnd);
  CTestPopup popup;
  EXPECT_FALSE(popup.Create(u"", pMain, nullptr));
  EXPECT_EQ(popup.m_created, 0);
  ASSERT_TRUE(popup.Create(Frame(u"NotifyUnBindMsgRightBottomTip").c_str(), pMain, nullptr));
  HWND tipHwnd = nullptr;
  popup.Window()->GetWindowHandle(&tipHwnd);
  EXPECT_NE(tipHwnd, nullptr);
  // The owner takes no input while the popup runs over it.
  bool ownerTookClick = true;
  Script().PushCall([&](ILqElement*) {
    ownerTookClick = Find(pMain, u"menubtn")->UserClick();
  });
  Script().PushClick(u"okbtn");
  Script().PushClose();
  pMain->Show(5);
  EXPECT_TRUE(popup.CreateModal(Frame(u"NotifyUnBindMsgRightBottomTip").c_str(), pMain, nullptr));
  EXPECT_FALSE(ownerTookClick);
  EXPECT_TRUE(Find(pMain, u"menubtn")->UserClick());
  EXPECT_FALSE(IsWindow(tipHwnd));  // the earlier window went when the second was built
  EXPECT_EQ(Script().PendingSteps(), 0u);
  EXPECT_FALSE(popup.Create(Frame(u"NotifyUnBindMsgRightBottomTip").c_str(), nullptr, nullptr));
  popup.Window()->Close();
  pMain->Close();
  pMain->Release();
}

}  // namespace
