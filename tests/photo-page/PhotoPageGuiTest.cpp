// The photo page in the program on a display, with a window manager and trayer docked at the
// bottom: three phones bound in the store the program loads, their photos in the backup folder,
// the server simulator in this process. The strip lists the three, each phone's days show as
// groups of drawn tiles (pictures of both under the artifacts), the pointer selects a phone and
// opens a tile, and a phone unbinding itself while the window is away brings the corner tip into
// the work area's corner, where the pointer holds it.

#include <gtest/gtest.h>
#include <json-glib/json-glib.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "../harborlight/RunningProgram.h"
#include "CServerSim.h"
#include "Logic/PhotoDb.h"
#include "Logic/PhotoDevice.h"
#include "win32/toplevel.h"

using namespace win32;
using harborlight_test::ArtifactPath;
using harborlight_test::CRunningProgram;

namespace {

constexpr int64_t kPcId = 730001;
constexpr char kPcKey[] = "5c0ffee5c0ffee5c";
constexpr char kTipWindow[] = "NotifyUnBindMsgRightBottomTip";
constexpr int kCloseTimer = 101;

struct Phone {
  int64_t id;
  const char* pKey;
  const char* pName;
  int photos;
  int days;
};
constexpr Phone kPhones[] = {{730101, "a1a1a1a1a1a1a1a1", "Alpha", 9, 2},
                             {730102, "b2b2b2b2b2b2b2b2", "Bravo", 14, 3},
                             {730103, "c3c3c3c3c3c3c3c3", "Charlie", 4, 1}};

// One element of a window's tree as the test port tells it.
struct Element {
  std::string id, name, text, picture;
  RECT abs{};
  bool shown = false, hover = false;
  int opacity = 0;
  std::vector<Element> children;
};

struct Timer {
  int id = 0;
  int dueIn = 0;
};

// One window as the test port tells it: its timers and its elements.
struct Window {
  HWND hwnd = nullptr;
  std::vector<Timer> timers;
  Element root;

  bool HasTimer(int id) const {
    return std::any_of(timers.begin(), timers.end(), [id](const Timer& t) { return t.id == id; });
  }
  // Shown elements with that id, in tree order; All: hidden ones too.
  std::vector<const Element*> Shown(const std::string& id) const { return Find(id, true); }
  std::vector<const Element*> All(const std::string& id) const { return Find(id, false); }

 private:
  std::vector<const Element*> Find(const std::string& id, bool shownOnly) const {
    std::vector<const Element*> found;
    Collect(root, id, shownOnly, &found);
    return found;
  }
  static void Collect(const Element& element, const std::string& id, bool shownOnly,
                      std::vector<const Element*>* pFound) {
    if (shownOnly && !element.shown) return;
    if (element.id == id) pFound->push_back(&element);
    for (const Element& child : element.children) Collect(child, id, shownOnly, pFound);
  }
};

std::string Member(JsonObject* pObject, const char* pName) {
  return json_object_has_member(pObject, pName) ? json_object_get_string_member(pObject, pName)
                                                : "";
}

Element ReadElement(JsonObject* pObject) {
  Element element;
  element.id = Member(pObject, "id");
  element.name = Member(pObject, "name");
  element.text = Member(pObject, "text");
  element.picture = Member(pObject, "picture");
  JsonArray* pAbs = json_object_get_array_member(pObject, "abs");
  element.abs = RECT{static_cast<LONG>(json_array_get_int_element(pAbs, 0)),
                     static_cast<LONG>(json_array_get_int_element(pAbs, 1)),
                     static_cast<LONG>(json_array_get_int_element(pAbs, 2)),
                     static_cast<LONG>(json_array_get_int_element(pAbs, 3))};
  element.shown = json_object_get_boolean_member(pObject, "shown");
  element.hover = json_object_get_boolean_member(pObject, "hover");
  element.opacity = static_cast<int>(json_object_get_int_member(pObject, "opacity"));
  JsonArray* pChildren = json_object_get_array_member(pObject, "children");
  for (guint i = 0; pChildren && i < json_array_get_length(pChildren); ++i) {
    element.children.push_back(ReadElement(json_array_get_object_element(pChildren, i)));
  }
  return element;
}

// The window's tree; false while the program has no such window.
bool ReadWindow(CRunningProgram& program, const std::string& name, Window* pWindow) {
  const std::string reply = program.Raw(R"({"cmd":"tree","window":")" + name + R"("})");
  JsonParser* pParser = json_parser_new();
  bool ok = false;
  if (json_parser_load_from_data(pParser, reply.c_str(), -1, nullptr)) {
    JsonNode* pRoot = json_parser_get_root(pParser);
    JsonObject* pReply = JSON_NODE_HOLDS_OBJECT(pRoot) ? json_node_get_object(pRoot) : nullptr;
    JsonArray* pWindows = pReply && json_object_has_member(pReply, "windows")
                              ? json_object_get_array_member(pReply, "windows")
                              : nullptr;
    if (pWindows && json_array_get_length(pWindows) > 0) {
      JsonObject* pObject = json_array_get_object_element(pWindows, 0);
      pWindow->hwnd = reinterpret_cast<HWND>(
          static_cast<uintptr_t>(json_object_get_int_member(pObject, "hwnd")));
      pWindow->timers.clear();
      JsonArray* pTimers = json_object_get_array_member(pObject, "timers");
      for (guint i = 0; pTimers && i < json_array_get_length(pTimers); ++i) {
        JsonObject* pTimer = json_array_get_object_element(pTimers, i);
        pWindow->timers.push_back(Timer{static_cast<int>(json_object_get_int_member(pTimer, "id")),
                                        static_cast<int>(json_object_get_int_member(pTimer, "dueIn"))});
      }
      pWindow->root = ReadElement(json_object_get_object_member(pObject, "root"));
      ok = true;
    }
  }
  g_object_unref(pParser);
  return ok;
}

// The three phones bound, the PC known and the backup folder set, saved by the store itself the
// way the program's library will read it.
void SeedStore(const std::u16string& backup) {
  CPhotoDb* pDb = CPhotoDb::Instance();
  pDb->SetDeviceId(kPcId);
  pDb->SetIdKey(kPcKey);
  ASSERT_EQ(pDb->SetWorkDir(backup.c_str()), S_OK);
  for (const Phone& phone : kPhones) {
    CPhotoDevice* pDevice = pDb->FindOrCreateDevice(phone.id, true);
    ASSERT_NE(pDevice, nullptr);
    pDevice->SetKey(phone.pKey);
    pDevice->SetName(Utf8ToUtf16(phone.pName));
    pDevice->SetBindState(CPhotoDevice::kBindBound);
    pDevice->Release();
  }
  ASSERT_EQ(pDb->Save(), 1);
}

bool MakePhotos(const std::string& folder, const Phone& phone) {
  return x11_test::RunTool({LUMIDOCK_BIN_DIR "/make-sample-photos", folder, "--count",
                            std::to_string(phone.photos), "--days", std::to_string(phone.days)});
}

// The newest photo of a folder: the first tile of the page.
std::string NewestFile(const std::string& folder) {
  std::string newest;
  std::filesystem::file_time_type newestTime{};
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    if (newest.empty() || entry.last_write_time() > newestTime) {
      newest = entry.path().string();
      newestTime = entry.last_write_time();
    }
  }
  return newest;
}

POINT CentreOnScreen(HWND hwnd, const RECT& abs) {
  RECT window{};
  GetWindowRect(hwnd, &window);
  return POINT{window.left + (abs.left + abs.right) / 2, window.top + (abs.top + abs.bottom) / 2};
}

bool ClickAt(POINT at) {
  return x11_test::RunTool({"xdotool", "mousemove", std::to_string(at.x), std::to_string(at.y),
                            "click", "1"});
}

// The selected phone's page: its name, its day titles and counts, and whether every tile in
// view is drawn with its thumbnail.
struct ShownPhone {
  std::string name;
  int groups = 0;
  int photos = 0;
  bool drawn = false;
};

ShownPhone ReadShownPhone(const Window& main) {
  ShownPhone shown;
  std::vector<const Element*> names = main.Shown("phonename");
  if (!names.empty()) shown.name = names[0]->text;
  for (const Element* pCount : main.Shown("countText")) {
    ++shown.groups;
    shown.photos += atoi(pCount->text.c_str());
  }
  std::vector<const Element*> views = main.Shown("photoScrollView");
  std::vector<const Element*> images = main.Shown("userImg");
  shown.drawn = !views.empty() && !images.empty();
  for (const Element* pImage : images) {
    const RECT& view = views.empty() ? RECT{} : views[0]->abs;
    const bool inView = pImage->abs.top < view.bottom && pImage->abs.bottom > view.top;
    if (inView && pImage->picture != "(object)") shown.drawn = false;
  }
  return shown;
}

// Waits until the page shows that phone complete: all its days and counts, a tile for each photo
// (those below the view made later), every tile in view drawn, and no thumbnail still being
// decoded (asked after the tiles were seen made, so none comes back later to change a picture).
bool WaitForPhone(CRunningProgram& program, const Phone& phone, Window* pMain) {
  return x11_test::WaitUntil(
      [&] {
        if (!ReadWindow(program, "MainWnd", pMain)) return false;
        ShownPhone shown = ReadShownPhone(*pMain);
        return shown.name == phone.pName && shown.groups == phone.days &&
               shown.photos == phone.photos && shown.drawn &&
               pMain->Shown("imageborder").size() == static_cast<size_t>(phone.photos) &&
               program.DecodesInFlight() == 0;
      },
      20000);
}

TEST(PhotoPageOnScreen, StripGridTileOpenAndTheCornerTipUnderThePointer) {
  CRunningProgram program(LUMIDOCK_BIN_DIR "/Orbalyn.so");
  for (const char* pName : {"dadovo.so", "folder.ico"}) {
    program.Installed().Install(std::string(LUMIDOCK_BIN_DIR) + "/" + pName, pName);
  }
  const std::string backup = program.Root() + "/drives/C/Lumidock";
  for (const Phone& phone : kPhones) {
    ASSERT_TRUE(MakePhotos(backup + "/" + phone.pName, phone));
  }
  SeedStore(u"C:\\Lumidock");
  if (HasFatalFailure()) return;

  CServerSim server(CServerSim::Options{});
  ASSERT_TRUE(server.Start());
  server.AddPc(kPcId, kPcKey);
  for (const Phone& phone : kPhones) server.SetPhoneKey(phone.id, phone.pKey);

  const std::string opened = program.Root() + "/opened";
  const std::string recorder = program.Root() + "/shell-open";
  test_files::WriteWholeFile(recorder, "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + opened + "'\n");
  std::filesystem::permissions(recorder, std::filesystem::perms::owner_all);
  ASSERT_TRUE(program.Start(
      {}, {"TZ=Asia/Shanghai", "LUMIDOCK_SHELL_OPEN=" + recorder,
           "ORBALYN_ENTRY_SERVER=127.0.0.1:" + std::to_string(server.EntryPort())}))
      << program.Errors();
  HWND hwnd = program.Window("MainWnd");
  ASSERT_NE(hwnd, nullptr);
  ASSERT_TRUE(x11_test::WaitUntil([&] { return x11_test::Viewable(hwnd); }));
  EXPECT_TRUE(server.WaitForEvent("login", 1, 30000));

  // The first phone is selected and drawn; "全部设备" opens the strip, which lists the three in
  // the store's order.
  Window main;
  ASSERT_TRUE(WaitForPhone(program, kPhones[0], &main)) << ReadShownPhone(main).name;
  program.Port("snapshot MainWnd " + ArtifactPath("photo-page-grid-alpha"));
  std::vector<const Element*> expand = main.Shown("exproseBtn");
  ASSERT_EQ(expand.size(), 1u);
  ASSERT_TRUE(ClickAt(CentreOnScreen(hwnd, expand[0]->abs)));
  std::vector<const Element*> strip;
  ASSERT_TRUE(x11_test::WaitUntil([&] {
    return ReadWindow(program, "MainWnd", &main) && (strip = main.Shown("phoneName")).size() == 3;
  }));
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(strip[i]->text, kPhones[i].pName);
  EXPECT_EQ(strip[1]->abs.left - strip[0]->abs.left, 275);
  program.Port("snapshot MainWnd " + ArtifactPath("photo-page-strip"));

  // The pointer picks the second phone: the strip folds, its three days show, newest first.
  ASSERT_TRUE(ClickAt(CentreOnScreen(hwnd, strip[1]->abs)));
  ASSERT_TRUE(WaitForPhone(program, kPhones[1], &main)) << ReadShownPhone(main).name;
  std::vector<const Element*> titles = main.Shown("timeText");
  ASSERT_EQ(titles.size(), 3u);
  EXPECT_EQ(titles[0]->text, "2024年6月30日");
  EXPECT_TRUE(main.Shown("phoneName").empty());
  program.Port("snapshot MainWnd " + ArtifactPath("photo-page-grid-bravo"));
  EXPECT_TRUE(x11_test::SaveScreenshot("photo-page-bravo-on-screen"));

  // A click on the first tile opens its file, the phone's newest photo.
  std::vector<const Element*> tiles = main.Shown("imageborder");
  const std::string newest = NewestFile(backup + "/Bravo");
  EXPECT_EQ(tiles[0]->name, "C:\\Lumidock\\Bravo\\Camera\\" +
                               std::filesystem::path(newest).filename().string());
  ASSERT_TRUE(ClickAt(CentreOnScreen(hwnd, tiles[0]->abs)));
  EXPECT_TRUE(x11_test::WaitUntil(
      [&] { return test_files::ReadWholeFile(opened) == "file://" + newest + "\n"; }, 10000))
      << test_files::ReadWholeFile(opened);

  // Away from the window, the third phone unbinds itself: the tip slides into the corner of the
  // work area that trayer's strut left, 5 px in, and the strip loses the phone.
  ASSERT_TRUE(x11_test::RunTool({"xdotool", "windowminimize", std::to_string(
                                                                  reinterpret_cast<uintptr_t>(hwnd))}));
  ASSERT_TRUE(x11_test::WaitUntil([&] { return x11_test::ActiveWindow() != reinterpret_cast<uintptr_t>(hwnd); }));
  ASSERT_TRUE(server.NoticePhoneUnbind(0, kPhones[2].id));
  RECT workArea{};
  ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &workArea, 0));
  EXPECT_LT(workArea.bottom, GetSystemMetrics(SM_CYSCREEN));
  Window tip;
  RECT tipRect{};
  ASSERT_TRUE(x11_test::WaitUntil(
      [&] {
        return ReadWindow(program, kTipWindow, &tip) && x11_test::Viewable(tip.hwnd) &&
               GetWindowRect(tip.hwnd, &tipRect) && tipRect.right == workArea.right - 5 &&
               tipRect.bottom == workArea.bottom - 5 && tip.HasTimer(kCloseTimer);
      },
      10000))
      << tipRect.left << "," << tipRect.top << "," << tipRect.right << "," << tipRect.bottom;
  std::vector<const Element*> texts = tip.Shown("contextText");
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0]->text, "手机Charlie解除了与此电脑的绑定。");
  EXPECT_TRUE(x11_test::WaitUntil([&] {
    return ReadWindow(program, "MainWnd", &main) && main.All("phoneName").size() == 2;
  }));
  x11_test::Pause(200);
  EXPECT_TRUE(x11_test::SaveScreenshot("photo-page-unbind-tip"));

  // The pointer over it: hover, full opacity, no close timer, for as long as it stays.
  const POINT tipCentre{(tipRect.left + tipRect.right) / 2, (tipRect.top + tipRect.bottom) / 2};
  ASSERT_TRUE(x11_test::RunTool({"xdotool", "mousemove", std::to_string(tipCentre.x),
                                 std::to_string(tipCentre.y)}));
  auto held = [&] {
    return ReadWindow(program, kTipWindow, &tip) && tip.root.hover && tip.root.opacity == 255 &&
           !tip.HasTimer(kCloseTimer);
  };
  EXPECT_TRUE(x11_test::WaitUntil(held, 5000));
  x11_test::Pause(600);
  EXPECT_TRUE(held());

  // It leaves: the close timer runs again, its whole 20 s ahead.
  ASSERT_TRUE(x11_test::RunTool({"xdotool", "mousemove", "20", "20"}));
  EXPECT_TRUE(x11_test::WaitUntil([&] {
    return ReadWindow(program, kTipWindow, &tip) && !tip.root.hover && tip.HasTimer(kCloseTimer);
  }));
  for (const Timer& timer : tip.timers) {
    if (timer.id == kCloseTimer) {
      EXPECT_GT(timer.dueIn, 15000);
    }
  }

  // The tray menu's exit ends the program in order, the tip still up.
  int status = program.ExitFromTrayMenu();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << program.Errors();
  EXPECT_EQ(program.Errors(), "");
}

}  // namespace

int main(int argc, char** argv) { return x11_test::RunGuiTests(argc, argv); }
