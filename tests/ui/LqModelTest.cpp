// The UI framework's element model on the null view: listener sources, destruction order and
// lifetimes, plain text, edits, check boxes, tab strips, scroll views, windows closing, menus,
// the object factory and the UI-thread rule.

#include <gtest/gtest.h>

#include <thread>

#include "CEditElement.h"
#include "CMenuElement.h"
#include "UiTestSupport.h"
#include "win32/window.h"

using namespace win32;
using namespace ui_test;

namespace {

class LqModelTest : public CUiTest {};

// Event sources: one registration per (event id, listener); removing a listener drops all its ids.
TEST_F(LqModelTest, EventSourceKeepsEachPairOnceAndRemovesAListenerWhole) {
  ILqElement* pItem = Build(u"RightBarItem");
  ASSERT_NE(pItem, nullptr);
  lq::CElement* pLink = Find(pItem, u"breakLink");
  ILqEventSource* pSource = EventSource(pLink);
  CRecordingListener listener;
  EXPECT_EQ(pSource->AddListener(LqEvent::kTextClick, listener.Events()), S_OK);
  EXPECT_EQ(pSource->AddListener(LqEvent::kTextClick, listener.Events()), S_FALSE);
  EXPECT_EQ(pSource->AddListener(LqEvent::kClick, listener.Events()), S_OK);
  EXPECT_EQ(listener.Count(), 3u);  // held once per pair

  // Detached subtrees take clicks like shown windows do.
  EXPECT_TRUE(pLink->UserClick());
  EXPECT_EQ(listener.m_heard, (std::vector<std::string>{"1:breakLink"}));
  // A picture takes no click and raises nothing.
  EXPECT_FALSE(Find(pItem, u"phoneImage")->UserClick());

  EXPECT_EQ(pSource->RemoveListener(listener.Events()), S_OK);
  EXPECT_EQ(listener.Count(), 1u);
  EXPECT_EQ(pSource->RemoveListener(listener.Events()), S_FALSE);
  pLink->UserClick();
  EXPECT_EQ(listener.m_heard.size(), 1u);
  pSource->Release();
  pItem->Release();
}

// Destruction: 4098 to event listeners, then destroy listeners, parents before children; a
// destroyed element answers E_FAIL and lives while held; an element lives through its own event.
TEST_F(LqModelTest, DestructionOrderAndWhatADestroyedElementAnswers) {
  ILqElement* pItem = Build(u"RightBarItem");
  ASSERT_NE(pItem, nullptr);
  CRecordingListener listener;
  ILqElement* pName = Find(pItem, u"phoneName");
  for (ILqElement* pElement : {pItem, pName}) {
    ILqEventSource* pSource = EventSource(pElement);
    pSource->AddListener(LqEvent::kDestroyed, listener.Events());
    pSource->Release();
    EXPECT_EQ(pElement->AddDestroyListener(listener.Destroys()), S_OK);
    EXPECT_EQ(pElement->AddDestroyListener(listener.Destroys()), S_FALSE);
  }
  pName->AddRef();  // kept past the tree's end
  pItem->Release();  // the last reference to a live tree destroys it
  EXPECT_EQ(listener.m_heard, (std::vector<std::string>{"4098:", "destroy:", "4098:phoneName",
                                                        "destroy:phoneName"}));
  EXPECT_EQ(listener.Count(), 1u);  // every source dropped its references

  BSTR text = nullptr;
  RECT rect{};
  ILqElement* pFound = nullptr;
  EXPECT_EQ(pName->SetText(u"x"), E_FAIL);
  EXPECT_EQ(pName->GetText(&text), E_FAIL);
  EXPECT_EQ(pName->GetRect(&rect), E_FAIL);
  EXPECT_EQ(pName->FindChild(u"x", &pFound), E_FAIL);
  EXPECT_EQ(pName->AddDestroyListener(listener.Destroys()), E_FAIL);
  ILqEventSource* pSource = EventSource(pName);
  EXPECT_EQ(pSource->AddListener(LqEvent::kClick, listener.Events()), E_FAIL);
  pSource->Release();
  EXPECT_FALSE(lq::CElement::FromInterface(pName)->UserClick());
  pName->Release();

  // A handler that drops the last reference and destroys the element it hears about: the
  // element stays valid until the dispatch is over.
  ILqElement* pTile = Build(u"PHOTO");
  ASSERT_NE(pTile, nullptr);
  lq::CElement* pBorder = Find(pTile, u"imageborder");
  CRecordingListener dropper;
  dropper.m_onEvent = [&](UINT, ILqElement* pElement, ILqEvent* pEvent) {
    pTile->Release();
    pTile = nullptr;
    BSTR id = nullptr;
    EXPECT_EQ(pElement->GetId(&id), E_FAIL);  // destroyed, not freed
    SysFreeString(id);
    ILqElement* pSame = nullptr;
    EXPECT_EQ(pEvent->GetElement(&pSame), S_OK);
    pSame->Release();
  };
  pSource = EventSource(pBorder);
  pSource->AddListener(LqEvent::kClick, dropper.Events());
  pSource->Release();
  EXPECT_TRUE(pBorder->UserClick());
  EXPECT_EQ(pTile, nullptr);
  EXPECT_EQ(dropper.Count(), 1u);
}

TEST_F(LqModelTest, TreeOperationsRefuseCyclesAndRemovalDestroys) {
  ILqElement* pItem = Build(u"RightBarItem");
  ILqElement* pContainer = nullptr;
  ASSERT_EQ(Util::Lq::CreateObject(CLSID_LqContainer, IID_ILqContainer,
                                   reinterpret_cast<void**>(&pContainer)),
            S_OK);
  EXPECT_EQ(pContainer->AddChild(pItem), S_OK);
  EXPECT_EQ(pContainer->AddChild(pItem), E_INVALIDARG);  // it has a parent now
  EXPECT_EQ(pItem->AddChild(pContainer), E_INVALIDARG);  // would contain itself
  UINT count = 0;
  pContainer->GetChildCount(&count);
  EXPECT_EQ(count, 1u);
  CRecordingListener listener;
  pItem->AddDestroyListener(listener.Destroys());
  EXPECT_EQ(pContainer->RemoveChild(pItem), S_OK);
  EXPECT_EQ(listener.m_heard, (std::vector<std::string>{"destroy:"}));
  pContainer->GetChildCount(&count);
  EXPECT_EQ(count, 0u);
  pItem->Release();
  pContainer->Release();
}

// Texts are plain text: markup is kept as typed. Edits cut at their maximum on a character
// boundary and raise 448 for every change.
TEST_F(LqModelTest, PlainTextAndEditLimits) {
  ILqElement* pItem = Build(u"RightBarItem");
  ILqElement* pName = Find(pItem, u"phoneName");
  const char16_t* pMarkup = u"<span foreground='red'>x</span>";
  pName->SetText(pMarkup);
  EXPECT_EQ(TextOf(pName), pMarkup);
  pItem->Release();

  ILqElement* pSurvey = Build(u"ExitReason1");
  ASSERT_NE(pSurvey, nullptr);
  auto* pEdit = static_cast<lq::CEditElement*>(Find(pSurvey, u"reasonEdit"));
  EXPECT_EQ(pEdit->MaxLength(), 256u);
  CRecordingListener listener;
  ILqEventSource* pSource = EventSource(pEdit);
  pSource->AddListener(LqEvent::kTextChanged, listener.Events());
  pSource->Release();
  // 255 units then a surrogate pair: the pair would end past 256, so it goes whole.
  std::u16string text(255, u'a');
  text += u"\U0001F600";
  pEdit->SetText(text.c_str());
  EXPECT_EQ(TextOf(pEdit), std::u16string(255, u'a'));
  pEdit->SetText(TextOf(pEdit).c_str());  // unchanged: no event
  EXPECT_EQ(listener.m_heard.size(), 1u);
  EXPECT_EQ(lq::CEditElement::CutToLength(u"ab\U0001F600c", 4), u"ab\U0001F600");
  EXPECT_EQ(lq::CEditElement::CutToLength(u"abc", 0), u"abc");
  // Folder edits hold 1024.
  ILqElement* pChange = Build(u"ChangeDirWindow");
  EXPECT_EQ(static_cast<lq::CEditElement*>(Find(pChange, u"ID_EDIT_DIR"))->MaxLength(), 1024u);
  pChange->Close();
  pChange->Release();
  pSurvey->Close();
  pSurvey->Release();
}

TEST_F(LqModelTest, CheckBoxesTabStripsAndScrollViews) {
  ILqElement* pSurvey = Build(u"ExitReason1");
  pSurvey->Show(5);
  lq::CElement* pOther = Find(pSurvey, u"other");
  CRecordingListener listener;
  ILqEventSource* pSource = EventSource(pOther);
  pSource->AddListener(LqEvent::kCheckToggled, listener.Events());
  pSource->Release();
  EXPECT_TRUE(pOther->UserClick());
  ILqCheck* pCheck = nullptr;
  ASSERT_EQ(pOther->QueryInterface(IID_ILqCheck, reinterpret_cast<void**>(&pCheck)), S_OK);
  BOOL checked = FALSE;
  pCheck->GetChecked(&checked);
  EXPECT_TRUE(checked);
  pCheck->SetChecked(TRUE);  // no change, no event
  pCheck->SetChecked(FALSE);
  EXPECT_EQ(listener.m_heard.size(), 2u);
  pCheck->Release();
  pSurvey->Close();
  pSurvey->Release();

  ILqElement* pMain = Build(u"MainWnd");
  ASSERT_NE(pMain, nullptr);
  lq::CElement* pStrip = Find(pMain, u"chooseDirTabCtrl");
  for (const char16_t* pId : {u"C:\\", u"D:\\", u"E:\\", u"F:\\", u"G:\\", u"H:\\"}) {
    ILqElement* pTab = nullptr;
    ASSERT_EQ(Util::Lq::CreateObject(CLSID_LqTabItem, IID_ILqTabItem,
                                     reinterpret_cast<void**>(&pTab)),
              S_OK);
    pTab->SetText(u"5.00GB可用");
    pTab->SetSetting(LqSetting::kTabItemTextTop, 83, 0, 0, 0);
    pTab->SetId(pId);
    pStrip->AddChild(pTab);
    pTab->SetStyleName(u"dirButtonTab");
    RECT spacing{0, 0, 28, 0};
    pTab->SetSpacing(&spacing);
    pTab->Release();
  }
  CRecordingListener tabs;
  pSource = EventSource(pStrip);
  pSource->AddListener(LqEvent::kTabChanged, tabs.Events());
  pSource->Release();
  ILqTabStrip* pTabStrip = nullptr;
  ASSERT_EQ(pStrip->QueryInterface(IID_ILqTabStrip, reinterpret_cast<void**>(&pTabStrip)), S_OK);
  INT index = 0;
  pTabStrip->GetSelectedIndex(&index);
  EXPECT_EQ(index, -1);
  // The program's choice raises 865 with 0, the user's with 1.
  Find(pMain, u"E:\\")->SetState(LqSetting::kStateSelected);
  tabs.m_onEvent = [&](UINT, ILqElement*, ILqEvent* pEvent) {
    INT_PTR argument = -1;
    pEvent->GetArgument(&argument);
    tabs.m_heard.push_back("arg " + std::to_string(argument));
  };
  pTabStrip->GetSelectedIndex(&index);
  EXPECT_EQ(index, 2);
  pMain->Show(5);
  Find(pMain, u"chooseDirFrame")->Show(5);
  EXPECT_TRUE(Find(pMain, u"F:\\")->UserClick());
  pTabStrip->GetSelectedIndex(&index);
  EXPECT_EQ(index, 3);
  EXPECT_EQ(tabs.m_heard.back(), "arg 1");
  // Items are 110 wide with 28 beside: scrolling by an item moves 138 and stops at the content.
  ILqScrollView* pScroll = nullptr;
  ASSERT_EQ(pStrip->QueryInterface(IID_ILqScrollView, reinterpret_cast<void**>(&pScroll)), S_OK);
  pTabStrip->ScrollItems(1);
  POINT position{};
  pScroll->GetScrollPos(&position);
  EXPECT_EQ(position.x, 138);
  RECT rect{};
  Find(pMain, u"H:\\")->GetRect(&rect);
  EXPECT_EQ(rect.left, 5 * 138);
  EXPECT_EQ(rect.right - rect.left, 110);
  pTabStrip->ScrollItems(10);
  pScroll->GetScrollPos(&position);
  EXPECT_EQ(position.x, 6 * 138 - (735 - 45));  // the content's end
  pTabStrip->ScrollItems(-10);
  pScroll->GetScrollPos(&position);
  EXPECT_EQ(position.x, 0);
  pScroll->Release();
  pTabStrip->Release();
  pMain->Close();
  pMain->Release();
}

// A window's close: 256 first; "bCancelClose" keeps it; otherwise it is destroyed with 4098.
// A child answers its top-level's handle; the window's text is its title.
TEST_F(LqModelTest, WindowsCloseThroughTheirProcedure) {
  ILqElement* pBox = Build(u"UnBindMsgBox");
  ASSERT_NE(pBox, nullptr);
  HWND hwnd = nullptr;
  ASSERT_EQ(pBox->GetWindowHandle(&hwnd), S_OK);
  EXPECT_TRUE(IsWindow(hwnd));
  HWND childHwnd = nullptr;
  Find(pBox, u"okbtn")->GetWindowHandle(&childHwnd);
  EXPECT_EQ(childHwnd, hwnd);
  auto* pWindow = lq::CWindowElement::FromHandle(hwnd);
  EXPECT_EQ(pWindow->Title(), u"解除绑定");  // the layout's caption
  pBox->SetText(u"解除绑定吗");
  EXPECT_EQ(pWindow->Title(), u"解除绑定吗");
  BOOL hidden = FALSE;
  pBox->IsHidden(&hidden);
  EXPECT_TRUE(hidden);  // made hidden, like any native window

  CRecordingListener listener;
  int closeRequests = 0;
  listener.m_onEvent = [&](UINT eventId, ILqElement*, ILqEvent* pEvent) {
    if (eventId == LqEvent::kClosing && ++closeRequests == 1) pEvent->SetInt(u"bCancelClose", 1);
  };
  ILqEventSource* pSource = EventSource(pBox);
  pSource->AddListener(LqEvent::kClosing, listener.Events());
  pSource->AddListener(LqEvent::kDestroyed, listener.Events());
  pSource->Release();
  // Posted like the system close button's WM_CLOSE.
  ASSERT_TRUE(PostMessageW(hwnd, WM_CLOSE, 0, 0));
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  EXPECT_TRUE(IsWindow(hwnd));
  EXPECT_EQ(pBox->Close(), S_OK);
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_EQ(listener.m_heard, (std::vector<std::string>{"256:", "256:", "4098:"}));
  EXPECT_EQ(lq::CWindowElement::FromHandle(hwnd), nullptr);
  EXPECT_EQ(pBox->Close(), E_FAIL);
  pBox->Release();
}

// Menus: enabled items raise 4099 on the menu with their "name"; disabled ones nothing.
TEST_F(LqModelTest, MenuItemsRaiseTheirNameOnTheMenu) {
  ILqMenu* pMenu = nullptr;
  ASSERT_EQ(Util::Lq::CreateObject(CLSID_LqMenu, CLSID_LqMenu, reinterpret_cast<void**>(&pMenu)),
            S_OK);
  pMenu->SetMenuStyle(u"mainmenu");
  pMenu->AddItem(33, 120, u"mainmenuItem", 0xFF000000, u"绑定新设备",
                 u"platformres:menu\\adddeviceicon.png", u"1");
  pMenu->AddItem(33, 120, u"mainmenuItem", 0xFF000000, u"更改备份目录",
                 u"platformres:menu\\changedir.png", u"2");
  EXPECT_EQ(pMenu->EnableItem(u"2", FALSE), S_OK);
  EXPECT_EQ(pMenu->EnableItem(u"9", FALSE), E_INVALIDARG);
  ILqElement* pMenuElement = nullptr;
  ASSERT_EQ(pMenu->QueryInterface(IID_ILqElement, reinterpret_cast<void**>(&pMenuElement)), S_OK);
  std::vector<std::u16string> names;
  CRecordingListener listener;
  listener.m_onEvent = [&](UINT, ILqElement*, ILqEvent* pEvent) {
    BSTR name = nullptr;
    EXPECT_EQ(pEvent->GetString(u"name", &name), S_OK);
    names.push_back(name ? name : u"");
    SysFreeString(name);
  };
  ILqEventSource* pSource = EventSource(pMenuElement);
  pSource->AddListener(LqEvent::kClick, listener.Events());

  ILqElement* pMain = Build(u"MainWnd");
  RECT button{};
  Find(pMain, u"menubtn")->GetRect(&button);
  EXPECT_EQ(pMenu->Popup(Find(pMain, u"menubtn"), button.left - 55, button.top + 19), S_OK);
  EXPECT_EQ(Script().OpenMenuPoint().x, 625);
  EXPECT_EQ(Script().OpenMenuPoint().y, 25);
  EXPECT_FALSE(Script().ClickMenuItem(u"2"));  // disabled
  EXPECT_TRUE(Script().ClickMenuItem(u"1"));
  EXPECT_EQ(Script().OpenMenu(), nullptr);  // a choice closes the menu
  EXPECT_FALSE(Script().ClickMenuItem(u"1"));
  EXPECT_EQ(names, (std::vector<std::u16string>{u"1"}));
  // Without an anchor the point is on the screen.
  EXPECT_EQ(pMenu->Popup(nullptr, 300, 400), S_OK);
  EXPECT_EQ(Script().OpenMenuAnchor(), nullptr);
  pSource->RemoveListener(listener.Events());
  pSource->Release();
  pMenuElement->Release();
  pMenu->Release();
  pMain->Close();
  pMain->Release();
}

// The classes reach the program through the platform core once the framework is booted.
TEST_F(LqModelTest, FrameworkClassesComeThroughTheCore) {
  for (const CLSID* pClsid : {&CLSID_LqMenu, &CLSID_LqHostWindow, &CLSID_LqContainer,
                              &CLSID_LqTabItem, &CLSID_LqImage}) {
    IUnknown* pObject = nullptr;
    ASSERT_EQ(m_pCore->CreateObject(*pClsid, *pClsid, reinterpret_cast<void**>(&pObject)), S_OK);
    pObject->Release();
  }
  // A popup host gets its native window when asked, under the given name.
  ILqHostWindow* pHost = nullptr;
  ASSERT_EQ(Util::Lq::CreateObject(CLSID_LqHostWindow, CLSID_LqHostWindow,
                                   reinterpret_cast<void**>(&pHost)),
            S_OK);
  HWND hwnd = nullptr;
  EXPECT_EQ(pHost->GetWindowHandle(&hwnd), S_FALSE);
  ASSERT_EQ(pHost->CreateNativeWindow(0x08000080, u"HARBORMAST_TRAYMAINFRAME"), S_OK);
  pHost->GetWindowHandle(&hwnd);
  auto* pWindow = lq::CWindowElement::FromHandle(hwnd);
  ASSERT_NE(pWindow, nullptr);
  EXPECT_EQ(pWindow->NativeName(), u"HARBORMAST_TRAYMAINFRAME");
  EXPECT_EQ(pWindow->ExStyle(), 0x08000080u);
  pHost->Close();
  pHost->Release();

  ILqImage* pImage = nullptr;
  ASSERT_EQ(Util::Lq::CreateObject(CLSID_LqImage, CLSID_LqImage, reinterpret_cast<void**>(&pImage)),
            S_OK);
  INT width = 0;
  INT height = 0;
  EXPECT_EQ(pImage->GetSize(&width, &height), E_FAIL);
  ASSERT_EQ(pImage->LoadFile(u"platformres:image\\default.png"), S_OK);
  EXPECT_EQ(pImage->GetSize(&width, &height), S_OK);
  EXPECT_EQ(width, 120);
  EXPECT_EQ(height, 120);
  EXPECT_EQ(pImage->LoadFile(u"platformres:image\\missing.png"), E_FAIL);
  pImage->Release();
  IUnknown* pNone = nullptr;
  EXPECT_EQ(Util::Lq::CreateObject(IID_ILqEvent, IID_ILqEvent, reinterpret_cast<void**>(&pNone)),
            REGDB_E_CLASSNOTREG);
}

// Every call from another thread is refused, logged and asserted, and changes nothing.
TEST_F(LqModelTest, OtherThreadsAreRefused) {
  ILqElement* pItem = Build(u"RightBarItem");
  ILqElement* pName = Find(pItem, u"phoneName");
  int before = BasaltTesting::AssertCount();
  HRESULT setText = S_OK;
  HRESULT build = S_OK;
  std::thread([&] {
    setText = pName->SetText(u"elsewhere");
    ILqElement* pOther = nullptr;
    build = Util::Lq::RawCreateLqElementBySkein(Frame(u"PHOTO").c_str(), &pOther, nullptr,
                                                nullptr, 0);
  }).join();
  EXPECT_EQ(setText, RPC_E_WRONG_THREAD);
  EXPECT_EQ(build, RPC_E_WRONG_THREAD);
  EXPECT_EQ(BasaltTesting::AssertCount(), before + 2);
  EXPECT_EQ(TextOf(pName), u"");
  pItem->Release();
}

}  // namespace
