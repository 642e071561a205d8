// Real windows under Xvfb with openbox: messages between processes, what may cross, liveness
// and visibility of another process's window, restore and activation, and the message flow
// under a menu's grab and inside the dialogs.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "X11TestSupport.h"
#include "win32/gui.h"
#include "win32/shellui.h"
#include "win32/toplevel.h"

using namespace win32;
using x11_test::Peer;
using x11_test::TestWindow;
using x11_test::WaitUntil;

namespace {

// "msg <message> <wParam> <lParam>" lines of a peer, parsed.
bool ParseMsg(const std::string& line, unsigned* pMessage, unsigned long* pW, unsigned long* pL) {
  return sscanf(line.c_str(), "msg %x %lx %lx", pMessage, pW, pL) == 3;
}

// Posts go both ways; a value with bit 31 set arrives as is (not sign-extended); a message the
// bridge does not carry is refused at the sender.
TEST(Bridge, PostsCrossBothWaysWithBit31Intact) {
  TestWindow window("bridge-posts");
  ASSERT_TRUE(window.WaitViewable());
  Peer peer(Peer::Start::kChild);
  ASSERT_NE(peer.Hwnd(), nullptr);

  EXPECT_EQ(peer.Ask("post " + window.Hex() + " 0x10 0x80000001 0xffffffff", "posted"),
            "posted 1 0");
  ASSERT_TRUE(WaitUntil([&] { return !window.Of(WM_CLOSE).empty(); }));
  EXPECT_EQ(window.Of(WM_CLOSE)[0].wParam, 0x80000001u);
  EXPECT_EQ(window.Of(WM_CLOSE)[0].lParam, 0xFFFFFFFF);

  ASSERT_TRUE(PostMessageW(peer.Hwnd(), WM_CLOSE, 0x80000002, 0x7FFFFFFF));
  unsigned message = 0;
  unsigned long w = 0, l = 0;
  ASSERT_TRUE(ParseMsg(peer.WaitLine("msg 10 "), &message, &w, &l));
  EXPECT_EQ(w, 0x80000002ul);
  EXPECT_EQ(l, 0x7FFFFFFFul);

  EXPECT_FALSE(PostMessageW(peer.Hwnd(), WM_USER + 5, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(PostMessageW(peer.Hwnd(), WM_CLOSE, uintptr_t{1} << 40, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // A window id of nobody.
  EXPECT_FALSE(PostMessageW(reinterpret_cast<HWND>(uintptr_t{0x1FFFFF01}), WM_CLOSE, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

// Raw ClientMessages with our atom but a wrong magic, a message outside the list, or a request
// to a window that is not a registered one, do nothing.
TEST(Bridge, ForgedAndUnlistedMessagesAreDropped) {
  TestWindow window("bridge-forged");
  ASSERT_TRUE(window.WaitViewable());
  Peer peer(Peer::Start::kStranger);
  const std::string to = "forge " + window.Hex() + " ";
  EXPECT_EQ(peer.Ask(to + "0x10 1 2 0x12345678", "forged"), "forged");    // wrong magic
  EXPECT_EQ(peer.Ask(to + "0x401 1 2 0x4C4D5731", "forged"), "forged");   // WM_USER + 1
  EXPECT_EQ(peer.Ask(to + "0x2 0 0 0x4C4D5731", "forged"), "forged");     // WM_DESTROY
  EXPECT_EQ(peer.Ask(to + "0xC199 0 0 0x4C4D5731", "forged"), "forged");  // unknown request
  // Then a good one, which must be the only one to arrive.
  EXPECT_EQ(peer.Ask(to + "0x10 7 8 0x4C4D5731", "forged"), "forged");
  ASSERT_TRUE(WaitUntil([&] { return !window.Of(WM_CLOSE).empty(); }));
  x11_test::Pause(200);
  ASSERT_EQ(window.Messages().size(), window.Of(WM_CLOSE).size() + window.Of(WM_ACTIVATE).size());
  ASSERT_EQ(window.Of(WM_CLOSE).size(), 1u);
  EXPECT_EQ(window.Of(WM_CLOSE)[0].wParam, 7u);
  EXPECT_TRUE(IsWindow(window.Hwnd()));
}

// WM_APP hands over a window that this process will later close: only a live child started
// with CreateProcessW may name a window, and only one of its own.
TEST(Bridge, WmAppOnlyNamesAWindowOfALiveChild) {
  TestWindow window("bridge-wmapp");
  ASSERT_TRUE(window.WaitViewable());
  Peer child(Peer::Start::kChild);
  Peer other(Peer::Start::kChild, {"--title=other child"});
  Peer stranger(Peer::Start::kStranger, {"--title=stranger"});
  const std::string to = "post " + window.Hex() + " 0x8000 ";

  EXPECT_EQ(stranger.Ask(to + stranger.Hex() + " 0", "posted"), "posted 1 0");
  EXPECT_EQ(child.Ask(to + stranger.Hex() + " 0", "posted"), "posted 1 0");
  EXPECT_EQ(child.Ask(to + child.Hex() + " 0", "posted"), "posted 1 0");
  ASSERT_TRUE(WaitUntil([&] { return window.Of(WM_APP).size() == 1; }));
  EXPECT_EQ(window.Of(WM_APP)[0].wParam, reinterpret_cast<uintptr_t>(child.Hwnd()));

  // The other child's window is accepted while that child lives, not after.
  EXPECT_EQ(child.Ask(to + other.Hex() + " 0", "posted"), "posted 1 0");
  ASSERT_TRUE(WaitUntil([&] { return window.Of(WM_APP).size() == 2; }));
  other.Kill();
  EXPECT_EQ(child.Ask(to + other.Hex() + " 0", "posted"), "posted 1 0");
  x11_test::Pause(300);
  EXPECT_EQ(window.Of(WM_APP).size(), 2u);
}

// Another process's window, seen from outside: gone after SIGKILL within 2 s; hidden is not
// visible, iconified is; shown again is viewable.
TEST(Bridge, ForeignWindowLivenessAndVisibility) {
  Peer peer(Peer::Start::kChild);
  HWND hwnd = peer.Hwnd();
  ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(hwnd); }));
  DWORD pid = 0;
  EXPECT_EQ(GetWindowThreadProcessId(hwnd, &pid), static_cast<DWORD>(peer.Pid()));
  EXPECT_EQ(pid, static_cast<DWORD>(peer.Pid()));
  RECT rect{};
  ASSERT_TRUE(GetWindowRect(hwnd, &rect));
  EXPECT_EQ(rect.right - rect.left, 320);
  EXPECT_FALSE(IsZoomed(hwnd));

  EXPECT_EQ(peer.Ask("hide", "done"), "done");
  EXPECT_TRUE(WaitUntil([&] { return !IsWindowVisible(hwnd); }));
  EXPECT_TRUE(IsWindow(hwnd));
  EXPECT_EQ(peer.Ask("show 5", "shown"), "shown 0");
  EXPECT_TRUE(WaitUntil([&] { return IsWindowVisible(hwnd); }));
  EXPECT_EQ(peer.Ask("iconify", "done"), "done");
  EXPECT_TRUE(WaitUntil([&] { return !x11_test::Viewable(hwnd); }));
  x11_test::Pause(400);
  EXPECT_TRUE(IsWindowVisible(hwnd));  // iconified counts as visible
  EXPECT_TRUE(x11_test::SaveScreenshot("bridge-iconified"));
  EXPECT_EQ(peer.Ask("maximize", "done"), "done");
  EXPECT_TRUE(WaitUntil([&] { return IsZoomed(hwnd); }));

  peer.Kill();
  const auto killed = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitUntil([&] { return !IsWindow(hwnd); }, 2000));
  EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(2));
  EXPECT_FALSE(IsWindowVisible(hwnd));
  EXPECT_EQ(GetWindowThreadProcessId(hwnd, nullptr), 0u);
}

// A hidden instance is brought back by another process's restore sequence: it shows itself,
// viewable and active (the window manager honours its own request).
TEST(Bridge, HiddenPeerIsRestoredViewableAndActive) {
  TestWindow window("restorer");
  ASSERT_TRUE(window.WaitViewable());
  Peer peer(Peer::Start::kChild, {"--hidden", "--title=hidden instance"});
  HWND hwnd = peer.Hwnd();
  EXPECT_TRUE(IsWindow(hwnd));
  EXPECT_FALSE(IsWindowVisible(hwnd));
  EXPECT_TRUE(BringWindowToTop(hwnd));
  EXPECT_FALSE(ShowWindow(hwnd, IsZoomed(hwnd) ? SW_SHOW : SW_SHOWNORMAL));
  EXPECT_TRUE(RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE));
  EXPECT_TRUE(SetForegroundWindow(hwnd));
  ASSERT_TRUE(WaitUntil([&] {
    return IsWindowVisible(hwnd) &&
           x11_test::ActiveWindow() == static_cast<::Window>(reinterpret_cast<uintptr_t>(hwnd));
  }));
  EXPECT_TRUE(x11_test::SaveScreenshot("bridge-restored"));
  // And back: the peer restores our window from a hidden state the same way.
  gtk_widget_hide(GTK_WIDGET(window.Window()));
  ASSERT_TRUE(WaitUntil([&] { return !IsWindowVisible(window.Hwnd()); }));
  EXPECT_EQ(peer.Ask("restore " + window.Hex(), "restored"), "restored");
  ASSERT_TRUE(WaitUntil([&] {
    return gtk_widget_get_mapped(GTK_WIDGET(window.Window())) && GetActiveWindow() == window.Hwnd();
  }));
}

// WM_ACTIVATE: WA_ACTIVE on activation, WA_CLICKACTIVE once when a click activated it, and
// WA_INACTIVE naming the window that took over.
TEST(Bridge, ActivationMessages) {
  TestWindow window("activation");
  ASSERT_TRUE(window.WaitViewable());
  ASSERT_TRUE(SetForegroundWindow(window.Hwnd()));
  ASSERT_TRUE(WaitUntil([&] { return GetActiveWindow() == window.Hwnd(); }));
  ASSERT_FALSE(window.Of(WM_ACTIVATE).empty());
  EXPECT_EQ(window.Of(WM_ACTIVATE).back().wParam, WA_ACTIVE);

  Peer peer(Peer::Start::kChild);
  ASSERT_TRUE(WaitUntil([&] { return IsWindowVisible(peer.Hwnd()); }));
  window.Messages().clear();
  ASSERT_TRUE(SetForegroundWindow(peer.Hwnd()));
  ASSERT_TRUE(WaitUntil([&] { return !window.Of(WM_ACTIVATE).empty(); }));
  EXPECT_EQ(window.Of(WM_ACTIVATE)[0].wParam, WA_INACTIVE);
  EXPECT_EQ(window.Of(WM_ACTIVATE)[0].lParam,
            static_cast<LPARAM>(reinterpret_cast<uintptr_t>(peer.Hwnd())));
  EXPECT_EQ(GetActiveWindow(), nullptr);

  // A click on our window activates it: WA_ACTIVE and one WA_CLICKACTIVE.
  // The peer, raised when it was activated, may cover part of our window: the click goes to a
  // corner of ours outside it.
  window.Messages().clear();
  RECT rect{};
  RECT peerRect{};
  ASSERT_TRUE(GetWindowRect(window.Hwnd(), &rect));
  ASSERT_TRUE(GetWindowRect(peer.Hwnd(), &peerRect));
  POINT at{rect.left + 40, rect.top + 40};
  for (POINT corner : {POINT{rect.left + 40, rect.top + 40}, POINT{rect.right - 40, rect.top + 40},
                       POINT{rect.left + 40, rect.bottom - 40},
                       POINT{rect.right - 40, rect.bottom - 40}}) {
    const bool covered = corner.x >= peerRect.left && corner.x < peerRect.right &&
                         corner.y >= peerRect.top && corner.y < peerRect.bottom;
    if (!covered) {
      at = corner;
      break;
    }
  }
  ASSERT_TRUE(x11_test::RunTool(
      {"xdotool", "mousemove", std::to_string(at.x), std::to_string(at.y), "click", "1"}));
  ASSERT_TRUE(WaitUntil([&] { return window.Of(WM_ACTIVATE).size() >= 2; }))
      << window.Of(WM_ACTIVATE).size() << " activations, first wParam "
      << (window.Of(WM_ACTIVATE).empty() ? -1 : static_cast<int>(window.Of(WM_ACTIVATE)[0].wParam))
      << "; clicked " << at.x << "," << at.y << ", peer " << peerRect.left << "," << peerRect.top
      << "-" << peerRect.right << "," << peerRect.bottom;
  x11_test::Pause(300);
  std::vector<x11_test::Received> activations = window.Of(WM_ACTIVATE);
  ASSERT_EQ(activations.size(), 2u);
  EXPECT_EQ(activations[0].wParam, WA_ACTIVE);
  EXPECT_EQ(activations[1].wParam, WA_CLICKACTIVE);
  // Further clicks on the active window change nothing.
  ASSERT_TRUE(x11_test::RunTool({"xdotool", "click", "1"}));
  x11_test::Pause(300);
  EXPECT_EQ(window.Of(WM_ACTIVATE).size(), 2u);

  // The active window closes: "another window" (None) takes over, or the other window.
  window.Messages().clear();
  gtk_widget_hide(GTK_WIDGET(window.Window()));
  ASSERT_TRUE(WaitUntil([&] { return !window.Of(WM_ACTIVATE).empty(); }));
  EXPECT_EQ(window.Of(WM_ACTIVATE)[0].wParam, WA_INACTIVE);
  const LPARAM other = window.Of(WM_ACTIVATE)[0].lParam;
  EXPECT_TRUE(other == 0 || other == static_cast<LPARAM>(reinterpret_cast<uintptr_t>(peer.Hwnd())))
      << std::hex << other;
}

// A disabled window gets no input; the layer tells the framework of every enable.
TEST(Bridge, InputFiltersLeaveTrackingAndDisabledWindows) {
  TestWindow window("input");
  ASSERT_TRUE(window.WaitViewable());
  int presses = 0;
  g_signal_connect(window.Window(), "button-press-event",
                   G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer data) -> gboolean {
                     ++*static_cast<int*>(data);
                     return FALSE;
                   }),
                   &presses);
  RECT rect{};
  ASSERT_TRUE(GetWindowRect(window.Hwnd(), &rect));
  const std::string x = std::to_string(rect.left + 50), y = std::to_string(rect.top + 50);
  auto click = [&] { return x11_test::RunTool({"xdotool", "mousemove", x, y, "click", "1"}); };
  ASSERT_TRUE(click());
  ASSERT_TRUE(WaitUntil([&] { return presses > 0; }));
  x11_test::Pause(900);
  const int enabledPresses = presses;

  // A pre-translate filter sees the press first and may keep it from the window.
  int filtered = 0;
  PreTranslateFilter swallow = +[](GdkEvent* pEvent, void* data) {
    if (pEvent->type != GDK_BUTTON_PRESS) return false;
    ++*static_cast<int*>(data);
    return true;
  };
  AddPreTranslateFilter(swallow, &filtered);
  ASSERT_TRUE(click());
  ASSERT_TRUE(WaitUntil([&] { return filtered == 1; }));
  RemovePreTranslateFilter(swallow, &filtered);
  x11_test::Pause(900);
  EXPECT_EQ(presses, enabledPresses);

  // Leaving the window after TrackMouseEvent posts WM_MOUSELEAVE once.
  TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, window.Hwnd(), 0};
  ASSERT_TRUE(TrackMouseEvent(&track));
  ASSERT_TRUE(x11_test::RunTool({"xdotool", "mousemove", std::to_string(rect.right + 100), "5"}));
  EXPECT_TRUE(WaitUntil([&] { return window.Of(WM_MOUSELEAVE).size() == 1; }));
  ASSERT_TRUE(x11_test::RunTool({"xdotool", "mousemove", x, y, "mousemove", "5", "5"}));
  x11_test::Pause(300);
  EXPECT_EQ(window.Of(WM_MOUSELEAVE).size(), 1u);

  // Another process disables it (a popup does so with its owner), then enables it again; the
  // framework hears of both.
  Peer peer(Peer::Start::kChild);
  EXPECT_EQ(peer.Ask("enable " + window.Hex() + " 0", "enabled"), "enabled 0");
  ASSERT_TRUE(WaitUntil([&] { return !IsWindowEnabled(window.Hwnd()); }));
  x11_test::Pause(900);
  ASSERT_TRUE(click());
  x11_test::Pause(300);
  EXPECT_EQ(presses, enabledPresses);
  EXPECT_EQ(peer.Ask("enable " + window.Hex() + " 1", "enabled"), "enabled 0");
  ASSERT_TRUE(WaitUntil([&] { return IsWindowEnabled(window.Hwnd()); }));
  x11_test::Pause(900);
  ASSERT_TRUE(click());
  EXPECT_TRUE(WaitUntil([&] { return presses > enabledPresses; }));

  EXPECT_TRUE(ShowWindow(window.Hwnd(), SW_HIDE));
  EXPECT_FALSE(ShowWindow(window.Hwnd(), SW_SHOWNOACTIVATE));
  EXPECT_EQ(window.Changes(),
            (std::vector<ToplevelChange>{ToplevelChange::kDisabled, ToplevelChange::kEnabled,
                                         ToplevelChange::kHidden, ToplevelChange::kShown}));
}

struct FlowCheck {
  Peer* pPeer;
  TestWindow* pWindow;
  std::string chosenFolder;
  bool flowed = false;
};

// A peer's posts arrive while a menu holds the pointer grab.
TEST(Bridge, PostsFlowUnderAMenu) {
  TestWindow window("menu-owner");
  ASSERT_TRUE(window.WaitViewable());
  Peer peer(Peer::Start::kChild);
  GtkWidget* pMenu = gtk_menu_new();
  gtk_menu_shell_append(GTK_MENU_SHELL(pMenu), gtk_menu_item_new_with_label("打开文件位置"));
  gtk_menu_shell_append(GTK_MENU_SHELL(pMenu), gtk_menu_item_new_with_label("退出"));
  gtk_widget_show_all(pMenu);
  gtk_menu_attach_to_widget(GTK_MENU(pMenu), GTK_WIDGET(window.Window()), nullptr);
  GdkRectangle anchor{20, 20, 1, 1};
  gtk_menu_popup_at_rect(GTK_MENU(pMenu), gtk_widget_get_window(GTK_WIDGET(window.Window())),
                         &anchor, GDK_GRAVITY_SOUTH_WEST, GDK_GRAVITY_NORTH_WEST, nullptr);
  ASSERT_TRUE(WaitUntil([&] { return gtk_widget_get_mapped(pMenu); }));
  for (int i = 0; i < 5; ++i)
    peer.Send("post " + window.Hex() + " 0x10 " + std::to_string(i) + " 0");
  EXPECT_TRUE(WaitUntil([&] { return window.Of(WM_CLOSE).size() == 5; }));
  EXPECT_TRUE(gtk_widget_get_mapped(pMenu));
  EXPECT_TRUE(x11_test::SaveScreenshot("bridge-menu"));
  gtk_menu_popdown(GTK_MENU(pMenu));
  gtk_widget_destroy(pMenu);
}

// The folder browser on the real chooser: the test hook waits for a peer's posts to arrive
// while the dialog runs, then selects D:\sub (a real selection, then OK).
void ChooseSubFolder(GtkDialog* pDialog, void* data) {
  auto* pCheck = static_cast<FlowCheck*>(data);
  for (int i = 0; i < 3; ++i) {
    pCheck->pPeer->Send("post " + pCheck->pWindow->Hex() + " 0x10 " + std::to_string(100 + i) +
                        " 0");
  }
  pCheck->flowed = WaitUntil([&] { return pCheck->pWindow->Of(WM_CLOSE).size() == 3; });
  GtkFileChooser* pChooser = GTK_FILE_CHOOSER(pDialog);
  bool selected = false;
  gulong handler = g_signal_connect(
      pChooser, "selection-changed",
      G_CALLBACK(+[](GtkFileChooser*, gpointer p) { *static_cast<bool*>(p) = true; }), &selected);
  gtk_file_chooser_select_filename(pChooser, pCheck->chosenFolder.c_str());
  (void)WaitUntil([&] {
    gchar* pName = gtk_file_chooser_get_filename(pChooser);
    bool ok = pName && pCheck->chosenFolder == pName;
    g_free(pName);
    return ok;
  });
  g_signal_handler_disconnect(pChooser, handler);
  x11_test::Pause(300);  // let it draw for the screenshot
  EXPECT_TRUE(x11_test::SaveScreenshot("chooser-d-sub"));
  gtk_dialog_response(pDialog, GTK_RESPONSE_ACCEPT);
}

void CancelChooser(GtkDialog* pDialog, void*) { gtk_dialog_response(pDialog, GTK_RESPONSE_CANCEL); }

TEST(Bridge, FolderBrowserAnswersInDriveFormWhilePostsFlow) {
  namespace fs = std::filesystem;
  std::string root = std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/chooser";
  fs::create_directories(root + "/c");
  fs::create_directories(root + "/d/sub");
  setenv("LUMIDOCK_DRIVES", ("C=" + root + "/c;D=" + root + "/d").c_str(), 1);
  TestWindow window("chooser-owner");
  ASSERT_TRUE(window.WaitViewable());
  Peer peer(Peer::Start::kChild);
  FlowCheck check{&peer, &window, root + "/d/sub"};
  SetFolderBrowserTestHook(ChooseSubFolder, &check);
  WCHAR displayName[MAX_PATH];
  BROWSEINFOW info{};
  info.hwndOwner = window.Hwnd();
  info.pszDisplayName = displayName;
  info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
  PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&info);
  ASSERT_NE(chosen, nullptr);
  WCHAR path[MAX_PATH];
  ASSERT_TRUE(SHGetPathFromIDListW(chosen, path));
  EXPECT_EQ(std::u16string(path), u"D:\\sub");
  CoTaskMemFree(chosen);
  EXPECT_TRUE(check.flowed);

  SetFolderBrowserTestHook(CancelChooser, nullptr);
  EXPECT_EQ(SHBrowseForFolderW(&info), nullptr);
  SetFolderBrowserTestHook(nullptr, nullptr);
  unsetenv("LUMIDOCK_DRIVES");
}

void AnswerNo(GtkDialog* pDialog, void*) {
  x11_test::Pause(300);
  EXPECT_TRUE(x11_test::SaveScreenshot("message-box"));
  gtk_dialog_response(pDialog, IDNO);
}

TEST(Bridge, MessageBoxAnswersAndEndsOnQuit) {
  TestWindow window("box-owner");
  ASSERT_TRUE(window.WaitViewable());
  SetMessageBoxTestHook(AnswerNo, nullptr);
  EXPECT_EQ(MessageBoxW(window.Hwnd(), u"Orbalyn.dll 初始化失败, 请确认!",
                        u"Orbalyn.dll 初始化失败, 请确认!", MB_YESNO | MB_ICONQUESTION),
            IDNO);
  // A quit while the box is up ends it with 0 and stays pending for the outer loop.
  SetMessageBoxTestHook(
      +[](GtkDialog*, void*) { PostQuitMessage(3); }, nullptr);
  EXPECT_EQ(MessageBoxW(window.Hwnd(), u"quit", u"quit", MB_OK), 0);
  SetMessageBoxTestHook(nullptr, nullptr);
  MSG msg;
  EXPECT_FALSE(GetMessageW(&msg, nullptr, 0, 0));
  EXPECT_EQ(msg.wParam, 3u);
}

}  // namespace

int main(int argc, char** argv) { return x11_test::RunGuiTests(argc, argv); }
