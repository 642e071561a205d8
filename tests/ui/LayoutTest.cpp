// The layout file: every frame builds with the sizes the windows rely on; each id the windows
// look up resolves, from where they look, to the element meant (and the ids that repeat are
// listed); broken layouts fail whole with a line naming file, line and column; every picture
// the layout and the windows name was drawn.

#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <map>
#include <regex>
#include <set>

#include "CSkeinCache.h"
#include "UiTestSupport.h"

using namespace win32;
using namespace ui_test;

namespace {

class LayoutTest : public CUiTest {
 protected:
  // Builds `frame` from a file of our own in the sandbox.
  HRESULT BuildFrom(const std::string& fileName, const std::string& text, const char16_t* pFrame) {
    test_files::WriteWholeFile(Root() + "/layouts/" + fileName, text);
    ILqElement* pElement = nullptr;
    std::u16string reference =
        u"platformskein:" + Utf8ToUtf16(fileName) + u"|" + std::u16string(pFrame);
    HRESULT hr = Util::Lq::RawCreateLqElementBySkein(
        reference.c_str(), &pElement, nullptr, WindowsFromPosix(Root() + "/layouts/").c_str(), 0);
    if (pElement) pElement->Release();
    return hr;
  }
};

struct Lookup {
  const char16_t* pFrame;
  const char16_t* pFrom;  // the element the window searches under; null: the frame's root
  const char16_t* pId;
  lq::ElementKind kind;
  const char16_t* pParentId;  // the element found sits directly under this one ("" the root)
};

using K = lq::ElementKind;

// What the windows look up, from where they look.
const Lookup kLookups[] = {
    {u"MainWnd", nullptr, u"menubtn", K::kButton, u""},
    {u"MainWnd", nullptr, u"InitPage", K::kFrame, u""},
    {u"MainWnd", nullptr, u"nextStep", K::kButton, u"InitPage"},
    {u"MainWnd", nullptr, u"chooseDirFrame", K::kFrame, u""},
    {u"MainWnd", nullptr, u"ImageShowFrame", K::kFrame, u""},
    {u"MainWnd", nullptr, u"QRCodePage", K::kFrame, u""},
    {u"MainWnd", u"chooseDirFrame", u"dirEdit", K::kEdit, u"chooseDirFrame"},
    {u"MainWnd", u"chooseDirFrame", u"chooseDirTabCtrl", K::kTabStrip, u"chooseDirFrame"},
    {u"MainWnd", u"chooseDirFrame", u"selectDirBtn", K::kButton, u"chooseDirFrame"},
    {u"MainWnd", u"chooseDirFrame", u"nextStep", K::kButton, u"chooseDirFrame"},
    {u"MainWnd", u"chooseDirFrame", u"scrollToRightBtn", K::kButton, u"chooseDirFrame"},
    {u"MainWnd", u"chooseDirFrame", u"scrollToLeftBtn", K::kButton, u"chooseDirFrame"},
    {u"MainWnd", u"chooseDirFrame", u"errorText", K::kText, u"chooseDirFrame"},
    {u"MainWnd", u"QRCodePage", u"ScanSuc", K::kFrame, u"QRCodePage"},
    {u"MainWnd", u"QRCodePage", u"phonename", K::kText, u"ScanSuc"},
    {u"MainWnd", u"QRCodePage", u"smallclosebtn", K::kButton, u"ScanSuc"},
    {u"MainWnd", u"QRCodePage", u"backToShowPhotoPage", K::kButton, u"QRCodePage"},
    {u"MainWnd", u"QRCodePage", u"qrloading", K::kPicture, u"QRCodePage"},
    {u"MainWnd", u"QRCodePage", u"DownloadToMobile", K::kButton, u"QRCodePage"},
    {u"MainWnd", u"QRCodePage", u"DownloadLocal", K::kButton, u"QRCodePage"},
    {u"MainWnd", u"QRCodePage", u"qrCode_BindImg", K::kPicture, u"QRCodePage"},
    {u"MainWnd", u"QRCodePage", u"qrCode_DownUrlImg", K::kPicture, u"QRCodePage"},
    {u"MainWnd", u"QRCodePage", u"qrLinkIcon", K::kPicture, u"QRCodePage"},
    {u"MainWnd", u"ImageShowFrame", u"photoScrollView", K::kScroll, u"ImageShowFrame"},
    {u"MainWnd", u"ImageShowFrame", u"exproseBtn", K::kButton, u"ImageShowFrame"},
    {u"MainWnd", u"ImageShowFrame", u"packBtn", K::kButton, u"topPackupFrame"},
    {u"MainWnd", u"ImageShowFrame", u"rightPackupFrame", K::kFrame, u"ImageShowFrame"},
    {u"MainWnd", u"ImageShowFrame", u"phonename", K::kText, u"curshowPhoneUI"},
    {u"MainWnd", u"ImageShowFrame", u"statusText", K::kText, u"curshowPhoneUI"},
    {u"MainWnd", u"ImageShowFrame", u"openDirPath", K::kLink, u"ImageShowFrame"},
    {u"MainWnd", u"ImageShowFrame", u"curshowPhoneUI", K::kFrame, u"ImageShowFrame"},
    {u"MainWnd", u"ImageShowFrame", u"loadingAniImg", K::kPicture, u"curshowPhoneUI"},
    {u"MainWnd", u"ImageShowFrame", u"topPackupFrame", K::kFrame, u"ImageShowFrame"},
    {u"MainWnd", u"ImageShowFrame", u"topPackupFrameScrollView", K::kScroll, u"topPackupFrame"},
    {u"MainWnd", u"ImageShowFrame", u"addnewDeviceBtn", K::kButton, u"topPackupFrame"},
    {u"MainWnd", u"ImageShowFrame", u"loading", K::kFrame, u"ImageShowFrame"},
    {u"MainWnd", u"curshowPhoneUI", u"phonename", K::kText, u"curshowPhoneUI"},
    {u"MainWnd", u"rightPackupFrame", u"phonename", K::kText, u"rightPackupFrame"},
    {u"NotifyUnInsBriskenWindow", nullptr, u"okbtn", K::kButton, u""},
    {u"NotifyUnInsBriskenWindow", nullptr, u"canclbtn", K::kButton, u""},
    {u"UnBindMsgBox", nullptr, u"okbtn", K::kButton, u""},
    {u"UnBindMsgBox", nullptr, u"canclbtn", K::kButton, u""},
    {u"UnBindMsgBox", nullptr, u"contextText", K::kText, u""},
    {u"NotifyUnBindMsgNew", nullptr, u"okbtn", K::kButton, u""},
    {u"NotifyUnBindMsgNew", nullptr, u"contextText", K::kText, u""},
    {u"NotifyUnBindMsgRightBottomTip", nullptr, u"okbtn", K::kButton, u""},
    {u"NotifyUnBindMsgRightBottomTip", nullptr, u"contextText", K::kText, u""},
    {u"ChangeDirWindow", nullptr, u"ID_BTN_CHANGEDIR", K::kButton, u""},
    {u"ChangeDirWindow", nullptr, u"ID_EDIT_DIR", K::kEdit, u""},
    {u"ExitReason1", nullptr, u"ok", K::kButton, u""},
    {u"ExitReason1", nullptr, u"cancle", K::kLink, u""},
    {u"ExitReason1", nullptr, u"unChoose", K::kText, u""},
    {u"ExitReason1", nullptr, u"hasnophone", K::kCheck, u""},
    {u"ExitReason1", nullptr, u"nodownlaod", K::kCheck, u""},
    {u"ExitReason1", nullptr, u"scanfailed", K::kCheck, u""},
    {u"ExitReason1", nullptr, u"nowantdown", K::kCheck, u""},
    {u"ExitReason1", nullptr, u"noinstall", K::kCheck, u""},
    {u"ExitReason1", nullptr, u"linkfailed", K::kCheck, u""},
    {u"ExitReason1", nullptr, u"other", K::kCheck, u""},
    {u"ExitReason1", nullptr, u"scansucdownfailed", K::kCheck, u""},
    {u"ExitReason1", nullptr, u"nolikeproduct", K::kCheck, u""},
    {u"ExitReason1", nullptr, u"reasonEdit", K::kEdit, u""},
    {u"ExitReason1", nullptr, u"wexEdit", K::kEdit, u""},
    {u"RightBarItem", nullptr, u"phoneName", K::kText, u""},
    {u"RightBarItem", nullptr, u"breakLink", K::kText, u""},
    {u"RightBarItem", nullptr, u"phoneImage", K::kPicture, u""},
    {u"RightBarItem", nullptr, u"downbkg", K::kFrame, u""},
    {u"PHOTO", nullptr, u"userImg", K::kPicture, u""},
    {u"PHOTO", nullptr, u"imageborder", K::kFrame, u""},
    {u"photogroup_title", nullptr, u"timeText", K::kText, u""},
    {u"photogroup_title", nullptr, u"countText", K::kText, u""},
    {u"DirButtonFrame", nullptr, u"dirNameText", K::kText, u""},
};

const char16_t* const kFrames[] = {
    u"MainWnd",        u"NotifyUnInsBriskenWindow", u"ChangeDirWindow",
    u"UnBindMsgBox",   u"NotifyUnBindMsgNew",       u"NotifyUnBindMsgRightBottomTip",
    u"ExitReason1",    u"RightBarItem",             u"PHOTO",
    u"photogroup_title", u"DirButtonFrame"};

void CollectIds(lq::CElement* pElement, std::map<std::u16string, int>* pCounts) {
  for (lq::CElement* pChild : pElement->Children()) {
    if (!pChild->IdText().empty()) ++(*pCounts)[pChild->IdText()];
    CollectIds(pChild, pCounts);
  }
}

void CloseOrRelease(ILqElement* pElement) {
  HWND hwnd = nullptr;
  if (pElement->GetWindowHandle(&hwnd) == S_OK) pElement->Close();
  pElement->Release();
}

// Every frame builds: windows as hidden top-levels named after the frame, items detached; the
// sizes the windows' arithmetic stands on.
TEST_F(LayoutTest, EveryFrameBuildsWithItsSize) {
  const std::map<std::u16string, std::pair<int, int>> sizes = {
      {u"MainWnd", {774, 494}},   {u"RightBarItem", {275, 108}}, {u"photogroup_title", {730, 30}},
      {u"PHOTO", {120, 120}},      {u"DirButtonFrame", {110, 24}}};
  for (const char16_t* pFrame : kFrames) {
    SCOPED_TRACE(Utf16ToUtf8(pFrame));
    ILqElement* pRoot = Build(pFrame);
    ASSERT_NE(pRoot, nullptr);
    RECT rect{};
    pRoot->GetRect(&rect);
    if (auto it = sizes.find(pFrame); it != sizes.end()) {
      EXPECT_EQ(rect.right - rect.left, it->second.first);
      EXPECT_EQ(rect.bottom - rect.top, it->second.second);
    }
    if (auto* pWindow = lq::CElement::FromInterface(pRoot)->TopLevel()) {
      EXPECT_EQ(pWindow->NativeName(), pFrame);
      BOOL hidden = FALSE;
      pRoot->IsHidden(&hidden);
      EXPECT_TRUE(hidden);
      // Each window carries its own caption area and close button.
      EXPECT_NE(Find(pRoot, u"captionArea"), nullptr);
      EXPECT_EQ(Find(pRoot, u"closebtn")->GetLook().role, lq::WindowRole::kCloseButton);
    }
    CloseOrRelease(pRoot);
  }
  ILqElement* pTip = Build(u"NotifyUnBindMsgRightBottomTip");
  BSTR kind = nullptr;
  pTip->GetKindName(&kind);
  EXPECT_EQ(std::u16string(kind), u"Blue_TipsWindow");
  SysFreeString(kind);
  CloseOrRelease(pTip);
  // Labels are Chinese.
  ILqElement* pMain = Build(u"MainWnd");
  EXPECT_EQ(TextOf(Find(pMain, u"nextStep")), u"开始使用");
  CloseOrRelease(pMain);
}

// The lint: each lookup finds the element meant; the ids that repeat within a frame are listed
// and are exactly the ones the windows are built to live with.
TEST_F(LayoutTest, LookupsResolveToTheElementsMeantAndRepeatsAreKnown) {
  for (const Lookup& lookup : kLookups) {
    SCOPED_TRACE(Utf16ToUtf8(lookup.pFrame) + " " +
                 (lookup.pFrom ? Utf16ToUtf8(lookup.pFrom) : "root") + " " +
                 Utf16ToUtf8(lookup.pId));
    ILqElement* pRoot = Build(lookup.pFrame);
    ASSERT_NE(pRoot, nullptr);
    lq::CElement* pFrom =
        lookup.pFrom ? Find(pRoot, lookup.pFrom) : lq::CElement::FromInterface(pRoot);
    ASSERT_NE(pFrom, nullptr);
    ILqElement* pFound = nullptr;
    ASSERT_EQ(pFrom->FindChild(lookup.pId, &pFound), S_OK);
    lq::CElement* pElement = lq::CElement::FromInterface(pFound);
    EXPECT_EQ(pElement->Kind(), lookup.kind);
    EXPECT_EQ(pElement->Parent()->IdText(), lookup.pParentId);
    pFound->Release();
    CloseOrRelease(pRoot);
  }
  std::map<std::u16string, std::set<std::u16string>> repeats;
  for (const char16_t* pFrame : kFrames) {
    ILqElement* pRoot = Build(pFrame);
    std::map<std::u16string, int> counts;
    CollectIds(lq::CElement::FromInterface(pRoot), &counts);
    for (const auto& [id, count] : counts) {
      if (count > 1) {
        repeats[pFrame].insert(id);
        std::cout << "repeated id in " << Utf16ToUtf8(pFrame) << ": " << Utf16ToUtf8(id) << " x"
                  << count << "\n";
      }
    }
    CloseOrRelease(pRoot);
  }
  using Ids = std::set<std::u16string>;
  EXPECT_EQ(repeats, (std::map<std::u16string, Ids>{
                         {u"MainWnd", Ids{u"nextStep", u"phonename", u"statusText"}}}));
  // The main menu opens at "menubtn"'s rectangle, read in the window's coordinates.
  ILqElement* pMain = Build(u"MainWnd");
  EXPECT_EQ(Find(pMain, u"menubtn")->Parent(), lq::CElement::FromInterface(pMain));
  CloseOrRelease(pMain);
}

// Broken files fail whole, with one line naming file, line and column, and leave no window.
TEST_F(LayoutTest, BrokenLayoutsFailWithTheirPlace) {
  struct Case {
    std::string file;
    std::string text;
    const char16_t* pFrame;
    std::string where;  // ":line:" expected in the message
    std::string what;
  };
  const std::string good =
      "<layout>\n<skein name=\"Box\">\n  <window rect=\"0,0,10,10\">\n    <button id=\"ok\"/>\n"
      "  </window>\n</skein>\n</layout>\n";
  const Case cases[] = {
      {"malformed.xml", "<layout>\n<skein name=\"Box\">\n  <window rect=\"0,0,10,10\">\n"
                        "    <button id=\"ok\">\n  </window>\n</skein>\n</layout>\n",
       u"Box", ":5:", "window"},
      {"kind.xml", "<layout>\n<skein name=\"Box\">\n  <window rect=\"0,0,10,10\">\n"
                   "    <slider id=\"s\"/>\n  </window>\n</skein>\n</layout>\n",
       u"Box", ":4:", "unknown element kind <slider>"},
      {"value.xml", "<layout>\n<skein name=\"Box\">\n  <window rect=\"0,0,10\"/>\n</skein>\n"
                    "</layout>\n",
       u"Box", ":3:", "bad value \"0,0,10\" for rect"},
      {"frame.xml", good, u"Missing", ":8:", "no frame \"Missing\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(BuildFrom(c.file, c.text, c.pFrame), E_FAIL);
    std::string error = lq::CSkeinCache::LastError();
    EXPECT_NE(error.find(c.file + c.where), std::string::npos) << error;
    EXPECT_NE(error.find(c.what), std::string::npos) << error;
    EXPECT_TRUE(lq::CWindowElement::AllWindows().empty());
    std::string log = test_files::ReadWholeFile(test_files::PosixFromWindows(BasaltTesting::LogPath()));
    EXPECT_NE(log.find(c.file + c.where), std::string::npos);
  }
  // The good file builds its frame.
  EXPECT_EQ(BuildFrom("good.xml", good, u"Box"), S_OK);
  for (lq::CWindowElement* pWindow : lq::CWindowElement::AllWindows()) pWindow->DestroyElement();
  ILqElement* pNone = nullptr;
  EXPECT_EQ(Util::Lq::RawCreateLqElementBySkein(u"Harborlight.xml|MainWnd", &pNone, nullptr,
                                                nullptr, 0),
            E_INVALIDARG);
}

// Every picture named by the layout or by the windows exists, all 30 frames of both animations
// included, and the program icon holds 16 and 32 pixel images.
TEST_F(LayoutTest, EveryPictureWasDrawn) {
  std::set<std::string> names;
  std::string layout = test_files::ReadWholeFile(HARBORLIGHT_LAYOUT_FILE);
  std::regex reference("platformres:([^\"]+)\"");
  for (std::sregex_iterator it(layout.begin(), layout.end(), reference), end; it != end; ++it) {
    names.insert((*it)[1].str());
  }
  EXPECT_GT(names.size(), 15u);
  for (const char* pName :
       {"image\\background.png", "image\\background_bigblue.png", "image\\default.png",
        "image\\default_video.png", "image\\rightBarPhone.png", "image\\rightBarPhoneColor.png",
        "menu\\adddeviceicon.png", "menu\\changedir.png", "menu\\feedbackicon.png",
        "menu\\exiticon.png", "menu\\openfoldericon.png"}) {
    names.insert(pName);
  }
  for (int frame = 0; frame < 30; ++frame) {
    names.insert("loadinganimation\\" + std::to_string(frame) + ".png");
    names.insert("qrloading\\" + std::to_string(frame) + ".png");
  }
  for (std::string name : names) {
    std::replace(name.begin(), name.end(), '\\', '/');
    EXPECT_TRUE(std::filesystem::is_regular_file(LUMIDOCK_BIN_DIR "/res/" + name)) << name;
  }
  std::string icon = test_files::ReadWholeFile(LUMIDOCK_BIN_DIR "/Harborlight.ico");
  ASSERT_GE(icon.size(), 6u + 2 * 16);
  EXPECT_EQ(icon[2], 1);  // an icon
  EXPECT_EQ(icon[4], 2);  // two images
  EXPECT_EQ(static_cast<uint8_t>(icon[6]), 16);
  EXPECT_EQ(static_cast<uint8_t>(icon[6 + 16]), 32);
}

}  // namespace
