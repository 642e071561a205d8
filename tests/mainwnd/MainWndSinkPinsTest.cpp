// The main window's logic sink as the photo page shows it, with the scripted logic library: a
// batch's count left, a phone rebound under a new id keeping its photos, the presence messages
// deciding the busy line, and a phone's own unbinding shown as a box or a corner tip.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "LibraryPath.h"
#include "ScriptedMainWndTest.h"
#include "fakes/ScriptedOrbalyn.h"
#include "uimsg.pb.h"
#include "win32/module.h"
#include "win32/toplevel.h"
#include "win32/window.h"

using namespace win32;
using namespace mainwnd_test;
using scripted_orbalyn::Device;

namespace {

constexpr int64_t kOldId = 77;
constexpr int64_t kNewId = 0x0102030405060708;
constexpr int64_t kOtherId = 88;

class MainWndSinkPinsTest : public CScriptedMainWndTest {
 protected:
  void TearDown() override {
    CScriptedMainWndTest::TearDown();
    unsetenv("LUMIDOCK_DRIVES");
  }

  void Deliver(int type, int value, int64_t id = 0, int param1 = 0) {
    CTestMessage message(type, value, id, param1);
    EXPECT_EQ(m_pMain->OnLogicMessage(&message), 0);
  }
  // A file written to the phone's folder, then announced and ended as the library does.
  void Upload(int32_t fileId, int64_t id, const std::string& path) {
    test_files::WriteWholeFile(path, std::string(64, 'x'));
    CTestMessage begin = UploadBeginMessage(
        fileId, id, Utf16ToUtf8(ui_test::WindowsFromPosix(path)), 64);
    EXPECT_EQ(m_pMain->OnLogicMessage(&begin), 0);
    Deliver(UIMsg_upload_result, 0, 0, fileId);
  }

  lq::CElement* Page(const char16_t* pId) { return Element(u"ImageShowFrame")->FindById(pId); }
  std::u16string Status() { return Page(u"statusText")->TextValue(); }
  std::vector<lq::CElement*> Strip() { return Page(u"topPackupFrameScrollView")->Children(); }
  void Select(size_t index) {
    if (Page(u"topPackupFrame")->HiddenFlag()) {
      ASSERT_TRUE(Page(u"exproseBtn")->UserClick());
    }
    ASSERT_TRUE(Strip().at(index)->FindById(u"phoneName")->UserClick());
  }
  // The photos the shown container counts over its day groups; -1 while the page loads.
  int ShownPhotos() {
    if (!Page(u"loading")->HiddenFlag()) return -1;
    int photos = 0;
    for (lq::CElement* pContainer : Page(u"photoScrollView")->Children()) {
      if (pContainer->HiddenFlag()) continue;
      for (lq::CElement* pGroup : pContainer->Children()) {
        photos += std::stoi("0" + Utf16ToUtf8(pGroup->FindById(u"countText")->TextValue()));
      }
    }
    return photos;
  }
  // Runs the UI thread (the walk's call-back, the page's timers) until `done` holds.
  bool RunUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      Pump();
      m_clock.Advance(15);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

};

TEST_F(MainWndSinkPinsTest, BatchCountsRebindPresenceAndUnbindNoticeOnThePage) {
  setenv("LUMIDOCK_DRIVES", ("C=" + Root() + "/drives/C").c_str(), 1);
  const std::string folder = Root() + "/drives/C/Lumidock/Ostra/Camera";
  std::filesystem::create_directories(folder);
  for (int i = 0; i < 2; ++i) {
    test_files::WriteWholeFile(folder + "/IMG_" + std::to_string(i) + ".jpg", "old photo");
  }
  m_pLibrary->workDir = u"C:\\Lumidock";
  m_pLibrary->devices = {Device{kOldId, u"Ostra", Presence_here, true},
                         Device{kOtherId, u"Marlo", Presence_here, true}};
  Start();
  ASSERT_TRUE(Shown(u"ImageShowFrame"));
  ASSERT_TRUE(RunUntil([&] { return ShownPhotos() == 2; })) << ShownPhotos();
  Upload(1, kOldId, folder + "/IMG_2.jpg");
  EXPECT_EQ(ShownPhotos(), 3);

  // Bound again under a new id: the old id is let go, and its entry and photos are the new id's.
  m_pLibrary->matches[kNewId] = kOldId;
  m_pLibrary->devices[0].id = kNewId;
  Deliver(UIMsg_bind_state, BindState_bound, kNewId);
  EXPECT_EQ(m_pLibrary->unbound, std::vector<int64_t>{kOldId});
  EXPECT_EQ(Strip().size(), 2u);
  EXPECT_EQ(Page(u"phonename")->TextValue(), u"Ostra");
  Upload(2, kNewId, folder + "/IMG_3.jpg");
  EXPECT_EQ(ShownPhotos(), 4);

  // The count left is announced minus done, never below 0.
  Deliver(UIMsg_upload_batch, 10, kNewId, 4);
  EXPECT_EQ(Status(), u"有6张照片正在备份...");
  Deliver(UIMsg_upload_batch, 10, kNewId, 14);
  EXPECT_EQ(Status(), u"有0张照片正在备份...");
  Deliver(UIMsg_upload_batch, 10, kNewId, 4);

  // Away, and the store no longer reaches it: selected again, the phone shows no backup going
  // on; here again, it shows its batch.
  m_pLibrary->devices[0].bound = false;
  Deliver(UIMsg_device_remote_state, Presence_away, kNewId);
  m_pLibrary->devices[0].bound = true;
  Select(1);
  Select(0);
  EXPECT_EQ(Page(u"phonename")->TextValue(), u"Ostra");
  EXPECT_NE(Status(), u"有6张照片正在备份...");
  Deliver(UIMsg_device_local_state, Presence_here, kNewId);
  Select(1);
  Select(0);
  EXPECT_EQ(Status(), u"有6张照片正在备份...");

  // A phone that unbinds itself: a box over the window in front, else a tip in the corner.
  const HWND hwnd = m_pMain->Hwnd();
  ASSERT_TRUE(SetForegroundWindow(hwnd));
  std::u16string boxText;
  Script().PushCall([&](ILqElement* pWindow) {
    boxText = ui_test::Find(pWindow, u"contextText")->TextValue();
  });
  Script().PushClick(u"okbtn");
  m_pLibrary->devices[1].bound = false;
  Deliver(UIMsg_unbind, 1, kOtherId);
  EXPECT_EQ(boxText, u"手机Marlo解除了与此电脑的绑定。");
  EXPECT_EQ(Strip().size(), 1u);
  EXPECT_EQ(lq::CWindowElement::AllWindows().size(), 1u);

  ShowWindow(hwnd, SW_HIDE);
  ASSERT_NE(GetForegroundWindow(), hwnd);
  m_pLibrary->devices[0].bound = false;
  Deliver(UIMsg_unbind, 1, kNewId);
  std::vector<lq::CWindowElement*> windows = lq::CWindowElement::AllWindows();
  ASSERT_EQ(windows.size(), 2u);  // the main window and the tip
  lq::CWindowElement* pTip =
      windows[0] == lq::CWindowElement::FromHandle(hwnd) ? windows[1] : windows[0];
  EXPECT_EQ(ui_test::Find(pTip, u"contextText")->TextValue(), u"手机Ostra解除了与此电脑的绑定。");
  EXPECT_TRUE(Strip().empty());
  EXPECT_TRUE(Script().Failures().empty());
}

}  // namespace
