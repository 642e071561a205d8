// The photo page with a large phone folder on tmpfs: 10,000 JPEGs of 640 x 480 over 500 days
// (optionally the newest K at another size), the real folder scanner and picture library, the
// page in the main window's layout. bench-photo-page runs it on the null view, driven by a loop
// of the UI thread's own (its messages and KwTimer's timers on the real clock), and paints with
// the framework's painter; bench-photo-page-gtk on the GTK view on an X display, in GLib's loop
// as the program runs, and each paint is the window's own draw.
//   (a) the walk of the folder, started and waited for on its own;
//   (b) the first screen: from selecting the never-scanned phone to every tile in view made,
//       with its thumbnail, and the window painted once more;
//   (c) scrolling to the end and back a screen at a time, each screen completed: the bytes of
//       textures against the budget, and the growth of resident memory;
//   (d) a probe posting to the UI thread every 5 ms through (b) and (c): the largest lag; the
//       walk runs on its own thread (StartScan returns while it is still running);
//   (e) 2,000 photos arriving at 200 a second (files copied in, their paths posted to the UI
//       thread as the logic sink's would be): the lag of each arrival until the page placed it.
// Usage: bench-photo-page [--short] [--count N] [--days D] [--large K:WxH] [--arrivals A]
//   (--short: 1,000 photos over 50 days and 200 arrivals, for CI; an arrival's cost against the
//   history it lands in: --count 100000 --days 3000 against --count 1000 --days 50, both with
//   the same --arrivals)

#include <sys/statfs.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../tests/common/PlatformBoot.h"
#include "../tests/photo-page/PhotoTestSupport.h"
#include "BenchSupport.h"
#include "Basalt/KwTimer.h"
#include "Basalt/Util.h"
#include "CElement.h"
#include "CLqPainter.h"
#include "CScrollElement.h"
#include "CWindowElement.h"
#include "CachedOrbalynDB.h"
#include "FolderScanner.h"
#include "ImageShowPageAdapter.h"
#include "Lq/Lq.h"
#include "OrbalynBinding.h"
#include "Pictor/Pictor.h"
#include "win32/module.h"
#include "win32/strings.h"
#include "win32/thread.h"
#include "win32/window.h"
#ifdef PHOTO_BENCH_GTK
#include "CGtkView.h"
#include "win32/gui.h"
#endif

using namespace win32;

namespace {

constexpr UINT kProbeMessage = WM_APP + 1;
constexpr UINT kArrivalMessage = WM_APP + 2;
constexpr int64_t kPhoneId = 7001;
constexpr int kViewHeight = 330;
// Scrolling moves four screens a step: every part of the grid is still seen on the way.
constexpr int kScrollStep = 4 * kViewHeight;

double MsSince(int64_t startNs) { return (bench::NowNs() - startNs) / 1e6; }

size_t ResidentBytes() {
  long pages = 0;
  long resident = 0;
  if (FILE* pFile = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(pFile, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(pFile);
  }
  return static_cast<size_t>(resident) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

struct Arrival {
  std::u16string path;
  int64_t postedNs;
};

// The UI thread's side of the probe and of the arrivals.
struct UiState {
  CImageShowPageAdapter* pPage = nullptr;
  bool recordProbe = false;
  std::vector<int64_t> probeLags;
  std::vector<int64_t> arrivalLags;
};
UiState g_ui;

LRESULT CALLBACK ProbeProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kProbeMessage) {
    if (g_ui.recordProbe) g_ui.probeLags.push_back(bench::NowNs() - static_cast<int64_t>(lParam));
    return 0;
  }
  if (message == kArrivalMessage) {
    std::unique_ptr<Arrival> pArrival(reinterpret_cast<Arrival*>(lParam));
    g_ui.pPage->AddPhoto(kPhoneId, pArrival->path.c_str());
    g_ui.arrivalLags.push_back(bench::NowNs() - pArrival->postedNs);
    return 0;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

#ifdef PHOTO_BENCH_GTK
constexpr char kViewName[] = "GTK view";

// GLib's loop runs the layer's messages, KwTimer's timers and GTK's drawing; a 2 ms source wakes
// it to look at `done` and the deadline.
bool RunUntil(const std::function<bool()>& done, int timeoutMs) {
  const int64_t deadline = bench::NowNs() + static_cast<int64_t>(timeoutMs) * 1000000;
  guint tick = g_timeout_add(2, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  bool met = true;
  while (met && !done()) {
    met = bench::NowNs() <= deadline;
    if (met) g_main_context_iteration(nullptr, TRUE);
  }
  g_source_remove(tick);
  return met;
}

gboolean OnDrawn(GtkWidget*, cairo_t*, gpointer data) {
  *static_cast<bool*>(data) = true;
  return FALSE;
}

// The window draws itself once more, now.
void Paint(ILqElement* pMain) {
  HWND hwnd = nullptr;
  pMain->GetWindowHandle(&hwnd);
  GtkWidget* pWindow = GTK_WIDGET(ToplevelWindow(hwnd));
  bool drawn = false;
  gulong handler = g_signal_connect_after(pWindow, "draw", G_CALLBACK(OnDrawn), &drawn);
  gtk_widget_queue_draw(pWindow);
  RunUntil([&] { return drawn; }, 10000);
  g_signal_handler_disconnect(pWindow, handler);
}
#else
constexpr char kViewName[] = "null view";

// KwTimer on the real clock; the loop below runs what is due.
class CRealClock final : public IKwTimerHost {
 public:
  uint64_t NowMs() override { return static_cast<uint64_t>(bench::NowNs() / 1000000); }
  void WakeAt(uint64_t dueMs) override { m_dueMs = dueMs; }
  uint64_t DueMs() const { return m_dueMs; }

 private:
  uint64_t m_dueMs = kNever;
};
CRealClock g_clock;

// The UI thread's loop: messages, then due timers, then a wait for either.
bool RunUntil(const std::function<bool()>& done, int timeoutMs) {
  const int64_t deadline = bench::NowNs() + static_cast<int64_t>(timeoutMs) * 1000000;
  while (!done()) {
    if (bench::NowNs() > deadline) return false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    const uint64_t now = g_clock.NowMs();
    if (g_clock.DueMs() <= now) {
      KwTimer::RunDueTimers();
      continue;
    }
    const uint64_t wait = g_clock.DueMs() == IKwTimerHost::kNever ? 1 : g_clock.DueMs() - now;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(std::min<uint64_t>(wait, 1)),
                              QS_ALLINPUT);
  }
  return true;
}

// The framework's painter draws the whole window.
void Paint(ILqElement* pMain) {
  cairo_surface_destroy(lq::CLqPainter::Render(lq::CElement::FromInterface(pMain)));
}
#endif

lq::CElement* PageElement(ILqElement* pMain, const char16_t* pId) {
  return lq::CElement::FromInterface(pMain)->FindById(u"ImageShowFrame")->FindById(pId);
}

// Every tile in view made and showing its thumbnail.
bool ViewComplete(ILqElement* pMain) {
  // Looked up once: "loading" lies after the grid, so a search walks every tile.
  static lq::CElement* pLoading = PageElement(pMain, u"loading");
  static auto* pView = static_cast<lq::CScrollElement*>(PageElement(pMain, u"photoScrollView"));
  if (!pLoading->HiddenFlag()) return false;
  lq::CElement* pContainer = nullptr;
  for (lq::CElement* pChild : pView->Children()) {
    if (!pChild->HiddenFlag()) pContainer = pChild;
  }
  if (!pContainer) return false;
  const LONG top = pView->ScrollPosition().y;
  const LONG bottom = top + kViewHeight;
  for (lq::CElement* pGroup : pContainer->Children()) {
    const RECT& group = pGroup->Rect();
    if (group.top >= bottom || group.bottom <= top) continue;
    lq::CElement* pCount = pGroup->FindById(u"countText");
    const int photos = pCount ? std::atoi(Utf16ToUtf8(pCount->TextValue()).c_str()) : 0;
    int expected = 0;
    for (int n = 0; n < photos; ++n) {
      const LONG y = group.top + 30 + 122 * (n / 6);
      expected += y < bottom && y + 120 > top;
    }
    int made = 0;
    for (lq::CElement* pTile : pGroup->Children()) {
      lq::CElement* pImage = pTile->FindById(u"userImg");
      if (!pImage) continue;
      const LONG y = group.top + pTile->Rect().top;
      if (y < bottom && y + 120 > top && pImage->Picture().Object()) ++made;
    }
    if (made < expected) return false;
  }
  return true;
}

std::string TmpfsFolder() {
  struct statfs info;
  if (statfs("/dev/shm", &info) == 0 && info.f_type == 0x01021994) return "/dev/shm";
  return "/tmp";
}

int Fail(const char* pWhat) {
  std::fprintf(stderr, "bench-photo-page: %s\n", pWhat);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef PHOTO_BENCH_GTK
  if (!InitializeGui(&argc, &argv)) {
    std::fputs("bench-photo-page-gtk: no X display\n", stderr);
    return 77;
  }
  lq::CGtkView::Install();
#endif
  bool shortRun = false;
  int count = 10000;
  int days = 500;
  int arrivals = 2000;
  int arrivalsOption = 0;
  std::string large;
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--short") {
      shortRun = true;
    } else if ((option == "--count" || option == "--days" || option == "--large" ||
                option == "--arrivals") &&
               i + 1 < argc) {
      std::string value = argv[++i];
      if (option == "--arrivals") arrivalsOption = std::atoi(value.c_str());
      if (option == "--count") count = std::atoi(value.c_str());
      if (option == "--days") days = std::atoi(value.c_str());
      if (option == "--large") large = value;
    } else {
      std::fprintf(stderr,
                   "usage: %s [--short] [--count N] [--days D] [--large K:WxH] [--arrivals A]\n",
                   argv[0]);
      return 2;
    }
  }
  if (shortRun) {
    count = 1000;
    days = 50;
    arrivals = 200;
  }
  if (arrivalsOption > 0) arrivals = arrivalsOption;
  photo_test::PinTimeZone();

  // A sandbox on tmpfs with the phone's folder.
  std::string pattern = TmpfsFolder() + "/bench-photo-page-XXXXXX";
  if (!mkdtemp(pattern.data())) return Fail("no sandbox");
  const std::string root = pattern;
  setenv("LUMIDOCK_ROOT", root.c_str(), 1);
  const std::string phoneFolder = root + "/backup/Bench";
  std::string make = std::string(LUMIDOCK_BIN_DIR "/make-sample-photos ") + phoneFolder +
                     " --count " + std::to_string(count) + " --days " + std::to_string(days) +
                     (large.empty() ? "" : " --large " + large) + " >/dev/null";
  const int64_t makeStart = bench::NowNs();
  if (std::system(make.c_str()) != 0) return Fail("make-sample-photos failed");
  std::printf("%s: %d JPEGs of 640x480 over %d days%s%s, made in %.1f s, on %s\n", kViewName,
              count, days, large.empty() ? "" : ", newest at ", large.c_str(),
              MsSince(makeStart) / 1000, TmpfsFolder().c_str());

  // The platform core, the null view, the main window and the page.
  IKwCore* pCore = test_common::StartPlatform(root, LUMIDOCK_BIN_DIR);
  if (!pCore) return 1;
#ifndef PHOTO_BENCH_GTK
  KwTimer::SetHost(&g_clock);
#endif
  photo_test::CFakeRoot orbalyn;
  orbalyn.m_store.m_workDir = test_files::WindowsFromPosix(root + "/backup");
  orbalyn.m_store.m_bound.push_back(photo_test::FakePhone{kPhoneId, u"Bench", 0});
  SetOrbalynRootForTesting(&orbalyn);

  ILqElement* pMain = nullptr;
  Util::Lq::RawCreateLqElementBySkein(u"platformskein:Harborlight.xml|MainWnd", &pMain, nullptr,
                                      nullptr, 0);
  if (!pMain) return Fail("no main window");
  pMain->Show(5);
  auto pPage = std::make_unique<CImageShowPageAdapter>();
  g_ui.pPage = pPage.get();
  ILqElement* pFrame = nullptr;
  pMain->FindChild(u"ImageShowFrame", &pFrame);
  pPage->Init(pFrame, nullptr);
  pFrame->Release();
  pPage->Show(0);

  WNDCLASSEXW probeClass{};
  probeClass.cbSize = sizeof(probeClass);
  probeClass.lpfnWndProc = &ProbeProc;
  probeClass.hInstance = GetModuleHandleW(nullptr);
  probeClass.lpszClassName = u"BenchProbe";
  RegisterClassExW(&probeClass);
  HWND probe = CreateWindowExW(0, u"BenchProbe", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               probeClass.hInstance, nullptr);
  std::atomic<bool> probing{true};
  std::thread prober([&] {
    while (probing) {
      PostMessageW(probe, kProbeMessage, 0, static_cast<LPARAM>(bench::NowNs()));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  // The window has been drawn once before anyone selects a phone (fonts and pictures loaded).
  Paint(pMain);
  RunUntil([] { return false; }, 50);  // settle
  const size_t residentBefore = ResidentBytes();

  // (a) The walk alone.
  CFolderScanner& scanner = CFolderScanner::Instance();
  ScanDevice* pRecord = nullptr;
  int64_t start = bench::NowNs();
  scanner.StartScan(kPhoneId + 1, test_files::WindowsFromPosix(phoneFolder));
  const double startMs = MsSince(start);
  const bool walkAside = scanner.FindDevice(kPhoneId + 1, &pRecord) == CFolderScanner::kScanning;
  RunUntil([&] {
    return scanner.FindDevice(kPhoneId + 1, &pRecord) == CFolderScanner::kComplete;
  }, 120000);
  const double scanMs = MsSince(start);
  size_t found = 0;
  for (const ScanMonth& month : pRecord->months) {
    for (const ScanDay& day : month.days) found += day.photos.size();
  }
  std::printf("(a) walk: %.1f ms for %zu photos (StartScan returned in %.3f ms, walk %s)\n",
              scanMs, found, startMs, walkAside ? "still running: on its own thread" : "done?");

  // (b) First screen, with the probe recording.
  g_ui.recordProbe = true;
  start = bench::NowNs();
  pPage->RefreshPhoneList(0, 0);
  if (!RunUntil([&] { return ViewComplete(pMain); }, 60000)) return Fail("no first screen");
  Paint(pMain);
  const double firstScreenMs = MsSince(start);
  std::printf("(b) first screen: %.1f ms (walk, groups, tiles in view with thumbnails, painted)"
              " [target <= 500 ms]\n", firstScreenMs);

  // (c) To the end and back, a screen at a time.
  auto* pView = static_cast<lq::CScrollElement*>(PageElement(pMain, u"photoScrollView"));
  uint64_t peakTextures = Pictor::LiveTextureBytes();
  int screens = 0;
  double slowestScreenMs = 0;
  auto showScreen = [&](LONG y) {
    POINT position{0, y};
    pView->SetScrollPos(&position);
    const int64_t screenStart = bench::NowNs();
    RunUntil([&] { return ViewComplete(pMain); }, 30000);
    slowestScreenMs = std::max(slowestScreenMs, MsSince(screenStart));
    peakTextures = std::max(peakTextures, Pictor::LiveTextureBytes());
    ++screens;
  };
  start = bench::NowNs();
  LONG y = 0;
  for (; y < pView->ContentExtent().y; y += kScrollStep) showScreen(y);
  for (; y >= 0; y -= kScrollStep) showScreen(y);
  const double scrollMs = MsSince(start);
  const size_t residentAfter = ResidentBytes();
  const double growthMb = (static_cast<double>(residentAfter) - residentBefore) / (1 << 20);
  std::printf("(c) %d screens (4 apart) down and up in %.1f s (slowest %.1f ms); textures %.1f MB now,"
              " %.1f MB at most [budget 64 MB]; resident memory +%.1f MB [target < 128 MB]\n",
              screens, scrollMs / 1000, slowestScreenMs, Pictor::LiveTextureBytes() / 1048576.0,
              peakTextures / 1048576.0, growthMb);
  g_ui.recordProbe = false;
  bench::Latencies probeLag = bench::Percentiles(&g_ui.probeLags);
  std::printf("(d) UI thread probe every 5 ms through (b) and (c): %zu samples, p50 %.2f ms,"
              " p99 %.2f ms, max %.2f ms [target max < 50 ms]\n", g_ui.probeLags.size(),
              probeLag.p50Ms, probeLag.p99Ms, probeLag.maxMs);

  // (e) Arrivals at 200 a second onto a new, newest day, the first screen in view.
  POINT top{0, 0};
  pView->SetScrollPos(&top);
  std::vector<std::string> sources;
  for (const auto& entry : std::filesystem::directory_iterator(phoneFolder + "/Camera")) {
    sources.push_back(entry.path());
    if (sources.size() == 50) break;
  }
  std::atomic<bool> producing{true};
  std::thread producer([&] {
    const int64_t runStart = bench::NowNs();
    for (int i = 0; i < arrivals; ++i) {
      bench::WaitForTurn(runStart, static_cast<size_t>(i), 200);
      std::string path = phoneFolder + "/Camera/NEW_" + std::to_string(i) + ".jpg";
      std::filesystem::copy_file(sources[i % sources.size()], path);
      photo_test::SetLocalTime(path, 2024, 7, 1, 9, 0, 0);
      auto* pArrival = new Arrival{test_files::WindowsFromPosix(path), bench::NowNs()};
      PostMessageW(probe, kArrivalMessage, 0, reinterpret_cast<LPARAM>(pArrival));
    }
    producing = false;
  });
  RunUntil([&] {
    return !producing && g_ui.arrivalLags.size() == static_cast<size_t>(arrivals);
  }, 120000);
  producer.join();
  bench::Latencies lag = bench::Percentiles(&g_ui.arrivalLags);
  std::printf("(e) %d arrivals at 200/s: lag p50 %.2f ms, p99 %.2f ms, max %.2f ms"
              " [target p99 < 100 ms]; textures %.1f MB\n", arrivals, lag.p50Ms, lag.p99Ms,
              lag.maxMs, Pictor::LiveTextureBytes() / 1048576.0);

  probing = false;
  prober.join();
  pPage.reset();
  pMain->Close();
  pMain->Release();
  CachedOrbalynDB::Clear();
  SetOrbalynRootForTesting(nullptr);
#ifndef PHOTO_BENCH_GTK
  KwTimer::SetHost(nullptr);
#endif
  DestroyWindow(probe);
  pCore->Shutdown();
  pCore->Release();
  lq::CLqPainter::ReleaseCachesAtExit();
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);

  const bool met = firstScreenMs <= 500 && peakTextures <= CImageShowPageAdapter::kTextureBudgetBytes &&
                   growthMb < 128 && probeLag.maxMs < 50 && lag.p99Ms < 100 && walkAside;
  std::printf("targets %s\n", met ? "met" : "NOT met");
  return 0;
}
