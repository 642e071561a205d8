#pragma once
// What the whole-program test stands on: the shipped program in a sandbox of its own, read
// through its test port (harbor-drive, replies parsed as JSON), a gate that holds the PC's
// connections to the entry server until the test opens it, and small X tools (xdotool, import,
// zbarimg) run as programs.

#include <json-glib/json-glib.h>
#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "win32/window.h"

namespace whole_test {

using Strings = std::vector<std::string>;

// Runs a program (a bare name found on the PATH) to its end, without a shell; its standard
// output, and its exit status in *pStatus (-1 when it could not start or was killed).
std::string Capture(Strings args, int* pStatus = nullptr);
// What a process used while it was left alone: its CPU time (user and system, all threads) as a
// share of one core, and how often one of its threads went to sleep (voluntary context
// switches) a second.
struct Rest {
  double cpuPercent = 0;
  double switchesPerSecond = 0;
};
// Watches process `pid` and its thread `tid` for `seconds` (nothing else is done meanwhile).
Rest MeasureRest(pid_t pid, pid_t tid, int seconds);

// The living processes started with this sandbox root (the program, its popup and the web
// engine's helpers), this one aside.
std::vector<pid_t> ProcessesOfSandbox(const std::string& root);

// One element of a window as the test port tells it.
struct Element {
  std::string id;
  std::string name;
  std::string kind;
  std::string text;
  std::string picture;
  bool hidden = false;
  bool shown = false;
  bool enabled = false;
  bool selected = false;
  win32::RECT screen{};  // on the screen
  std::vector<Element> children;

  // The first element below (depth first) with that id; null when there is none.
  const Element* Find(const std::string& childId) const;
  win32::POINT Centre() const {
    return {(screen.left + screen.right) / 2, (screen.top + screen.bottom) / 2};
  }
};

// Holds each connection to the entry server until Open(), then relays it both ways.
// Threading: one thread accepts; each connection is relayed by a thread of its own. The
// destructor closes everything and joins them.
class CEntryGate {
 public:
  explicit CEntryGate(int targetPort);
  CEntryGate(const CEntryGate&) = delete;
  CEntryGate& operator=(const CEntryGate&) = delete;
  ~CEntryGate();

  int Port() const { return m_port; }
  void Open() { m_open = true; }
  int Held() const { return m_held; }

 private:
  void Accept();
  void Relay(int fd);

  const int m_targetPort;
  int m_listenFd = -1;
  int m_port = 0;
  std::atomic<bool> m_open{false};
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_held{0};
  std::thread m_acceptor;
  std::mutex m_lock;
  std::vector<std::thread> m_relays;  // guarded by m_lock
};

// The program installed as shipped: <root>/bin holds the programs, libraries, layout and
// pictures of the build; the drives C:, D:, E: are folders of the root. Starts and drives
// Harborlight through its test port.
class CWholeProgram {
 public:
  explicit CWholeProgram(const std::string& root);
  CWholeProgram(const CWholeProgram&) = delete;
  CWholeProgram& operator=(const CWholeProgram&) = delete;
  ~CWholeProgram();

  // Starts Harborlight with `environment` added; true once its test port answers.
  bool Start(const Strings& environment);
  // Another start with the same environment; its wait status (-1 on time-out).
  int StartAnother();
  // Waits for the end; the wait status, -1 on time-out.
  int Wait(int seconds);
  pid_t Pid() const { return m_pid; }
  std::string Errors() const;
  const std::string& Root() const { return m_root; }
  std::string Bin() const { return m_root + "/bin"; }

  // One harbor-drive command; its output, "" when it failed. "tree", "raw" and "menu-click" go
  // to the test port straight (Ask); the others through harbor-drive.
  std::string Port(const Strings& args) const;
  // One request line to the test port over a connection kept open; the reply line, "" while
  // the port is not there or when it went away. The port is served by the GUI thread: once a
  // request is sent, a reply later than kAnswerMs fails the test, so a freeze fails at any step.
  // Only a new connection's first reply may take longer (kStartMs): the port listens before
  // the program's start-up on that thread is over.
  std::string Ask(const std::string& request) const;
  // The longest wait for a reply so far, and its request.
  int SlowestAnswerMs() const { return m_slowestMs; }
  const std::string& SlowestRequest() const { return m_slowestRequest; }
  // The sanitizers slow the GUI thread two to three times over; a freeze still never answers.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  static constexpr int kAnswerMs = 2000;
#else
  static constexpr int kAnswerMs = 1000;
#endif
  static constexpr int kStartMs = 30000;
  // One harbor-drive command that prints nothing; whether it was done.
  bool Command(const Strings& args) const;
  // The element at `path` of `window`; false while there is none. *pWindowRect: where the
  // program has its window.
  bool Find(const std::string& window, const std::string& path, Element* pElement,
            win32::RECT* pWindowRect = nullptr) const;
  // Shown in the tree (its frames shown too), or false while it is missing.
  bool Shown(const std::string& window, const std::string& path) const;
  std::string Text(const std::string& window, const std::string& path) const;
  // The window's native handle, null while there is no such window.
  win32::HWND Window(const std::string& window) const;
  // The tray icon's centre; false while it is not placed.
  bool TrayIcon(win32::POINT* pCentre) const;
  // Thumbnails asked of the program's decoder and not yet on their tiles; -1 when the port does
  // not say.
  int DecodesInFlight() const;
  // Waits until none is, so that tiles show the pictures they keep; false when one still was
  // after `timeoutMs`.
  bool WaitDecodes(int timeoutMs) const;

 private:
  Strings Environment() const;
  Strings DriveCommand(const Strings& args) const;
  bool SendOrReconnect(const std::string& line) const;
  void Disconnect() const;

  std::string m_root;
  std::string m_socket;
  Strings m_environment;
  pid_t m_pid = -1;
  // The test port's connection (Ask), opened on first use and again after the program ended.
  mutable int m_portFd = -1;
  mutable std::string m_portBuffer;
  mutable bool m_portAnswered = false;  // the connection's first reply came
  mutable int m_slowestMs = 0;
  mutable std::string m_slowestRequest;
};

}  // namespace whole_test
