#pragma once
// What the Xvfb tests share: waiting while the main loop runs, the x11-peer process, X tools,
// screenshots, and a registered window of the test's own.

#include <fcntl.h>
#include <gdk/gdkx.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../common/SpawnWithPipes.h"
#include "win32/file.h"
#include "win32/gui.h"
#include "win32/process.h"
#include "win32/strings.h"
#include "win32/sync.h"
#include "win32/toplevel.h"

extern char** environ;

namespace x11_test {

// Iterates the default main context (our queue included) until `done()` holds or `timeoutMs`
// passed. A deadline source bounds every blocking iteration.
[[nodiscard]] inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
  bool expired = false;
  guint deadline = g_timeout_add(
      static_cast<guint>(timeoutMs),
      [](gpointer data) -> gboolean {
        *static_cast<bool*>(data) = true;
        return G_SOURCE_REMOVE;
      },
      &expired);
  // A short tick, so conditions that change without an event (another process) are re-read.
  guint tick = g_timeout_add(
      20, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  while (!done() && !expired) g_main_context_iteration(nullptr, TRUE);
  g_source_remove(tick);
  if (!expired) g_source_remove(deadline);
  return done();
}

inline void Pause(int ms) {
  bool never = false;
  (void)WaitUntil([&] { return never; }, ms);
}

// Runs a program (xdotool, trayer...) to its end; true when it exited with 0.
inline bool RunTool(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

inline ::Window ActiveWindow() {
  win32::HWND active = win32::GetForegroundWindow();
  return static_cast<::Window>(reinterpret_cast<uintptr_t>(active));
}

// Whether the X window is mapped and viewable now (an iconified one is not).
inline bool Viewable(win32::HWND hwnd) {
  GdkDisplay* pDisplay = gdk_display_get_default();
  XWindowAttributes attributes{};
  gdk_x11_display_error_trap_push(pDisplay);
  Status ok =
      XGetWindowAttributes(GDK_DISPLAY_XDISPLAY(pDisplay),
                           static_cast<::Window>(reinterpret_cast<uintptr_t>(hwnd)), &attributes);
  return gdk_x11_display_error_trap_pop(pDisplay) == 0 && ok && attributes.map_state == IsViewable;
}

// The whole screen as a PNG under $LUMIDOCK_ARTIFACTS.
inline bool SaveScreenshot(const std::string& name) {
  const char* folder = getenv("LUMIDOCK_ARTIFACTS");
  if (!folder) return false;
  gdk_display_sync(gdk_display_get_default());
  GdkWindow* pRoot = gdk_get_default_root_window();
  GdkPixbuf* pShot = gdk_pixbuf_get_from_window(pRoot, 0, 0, gdk_window_get_width(pRoot),
                                                gdk_window_get_height(pRoot));
  if (!pShot) return false;
  std::string path = std::string(folder) + "/" + name + ".png";
  bool saved = gdk_pixbuf_save(pShot, path.c_str(), "png", nullptr, nullptr);
  g_object_unref(pShot);
  return saved;
}

// An x11-peer process. kChild starts it with CreateProcessW (a child the layer knows);
// kStranger with posix_spawn (a process the layer did not start).
// Lifetime: the destructor closes its input (the peer ends) and kills it if it lingers.
// Threading: a reader thread collects its output lines; the test thread takes them.
class Peer {
 public:
  enum class Start { kChild, kStranger };

  explicit Peer(Start how, const std::vector<std::string>& options = {}) {
    if (how == Start::kChild) {
      StartChild(options);
    } else {
      StartStranger(options);
    }
    std::string line = WaitLine("xid ");
    unsigned long xid = 0;
    int pid = 0;
    if (sscanf(line.c_str(), "xid %lx pid %d", &xid, &pid) == 2) {
      m_hwnd = reinterpret_cast<win32::HWND>(static_cast<uintptr_t>(xid));
    }
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;
  ~Peer() {
    CloseInput();
    if (m_pid > 0) {
      bool gone = WaitUntil([&] { return kill(m_pid, 0) != 0 || Reaped(); }, 2000);
      if (!gone) Kill();
    }
    if (m_reader.joinable()) m_reader.join();
    if (m_hProcess) win32::CloseHandle(m_hProcess);
  }

  win32::HWND Hwnd() const { return m_hwnd; }
  pid_t Pid() const { return m_pid; }
  std::string Hex() const {
    char text[32];
    snprintf(text, sizeof text, "0x%lx",
             static_cast<unsigned long>(reinterpret_cast<uintptr_t>(m_hwnd)));
    return text;
  }

  void Send(const std::string& command) {
    std::string line = command + "\n";
    if (m_hStdin) {
      win32::DWORD written = 0;
      win32::WriteFile(m_hStdin, line.data(), static_cast<win32::DWORD>(line.size()), &written,
                       nullptr);
    } else if (m_stdinFd >= 0) {
      ssize_t ignored = write(m_stdinFd, line.data(), line.size());
      (void)ignored;
    }
  }

  // The first line starting with `prefix` (removed from what is kept), waiting for it while the
  // main loop runs; "" on time-out.
  std::string WaitLine(const std::string& prefix, int timeoutMs = 5000) {
    std::string found;
    (void)WaitUntil(
        [&] {
          std::lock_guard<std::mutex> guard(m_lock);
          for (auto it = m_lines.begin(); it != m_lines.end(); ++it) {
            if (it->rfind(prefix, 0) == 0) {
              found = *it;
              m_lines.erase(it);
              return true;
            }
          }
          return false;
        },
        timeoutMs);
    return found;
  }
  // Sends a command and returns its answer (the first line starting with `answer`).
  std::string Ask(const std::string& command, const std::string& answer) {
    Send(command);
    return WaitLine(answer);
  }
  bool HasLine(const std::string& prefix) {
    std::lock_guard<std::mutex> guard(m_lock);
    for (const std::string& line : m_lines) {
      if (line.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }

  void CloseInput() {
    if (m_hStdin) win32::CloseHandle(m_hStdin);
    m_hStdin = nullptr;
    if (m_stdinFd >= 0) close(m_stdinFd);
    m_stdinFd = -1;
  }

  // SIGKILL, then waits until it is reaped.
  void Kill() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGKILL);
    if (m_hProcess) {
      win32::WaitForSingleObject(m_hProcess, 5000);
    } else {
      waitpid(m_pid, nullptr, 0);
    }
    m_reaped = true;
  }

 private:
  bool Reaped() {
    if (m_reaped) return true;
    if (m_hProcess) {
      m_reaped = win32::WaitForSingleObject(m_hProcess, 0) == win32::WAIT_OBJECT_0;
    } else {
      m_reaped = waitpid(m_pid, nullptr, WNOHANG) == m_pid;
    }
    return m_reaped;
  }

  void AddOutput(const char* data, size_t size) {
    std::lock_guard<std::mutex> guard(m_lock);
    for (size_t i = 0; i < size; ++i) {
      if (data[i] == '\n') {
        m_lines.push_back(m_partial);
        m_partial.clear();
      } else {
        m_partial.push_back(data[i]);
      }
    }
  }

  void StartChild(const std::vector<std::string>& options) {
    using namespace win32;
    HANDLE inRead = nullptr, outRead = nullptr, outWrite = nullptr;
    if (!CreatePipe(&inRead, &m_hStdin, nullptr, 0) ||
        !CreatePipe(&outRead, &outWrite, nullptr, 0)) {
      return;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    std::u16string line = u"\"" + Utf8ToUtf16(X11_PEER) + u"\"";
    for (const std::string& option : options) line += u" \"" + Utf8ToUtf16(option) + u"\"";
    PROCESS_INFORMATION process{};
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &process)) {
      m_pid = static_cast<pid_t>(process.dwProcessId);
      m_hProcess = process.hProcess;
      CloseHandle(process.hThread);
    }
    CloseHandle(inRead);
    CloseHandle(outWrite);
    m_reader = std::thread([this, outRead] {
      char buffer[512];
      DWORD read = 0;
      while (ReadFile(outRead, buffer, sizeof buffer, &read, nullptr) && read > 0) {
        AddOutput(buffer, read);
      }
      CloseHandle(outRead);
    });
  }

  void StartStranger(const std::vector<std::string>& options) {
    std::vector<std::string> args{X11_PEER};
    args.insert(args.end(), options.begin(), options.end());
    int outFd = -1;
    m_pid = test_common::SpawnWithPipes(args, &m_stdinFd, &outFd);
    m_reader = std::thread([this, outFd] {
      char buffer[512];
      ssize_t n;
      while ((n = read(outFd, buffer, sizeof buffer)) > 0)
        AddOutput(buffer, static_cast<size_t>(n));
      close(outFd);
    });
  }

  pid_t m_pid = -1;
  win32::HANDLE m_hProcess = nullptr;
  win32::HANDLE m_hStdin = nullptr;
  int m_stdinFd = -1;
  bool m_reaped = false;
  win32::HWND m_hwnd = nullptr;
  std::thread m_reader;

  std::mutex m_lock;
  std::deque<std::string> m_lines;  // m_lock
  std::string m_partial;            // m_lock
};

// What a registered window of the test receives.
struct Received {
  win32::UINT message;
  win32::WPARAM wParam;
  win32::LPARAM lParam;
};

// A registered top-level of the test process.
class TestWindow {
 public:
  explicit TestWindow(const char* title, bool show = true) {
    m_pWindow = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(m_pWindow), title);
    gtk_window_set_default_size(GTK_WINDOW(m_pWindow), 400, 300);
    gtk_container_add(GTK_CONTAINER(m_pWindow), gtk_label_new(title));
    g_object_set_data(G_OBJECT(m_pWindow), "test-window", this);
    m_hwnd = win32::RegisterToplevel(GTK_WINDOW(m_pWindow), Proc, NoteChange);
    g_object_set_data(G_OBJECT(m_pWindow), "hwnd", m_hwnd);
    s_windows().push_back(this);
    if (show) gtk_widget_show_all(m_pWindow);
  }
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;
  ~TestWindow() {
    auto& windows = s_windows();
    windows.erase(std::find(windows.begin(), windows.end(), this));
    if (win32::IsWindow(m_hwnd)) win32::DestroyWindow(m_hwnd);
  }

  win32::HWND Hwnd() const { return m_hwnd; }
  GtkWindow* Window() const { return GTK_WINDOW(m_pWindow); }
  std::string Hex() const {
    char text[32];
    snprintf(text, sizeof text, "0x%lx",
             static_cast<unsigned long>(reinterpret_cast<uintptr_t>(m_hwnd)));
    return text;
  }
  std::vector<Received>& Messages() { return m_received; }
  // What the layer told the framework it did to the window.
  const std::vector<win32::ToplevelChange>& Changes() const { return m_changes; }
  // Messages of one kind received so far.
  std::vector<Received> Of(win32::UINT message) const {
    std::vector<Received> found;
    for (const Received& r : m_received) {
      if (r.message == message) found.push_back(r);
    }
    return found;
  }
  // Waits until the window is on screen: the window manager framed, placed and mapped it.
  [[nodiscard]] bool WaitViewable() {
    return WaitUntil([&] { return Viewable(m_hwnd); });
  }

 private:
  static std::vector<TestWindow*>& s_windows() {
    static std::vector<TestWindow*> windows;
    return windows;
  }
  static win32::LRESULT Proc(win32::HWND hwnd, win32::UINT message, win32::WPARAM wParam,
                             win32::LPARAM lParam) {
    for (TestWindow* pWindow : s_windows()) {
      if (pWindow->m_hwnd == hwnd) pWindow->m_received.push_back(Received{message, wParam, lParam});
    }
    if (message == win32::WM_CLOSE) return 0;  // recorded, not carried out
    return win32::DefWindowProcW(hwnd, message, wParam, lParam);
  }

  static void NoteChange(win32::HWND, GtkWindow* pWindow, win32::ToplevelChange change) {
    auto* pSelf = static_cast<TestWindow*>(g_object_get_data(G_OBJECT(pWindow), "test-window"));
    if (pSelf) pSelf->m_changes.push_back(change);
  }

  GtkWidget* m_pWindow = nullptr;
  win32::HWND m_hwnd = nullptr;
  std::vector<Received> m_received;
  std::vector<win32::ToplevelChange> m_changes;
};

// main() of the Xvfb test programs: GTK on the harness's display, or 77 (skipped) without one.
inline int RunGuiTests(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (!win32::InitializeGui(&argc, &argv)) {
    fprintf(stderr, "no X display\n");
    return getenv("LUMIDOCK_REQUIRE_GUI") ? 1 : 77;
  }
  return RUN_ALL_TESTS();
}

}  // namespace x11_test
