// bench-startup: from process start to the main window's first drawing on screen, and the
// resident memory then and a second later, for Harborlight and, as the baseline started and
// measured the same way in the same run, a bare GTK window of the same size with one label.
// The window is found by its process id (_NET_WM_PID) and counts as drawn once its pixels show
// both the theme's light background and dark text. Each is started cold, as the first toolkit
// program of a desktop session (a new, empty cache folder, and no visuals the toolkit cached on
// the root window, so it loads the GL driver to choose them), and warm (both caches there, as
// for any later start). Runs under scripts/xvfb-run-test, without a window manager; 77 without a
// display. --short: fewer rounds, for CI.
//   bench-startup [--short] [--program <path>]     (default: Harborlight beside this program)
//   bench-startup --bare-window                     (the baseline's window; runs until killed)

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using Clock = std::chrono::steady_clock;

namespace {

constexpr int kWidth = 774;
constexpr int kHeight = 494;
constexpr auto kGiveUp = std::chrono::seconds(20);

int BareWindow(int argc, char** argv) {
  if (!gtk_init_check(&argc, &argv)) return 77;
  GtkWidget* pWindow = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(pWindow), "bare");
  gtk_window_set_decorated(GTK_WINDOW(pWindow), FALSE);
  gtk_window_set_default_size(GTK_WINDOW(pWindow), kWidth, kHeight);
  gtk_container_add(GTK_CONTAINER(pWindow), gtk_label_new("bare"));
  g_signal_connect(pWindow, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
  gtk_widget_show_all(pWindow);
  gtk_main();
  return 0;
}

int IgnoreXErrors(Display*, XErrorEvent*) { return 0; }

long ProcessOf(Display* pDisplay, Window window) {
  static Atom pidAtom = XInternAtom(pDisplay, "_NET_WM_PID", False);
  Atom type = None;
  int format = 0;
  unsigned long items = 0, after = 0;
  unsigned char* pData = nullptr;
  long pid = -1;
  if (XGetWindowProperty(pDisplay, window, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format,
                         &items, &after, &pData) == Success &&
      pData && items == 1 && format == 32) {
    pid = *reinterpret_cast<long*>(pData);
  }
  if (pData) XFree(pData);
  return pid;
}

// Whether the window of `pid` is mapped and shows light background and dark text.
bool Drawn(Display* pDisplay, pid_t pid) {
  Window root = DefaultRootWindow(pDisplay), parent = 0, *pChildren = nullptr;
  unsigned int count = 0;
  if (!XQueryTree(pDisplay, root, &root, &parent, &pChildren, &count)) return false;
  bool drawn = false;
  for (unsigned int i = 0; i < count && !drawn; ++i) {
    XWindowAttributes attributes{};
    if (ProcessOf(pDisplay, pChildren[i]) != pid ||
        !XGetWindowAttributes(pDisplay, pChildren[i], &attributes) ||
        attributes.map_state != IsViewable) {
      continue;
    }
    XImage* pImage = XGetImage(pDisplay, pChildren[i], 0, 0, attributes.width, attributes.height,
                               AllPlanes, ZPixmap);
    if (!pImage) continue;
    bool light = false, dark = false;
    for (int y = 0; y < pImage->height && !(light && dark); y += 2) {
      for (int x = 0; x < pImage->width; x += 2) {
        unsigned long pixel = XGetPixel(pImage, x, y);
        unsigned r = (pixel >> 16) & 0xFF, g = (pixel >> 8) & 0xFF, b = pixel & 0xFF;
        light = light || (r > 0xC0 && g > 0xC0 && b > 0xC0);
        dark = dark || (r < 0x60 && g < 0x60 && b < 0x60);
      }
    }
    XDestroyImage(pImage);
    drawn = light && dark;
  }
  if (pChildren) XFree(pChildren);
  return drawn;
}

long ResidentKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

struct Sample {
  double firstDrawMs = -1;  // -1: never drawn
  long rssAtDrawKb = -1;
  long rssSettledKb = -1;
};

// `cacheFolder`: the child's XDG_CACHE_HOME. `cold`: the toolkit's visuals are first removed
// from the root window (this process's connection keeps the server from resetting, which would
// remove them too).
Sample Measure(Display* pDisplay, std::vector<std::string> args, const std::string& cacheFolder,
               bool cold) {
  if (cold) {
    XDeleteProperty(pDisplay, DefaultRootWindow(pDisplay),
                    XInternAtom(pDisplay, "GDK_VISUALS", False));
    XSync(pDisplay, False);
  }
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStrings = {"XDG_CACHE_HOME=" + cacheFolder};
  for (char** e = environ; *e; ++e) {
    if (strncmp(*e, "XDG_CACHE_HOME=", 15) != 0) envStrings.push_back(*e);
  }
  std::vector<char*> envp;
  for (std::string& e : envStrings) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  Sample sample;
  Clock::time_point start = Clock::now();
  pid_t pid = -1;
  int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return sample;
  while (Clock::now() - start < kGiveUp) {
    if (Drawn(pDisplay, pid)) {
      sample.firstDrawMs =
          std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count() /
          1000.0;
      sample.rssAtDrawKb = ResidentKb(pid);
      std::this_thread::sleep_for(std::chrono::seconds(1));
      sample.rssSettledKb = ResidentKb(pid);
      break;
    }
    if (waitpid(pid, nullptr, WNOHANG) == pid) return sample;  // ended early
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  return sample;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? -1 : values[values.size() / 2];
}

void Print(const char* pName, const std::vector<Sample>& samples) {
  std::vector<double> draws;
  long rss = 0;
  for (const Sample& s : samples) {
    draws.push_back(s.firstDrawMs);
    rss = std::max({rss, s.rssAtDrawKb, s.rssSettledKb});
  }
  printf("%-24s %10.1f %10.1f %10.1f %10.1f\n", pName, samples.front().firstDrawMs, Median(draws),
         *std::max_element(draws.begin(), draws.end()), rss / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], "--bare-window") == 0) return BareWindow(argc, argv);
  bool shortRun = false;
  std::string program = (std::filesystem::path(argv[0]).parent_path() / "Harborlight").string();
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--short") == 0) {
      shortRun = true;
    } else if (strcmp(argv[i], "--program") == 0 && i + 1 < argc) {
      program = argv[++i];
    } else {
      fprintf(stderr, "usage: %s [--short] [--program <path>] | --bare-window\n", argv[0]);
      return 2;
    }
  }
  Display* pDisplay = XOpenDisplay(nullptr);
  if (!pDisplay) {
    fprintf(stderr, "bench-startup: no display\n");
    return getenv("LUMIDOCK_REQUIRE_GUI") ? 1 : 77;
  }
  XSetErrorHandler(IgnoreXErrors);
  // The program's files stay in a sandbox of their own.
  std::string root = std::filesystem::temp_directory_path() / "bench-startup.XXXXXX";
  if (!mkdtemp(root.data())) return 1;
  setenv("LUMIDOCK_ROOT", root.c_str(), 1);

  const int rounds = shortRun ? 2 : 7;
  const std::string warmCache = root + "/cache-warm";
  std::vector<Sample> bareCold, harborlightCold, bareWarm, harborlightWarm;
  for (int i = 0; i < rounds; ++i) {
    std::string cold = root + "/cache-" + std::to_string(i);
    bareCold.push_back(Measure(pDisplay, {argv[0], "--bare-window"}, cold + "-bare", true));
    harborlightCold.push_back(Measure(pDisplay, {program}, cold + "-harborlight", true));
    // The warm starts follow a start that left its visuals behind; the first fills the cache.
    if (i == 0) Measure(pDisplay, {argv[0], "--bare-window"}, warmCache, false);
    bareWarm.push_back(Measure(pDisplay, {argv[0], "--bare-window"}, warmCache, false));
    harborlightWarm.push_back(Measure(pDisplay, {program}, warmCache, false));
  }
  std::filesystem::remove_all(root);
  XCloseDisplay(pDisplay);

  printf("bench-startup: process start to first draw under Xvfb, %d rounds each\n", rounds);
  printf("%-24s %10s %10s %10s %10s\n", "", "first ms", "median ms", "max ms", "max RSS MB");
  Print("bare GTK window, cold", bareCold);
  Print("Harborlight, cold", harborlightCold);
  Print("bare GTK window, warm", bareWarm);
  Print("Harborlight, warm", harborlightWarm);

  bool drawn = true;
  double worstMs = 0;
  long rssKb = 0;
  for (const auto* pSamples : {&bareCold, &harborlightCold, &bareWarm, &harborlightWarm}) {
    for (const Sample& s : *pSamples) drawn = drawn && s.firstDrawMs >= 0;
  }
  for (const auto* pSamples : {&harborlightCold, &harborlightWarm}) {
    for (const Sample& s : *pSamples) {
      worstMs = std::max(worstMs, s.firstDrawMs);
      rssKb = std::max({rssKb, s.rssAtDrawKb, s.rssSettledKb});
    }
  }
  const bool targets = drawn && worstMs <= 1000 && rssKb <= 100 * 1024;
  printf("targets: first draw <= 1000 ms, RSS <= 100 MB: %s\n", targets ? "met" : "MISSED");
  // A window that never draws fails every run; the timing targets only full runs.
  return drawn && (shortRun || targets) ? 0 : 1;
}
