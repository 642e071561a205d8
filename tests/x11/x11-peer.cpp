// x11-peer: the other process of the Xvfb tests. It shows one registered top-level (a coloured
// window titled "x11-peer") and obeys commands read from standard input, one per line; every
// command is answered with one line, and what its window receives is printed as it arrives:
//
//   xid                         -> "xid <hex> pid <n>"
//   post <hwnd> <msg> <wp> <lp> -> "posted <0|1> <last error>"          (hex or decimal values)
//   forge <hwnd> <msg> <wp> <lp> <magic>  raw ClientMessage, our atom   -> "forged"
//   hide | iconify | maximize   -> "done"                               (its own window)
//   show <code>                 -> "shown <previous>"                   (ShowWindow on itself)
//   query <hwnd>                -> "query <IsWindow> <visible> <zoomed> <pid> <l> <t> <r> <b>"
//   restore <hwnd>              -> "restored"   (bring another instance forward, as a second
//                                                start of the program does)
//   enable <hwnd> <0|1>         -> "enabled <result>"
//   activate <hwnd>             -> "activated" (SetActiveWindow)
//   state                       -> "state <enabled> <active>"  (its own window, 0 or 1 each)
//   spawn <program> [args...]   -> "spawned <pid>" or "spawn-failed <error>": a child of its own
//                                  (CreateProcessW, arguments quoted); "exited <pid> <status>"
//                                  follows when it ends
//   quit                        -> ends with status 0
// Received: "msg <message> <wParam> <lParam>" (hex), e.g. "msg 8000 400003 0".
//
// Options: --hidden (start hidden), --title=<text>.

#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>

#include "win32/gui.h"
#include "win32/process.h"
#include "win32/strings.h"
#include "win32/sync.h"
#include "win32/toplevel.h"
#include "win32/window.h"

using namespace win32;

namespace {

HWND g_self = nullptr;

LRESULT PeerProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CLOSE || message == WM_APP || message == WM_ACTIVATE || message >= WM_USER) {
    printf("msg %x %lx %lx\n", message, static_cast<unsigned long>(wParam),
           static_cast<unsigned long>(lParam));
    fflush(stdout);
    return 0;  // a close is reported, not carried out: the test decides when the peer ends
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

uintptr_t Number(std::istringstream& in) {
  std::string text;
  in >> text;
  return static_cast<uintptr_t>(strtoull(text.c_str(), nullptr, 0));
}

HWND Handle(std::istringstream& in) { return reinterpret_cast<HWND>(Number(in)); }

void Forge(HWND target, long message, long wParam, long lParam, long magic) {
  Display* pDisplay = GDK_DISPLAY_XDISPLAY(gdk_display_get_default());
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = reinterpret_cast<uintptr_t>(target);
  event.xclient.message_type = XInternAtom(pDisplay, "_LUMIDOCK_W32_MSG", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = message;
  event.xclient.data.l[1] = wParam;
  event.xclient.data.l[2] = lParam;
  event.xclient.data.l[4] = magic;
  gdk_x11_display_error_trap_push(gdk_display_get_default());
  XSendEvent(pDisplay, event.xclient.window, False, NoEventMask, &event);
  gdk_x11_display_error_trap_pop_ignored(gdk_display_get_default());
  XFlush(pDisplay);
}

// Starts a child and reports its end from a thread of its own.
void Spawn(std::istringstream& in) {
  std::u16string commandLine;
  std::string word;
  while (in >> word) {
    commandLine += (commandLine.empty() ? u"\"" : u" \"") + Utf8ToUtf16(word) + u"\"";
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    printf("spawn-failed %u\n", GetLastError());
    return;
  }
  CloseHandle(process.hThread);
  printf("spawned %u\n", process.dwProcessId);
  std::thread([process] {
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    printf("exited %u %u\n", process.dwProcessId, code);
    fflush(stdout);
  }).detach();
}

void Run(const std::string& line, GtkWindow* pWindow) {
  std::istringstream in(line);
  std::string command;
  in >> command;
  if (command == "xid") {
    printf("xid %lx pid %d\n", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(g_self)),
           getpid());
  } else if (command == "post") {
    HWND target = Handle(in);
    UINT message = static_cast<UINT>(Number(in));
    WPARAM wParam = Number(in);
    LPARAM lParam = static_cast<LPARAM>(Number(in));
    BOOL ok = PostMessageW(target, message, wParam, lParam);
    printf("posted %d %u\n", ok, ok ? 0 : GetLastError());
  } else if (command == "forge") {
    HWND target = Handle(in);
    long values[4];
    for (long& value : values) value = static_cast<long>(Number(in));
    Forge(target, values[0], values[1], values[2], values[3]);
    printf("forged\n");
  } else if (command == "hide") {
    gtk_widget_hide(GTK_WIDGET(pWindow));
    printf("done\n");
  } else if (command == "iconify") {
    gtk_window_iconify(pWindow);
    printf("done\n");
  } else if (command == "maximize") {
    gtk_window_maximize(pWindow);
    printf("done\n");
  } else if (command == "show") {
    printf("shown %d\n", ShowWindow(g_self, static_cast<int>(Number(in))));
  } else if (command == "query") {
    HWND target = Handle(in);
    DWORD pid = 0;
    GetWindowThreadProcessId(target, &pid);
    RECT rect{};
    GetWindowRect(target, &rect);
    printf("query %d %d %d %u %d %d %d %d\n", IsWindow(target), IsWindowVisible(target),
           IsZoomed(target), pid, rect.left, rect.top, rect.right, rect.bottom);
  } else if (command == "restore") {
    HWND target = Handle(in);
    if (IsWindow(target)) {
      BringWindowToTop(target);
      ShowWindow(target, IsZoomed(target) ? SW_SHOW : SW_SHOWNORMAL);
      RedrawWindow(target, nullptr, nullptr, RDW_INVALIDATE);
      SetForegroundWindow(target);
    }
    printf("restored\n");
  } else if (command == "enable") {
    HWND target = Handle(in);
    printf("enabled %d\n", EnableWindow(target, Number(in) != 0));
  } else if (command == "activate") {
    SetActiveWindow(Handle(in));
    printf("activated\n");
  } else if (command == "state") {
    printf("state %d %d\n", IsWindowEnabled(g_self) ? 1 : 0, GetActiveWindow() == g_self ? 1 : 0);
  } else if (command == "spawn") {
    Spawn(in);
  } else if (command == "quit") {
    fflush(stdout);
    _exit(0);
  } else {
    printf("unknown %s\n", command.c_str());
  }
  fflush(stdout);
}

gboolean OnInput(GIOChannel* pChannel, GIOCondition condition, gpointer data) {
  gchar* pLine = nullptr;
  gsize length = 0;
  if ((condition & G_IO_IN) &&
      g_io_channel_read_line(pChannel, &pLine, &length, nullptr, nullptr) == G_IO_STATUS_NORMAL) {
    std::string line(pLine, length);
    g_free(pLine);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    Run(line, static_cast<GtkWindow*>(data));
    return G_SOURCE_CONTINUE;
  }
  _exit(0);  // standard input closed: the test is gone
}

gboolean Draw(GtkWidget* pWidget, cairo_t* pCairo, gpointer) {
  int width = gtk_widget_get_allocated_width(pWidget);
  int height = gtk_widget_get_allocated_height(pWidget);
  cairo_set_source_rgb(pCairo, 0.85, 0.45, 0.1);
  cairo_rectangle(pCairo, 0, 0, width, height);
  cairo_fill(pCairo);
  return FALSE;
}

}  // namespace

int main(int argc, char** argv) {
  bool hidden = false;
  std::string title = "x11-peer";
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--hidden") == 0) hidden = true;
    if (strncmp(argv[i], "--title=", 8) == 0) title = argv[i] + 8;
  }
  if (!InitializeGui(&argc, &argv)) {
    fprintf(stderr, "x11-peer: no display\n");
    return 77;
  }
  GtkWidget* pWindow = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(pWindow), title.c_str());
  gtk_window_set_default_size(GTK_WINDOW(pWindow), 320, 200);
  GtkWidget* pArea = gtk_drawing_area_new();
  g_signal_connect(pArea, "draw", G_CALLBACK(Draw), nullptr);
  GtkWidget* pLabel = gtk_label_new(title.c_str());
  GtkWidget* pOverlay = gtk_overlay_new();
  gtk_container_add(GTK_CONTAINER(pOverlay), pArea);
  gtk_overlay_add_overlay(GTK_OVERLAY(pOverlay), pLabel);
  gtk_container_add(GTK_CONTAINER(pWindow), pOverlay);
  g_self = RegisterToplevel(GTK_WINDOW(pWindow), PeerProc, nullptr);
  if (!g_self) return 1;
  if (!hidden)
    gtk_widget_show_all(pWindow);
  else
    gtk_widget_show_all(pOverlay);

  GIOChannel* pInput = g_io_channel_unix_new(STDIN_FILENO);
  g_io_add_watch(pInput, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), OnInput,
                 pWindow);
  printf("xid %lx pid %d\n", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(g_self)),
         getpid());
  fflush(stdout);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}
