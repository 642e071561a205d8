// The screen shows what the layout draws: each window and page a person reaches, grabbed off the
// X screen, against the test port's snapshot of the same moment (ScreenMatch.h). A first start
// walks the first-run page, the folder page, the QR page, the change-folder window and the exit
// survey; a start with two phones bound walks the photo page with the phone strip open and the
// unbind box. The comparison must notice a snapshot without "添加新设备".

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <string>
#include <vector>

#include "../common/ChildWait.h"
#include "../common/SpawnChild.h"

#include "CServerSim.h"
#include "Logic/PhotoDb.h"
#include "Logic/PhotoDevice.h"
#include "RunningProgram.h"
#include "ScreenMatch.h"

using harborlight_test::CompareScreen;
using harborlight_test::CompareScreenOnce;
using harborlight_test::CRunningProgram;

namespace {

constexpr char kMain[] = "MainWnd";

// Whether the port's description of the element holds `fact` (a JSON member and its value).
bool Holds(CRunningProgram& program, const std::string& window, const std::string& path,
           const std::string& fact) {
  const std::string find = R"({"cmd":"find","window":")" + window + R"(","path":")" + path;
  return program.Raw(find + R"("})").find(fact) != std::string::npos;
}

// The photo tiles made in the grid.
size_t Tiles(CRunningProgram& program) {
  const std::string grid =
      program.Raw(R"({"cmd":"find","window":"MainWnd","path":"ImageShowFrame/photoScrollView"})");
  size_t tiles = 0;
  for (size_t at = grid.find(R"("id":"imageborder")"); at != std::string::npos;
       at = grid.find(R"("id":"imageborder")", at + 1)) {
    ++tiles;
  }
  return tiles;
}

bool WaitShown(CRunningProgram& program, const std::string& window, const std::string& path,
               bool shown = true) {
  return x11_test::WaitUntil(
      [&] { return Holds(program, window, path, R"("shown":true)") == shown; }, 20000);
}

bool WaitViewable(CRunningProgram& program, const std::string& window, bool viewable = true) {
  return x11_test::WaitUntil(
      [&] {
        win32::HWND hwnd = program.Window(window);
        return (hwnd && x11_test::Viewable(hwnd)) == viewable;
      },
      20000);
}

// A click whose handler runs a modal window: the port answers when that window has closed, so
// the request goes from a process of its own, waited for at the end.
pid_t ClickOpeningModal(CRunningProgram& program, const std::vector<std::string>& command) {
  std::vector<std::string> args{HARBOR_DRIVE, "--socket", program.Root() + "/port/harborlight"};
  args.insert(args.end(), command.begin(), command.end());
  return test_common::SpawnChild(args, {});
}

void ExpectClosed(pid_t pid) {
  EXPECT_EQ(test_common::WaitForChild(&pid, std::chrono::seconds(20), std::chrono::milliseconds(5)),
            0);
}

void ExpectMatch(CRunningProgram& program, const std::string& window, const std::string& name) {
  harborlight_test::ScreenMatch match = CompareScreen(program, window, name);
  EXPECT_TRUE(match.Matches()) << name << " " << match.error << ": see artifacts/ui/screen-match/"
                               << name << "-diff.png";
}

void ExitByTrayMenu(CRunningProgram& program) {
  int status = program.ExitFromTrayMenu();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << program.Errors();
}

TEST(ScreenMatchesLayout, EveryWindowAPersonReaches) {
  CServerSim server(CServerSim::Options{});
  ASSERT_TRUE(server.Start());
  const std::string entry = "ORBALYN_ENTRY_SERVER=127.0.0.1:" + std::to_string(server.EntryPort());
  {
    CRunningProgram program(LUMIDOCK_BIN_DIR "/Orbalyn.so");
    program.Installed().Install(LUMIDOCK_BIN_DIR "/folder.ico", "folder.ico");
    ASSERT_TRUE(program.Start({}, {entry})) << program.Errors();
    ASSERT_TRUE(WaitViewable(program, kMain));
    ASSERT_TRUE(WaitShown(program, kMain, "InitPage/nextStep"));
    ExpectMatch(program, kMain, "first-run");

    program.Port("click MainWnd InitPage/nextStep");
    ASSERT_TRUE(WaitShown(program, kMain, "chooseDirFrame/dirEdit"));
    ASSERT_TRUE(WaitShown(program, kMain, "chooseDirFrame/chooseDirTabCtrl/C:\\\\"));
    ExpectMatch(program, kMain, "folder-page");

    program.Port("click MainWnd chooseDirFrame/nextStep");
    ASSERT_TRUE(WaitShown(program, kMain, "QRCodePage/qrCode_BindImg"));
    ASSERT_TRUE(WaitShown(program, kMain, "QRCodePage/qrloading", false));
    ExpectMatch(program, kMain, "qr-page");

    program.Port("click MainWnd menubtn");
    pid_t menuClick = ClickOpeningModal(program, {"menu-click", "2"});
    ASSERT_TRUE(WaitViewable(program, "ChangeDirWindow"));
    ExpectMatch(program, "ChangeDirWindow", "change-folder");
    program.Port("click ChangeDirWindow closebtn");
    ASSERT_TRUE(WaitViewable(program, "ChangeDirWindow", false));
    ExpectClosed(menuClick);

    // No phone bound yet: closing asks why.
    program.Port("post MainWnd 16 0 0");
    ASSERT_TRUE(WaitViewable(program, "ExitReason1"));
    ExpectMatch(program, "ExitReason1", "exit-survey");
    program.Port("post ExitReason1 16 0 0");
    ASSERT_TRUE(WaitViewable(program, kMain, false));
    ExitByTrayMenu(program);
  }

  // Two phones bound in the store the program loads, the first with photos of three days.
  CRunningProgram program(LUMIDOCK_BIN_DIR "/Orbalyn.so");
  program.Installed().Install(LUMIDOCK_BIN_DIR "/folder.ico", "folder.ico");
  ASSERT_TRUE(x11_test::RunTool({LUMIDOCK_BIN_DIR "/make-sample-photos",
                                 program.Root() + "/drives/C/Lumidock/Alpha", "--count", "14",
                                 "--days", "3"}));
  CPhotoDb* pDb = CPhotoDb::Instance();
  pDb->SetDeviceId(740001);
  pDb->SetIdKey("5c0ffee5c0ffee5c");
  ASSERT_EQ(pDb->SetWorkDir(u"C:\\Lumidock"), win32::S_OK);
  for (int64_t id : {740101, 740102}) {
    CPhotoDevice* pDevice = pDb->FindOrCreateDevice(id, true);
    ASSERT_NE(pDevice, nullptr);
    pDevice->SetKey("a1a1a1a1a1a1a1a1");
    pDevice->SetName(id == 740101 ? u"Alpha" : u"Bravo");
    pDevice->SetBindState(CPhotoDevice::kBindBound);
    pDevice->Release();
  }
  ASSERT_EQ(pDb->Save(), 1);
  server.AddPc(740001, "5c0ffee5c0ffee5c");
  ASSERT_TRUE(program.Start({}, {entry})) << program.Errors();
  ASSERT_TRUE(WaitViewable(program, kMain));
  ASSERT_TRUE(WaitShown(program, kMain, "ImageShowFrame/exproseBtn"));
  // The wheel moves the grid down: the view draws from its scroll position.
  const std::string kGrid = "ImageShowFrame/photoScrollView";
  int left = 0, top = 0, right = 0, bottom = 0;
  ASSERT_EQ(sscanf(program.Port("rect MainWnd " + kGrid).c_str(), "%d %d %d %d", &left, &top,
                   &right, &bottom),
            4);
  ASSERT_TRUE(x11_test::WaitUntil(
      [&] { return Holds(program, kMain, kGrid, R"("scrollable":[false,true])"); }, 20000));
  ASSERT_TRUE(x11_test::RunTool({"xdotool", "mousemove", std::to_string((left + right) / 2),
                                 std::to_string((top + bottom) / 2), "click", "5"}));
  ASSERT_TRUE(
      x11_test::WaitUntil([&] { return !Holds(program, kMain, kGrid, R"("scroll":[0,0])"); }));
  program.Port("click MainWnd ImageShowFrame/exproseBtn");
  ASSERT_TRUE(WaitShown(program, kMain, "ImageShowFrame/addnewDeviceBtn"));
  ASSERT_TRUE(WaitShown(program, kMain, "ImageShowFrame/topPackupFrameScrollView/breakLink"));
  // Every tile made, then no thumbnail on its way: no picture changes between the screen's grab
  // and the snapshot.
  ASSERT_TRUE(x11_test::WaitUntil([&] { return Tiles(program) == 14; }, 20000));
  ASSERT_TRUE(program.WaitDecodes()) << program.DecodesInFlight();
  ExpectMatch(program, kMain, "photo-page-strip");
  // The comparison sees a button that is not there.
  const harborlight_test::ScreenMatch without = CompareScreenOnce(
      program, kMain, "photo-page-strip-without-add", "ImageShowFrame/addnewDeviceBtn");
  printf("the same without \"添加新设备\": %.3f %% differ, %.1f %% in the worst block\n",
         without.share * 100, without.worstBlock * 100);
  EXPECT_EQ(without.error, "");
  EXPECT_FALSE(without.Matches());

  pid_t unbindClick = ClickOpeningModal(
      program, {"click", kMain, "ImageShowFrame/topPackupFrameScrollView/breakLink"});
  ASSERT_TRUE(WaitViewable(program, "UnBindMsgBox"));
  ExpectMatch(program, "UnBindMsgBox", "unbind-box");
  program.Port("click UnBindMsgBox canclbtn");
  ASSERT_TRUE(WaitViewable(program, "UnBindMsgBox", false));
  ExpectClosed(unbindClick);
  ExitByTrayMenu(program);
  EXPECT_EQ(program.Errors(), "");
}

}  // namespace

int main(int argc, char** argv) { return x11_test::RunGuiTests(argc, argv); }
