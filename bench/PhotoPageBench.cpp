// The photo page with a large phone folder on tmpfs: the real folder scanner, picture library and
// thumbnail decoder, the page in the main window's layout. Each run is made twice in this
// process, each time with a fresh window and page: with the decoder's threads, and with every
// thumbnail decoded on the UI thread as the page did before, the baseline. bench-photo-page runs
// on the null view, driven by a loop of the UI thread's own (its messages and KwTimer's timers on
// the real clock), and paints with the framework's painter; bench-photo-page-gtk on the GTK view
// on an X display, in GLib's loop as the program runs, and each paint is the window's own draw.
// A run measures:
//   the first screen: from selecting the never-scanned phone (from the walk's end for 100,000
//     photos, whose walk alone is long) until every tile in view shows its thumbnail, and the
//     window painted once more; with the decoder, a thumbnail shows once its decode came back
//     as a posted message, which the loop below pumps;
//   scrolling to the end and back, each screen completed: the thumbnail bytes the page holds
//     against its budget, the growth of resident memory (VmRSS);
//   photos arriving at 200 a second onto a new, newest day in view (files copied in, their paths
//     posted to the UI thread as the logic sink's would be): each one's lag until placed;
//   a probe posting to the UI thread every 5 ms through all of it: the longest the UI thread was
//     busy at a stretch (the walk's hand-over, tile making, scrolling, arrivals);
//   the most bytes the decodes running at once held, against the decoder's budget.
// The pictures are written here: a few 640 x 480 JPEGs and one of each large size, each copied
// once per day (the copy's last write is the day's) and hard-linked for the day's other photos,
// so even 100,000 photos are on disk in seconds.
// Usage: bench-photo-page [--short | --full | --run NAME]... [--arrivals A]
//                         [--count N --days D [--large K:WxH]]
//   --short: the 1k run, for CI; --full: every run; --run: one of 1k, 10k, 10k-12mp, 10k-48mp,
//   100k; --count: a run of N photos over D days, the newest K at WxH; none: the 10k run.

#include <malloc.h>
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
#include "ThumbDecoder.h"
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
// Scrolling moves four screens a step, so every part of a 10,000-photo grid is seen on the way;
// a longer grid takes longer steps, so a run stays within minutes.
constexpr int kScrollStep = 4 * kViewHeight;
constexpr int kMaxStepsEachWay = 200;
constexpr int kSmallPictures = 16;
// Files about the size a phone camera writes: 50 KB at 640 x 480, and about 3 bits a pixel for
// the large ones (12 MP in 4-5 MB, 48 MP in 15-20 MB), whose decoding is mostly the file's.
constexpr int kSmallGrain = 8;
constexpr int kLargeGrain = 40;
constexpr double kMb = 1024.0 * 1024.0;

double MsSince(int64_t startNs) { return (bench::NowNs() - startNs) / 1e6; }

int64_t ThreadCpuNs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

size_t ResidentBytes() {
  long pages = 0;
  long resident = 0;
  if (FILE* pFile = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(pFile, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(pFile);
  }
  return static_cast<size_t>(resident) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// The machine is shared: each figure is read beside the load it was taken at.
std::string LoadAverage() {
  double load[3] = {};
  if (FILE* pFile = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(pFile, "%lf %lf %lf", &load[0], &load[1], &load[2]) != 3) load[0] = -1;
    std::fclose(pFile);
  }
  char text[64];
  std::snprintf(text, sizeof(text), "%.2f %.2f %.2f", load[0], load[1], load[2]);
  return text;
}

struct RunSpec {
  std::string name;
  std::string title;
  int count = 0;
  int days = 0;
  int large = 0;
  int largeWidth = 0;
  int largeHeight = 0;
  int arrivals = 2000;
  bool fromWalkEnd = false;
};

const RunSpec kRuns[] = {
    {"1k", "1,000 photos, 640x480", 1000, 50, 0, 0, 0, 200, false},
    {"10k", "10,000 photos, 640x480", 10000, 500, 0, 0, 0, 2000, false},
    {"10k-12mp", "10,000, the newest 60 at 12 MP", 10000, 500, 60, 4000, 3000, 2000, false},
    {"10k-48mp", "10,000, the newest 60 at 48 MP", 10000, 500, 60, 8000, 6000, 2000, false},
    {"100k", "100,000 photos, 640x480", 100000, 3000, 0, 0, 0, 2000, true},
};

enum Phase { kFirstScreen, kScrolling, kArrivals, kPhases };

struct Arrival {
  std::u16string path;
  int64_t postedNs;
};

// The UI thread's side of the probe and of the arrivals.
struct UiState {
  CImageShowPageAdapter* pPage = nullptr;
  bool recordProbe = false;
  Phase phase = kFirstScreen;
  std::vector<int64_t> probeLags;
  int64_t phaseMaxNs[kPhases] = {};
  // The UI thread's own CPU time between two probes answered: on a loaded machine a lag can be
  // the scheduler's, and this tells the work apart.
  int64_t lastProbeCpuNs = 0;
  int64_t cpuMaxNs = 0;
  uint64_t peakTextures = 0;
  std::vector<int64_t> arrivalLags;

  void Start() {
    CImageShowPageAdapter* pKept = pPage;
    *this = UiState();
    pPage = pKept;
    recordProbe = true;
  }
  void SampleTextures() {
    if (pPage) peakTextures = std::max(peakTextures, pPage->TextureBytesForTesting());
  }
};
UiState g_ui;

LRESULT CALLBACK ProbeProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kProbeMessage) {
    if (g_ui.recordProbe) {
      const int64_t lag = bench::NowNs() - static_cast<int64_t>(lParam);
      g_ui.probeLags.push_back(lag);
      g_ui.phaseMaxNs[g_ui.phase] = std::max(g_ui.phaseMaxNs[g_ui.phase], lag);
      const int64_t cpu = ThreadCpuNs();
      if (g_ui.lastProbeCpuNs) g_ui.cpuMaxNs = std::max(g_ui.cpuMaxNs, cpu - g_ui.lastProbeCpuNs);
      g_ui.lastProbeCpuNs = cpu;
      g_ui.SampleTextures();
    }
    return 0;
  }
  if (message == kArrivalMessage) {
    std::unique_ptr<Arrival> pArrival(reinterpret_cast<Arrival*>(lParam));
    if (g_ui.pPage) g_ui.pPage->AddPhoto(kPhoneId, pArrival->path.c_str());
    g_ui.arrivalLags.push_back(bench::NowNs() - pArrival->postedNs);
    return 0;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

// The page, timing the hand-over of a finished walk: the walk's end is when its posted message
// reaches the page.
class CTimedPage final : public CImageShowPageAdapter {
 public:
  int64_t WalkEndNs() const { return m_walkEndNs; }
  double HandOverMs() const { return m_handOverMs; }

  // CImageShowPageAdapter:
  void OnScanDone(int64_t id) override {
    const int64_t start = bench::NowNs();
    if (!m_walkEndNs) m_walkEndNs = start;
    CImageShowPageAdapter::OnScanDone(id);
    m_handOverMs = std::max(m_handOverMs, MsSince(start));
  }

 private:
  int64_t m_walkEndNs = 0;
  double m_handOverMs = 0;
};

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

// The UI thread's loop: messages (the decoder's results among them), then due timers, then a
// wait for either.
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

// The page's elements that tell whether the view is complete, of one main window.
struct PageView {
  lq::CElement* pLoading = nullptr;
  lq::CScrollElement* pScroll = nullptr;
};

PageView FindPageView(ILqElement* pMain) {
  lq::CElement* pFrame = lq::CElement::FromInterface(pMain)->FindById(u"ImageShowFrame");
  return PageView{pFrame->FindById(u"loading"),
                  static_cast<lq::CScrollElement*>(pFrame->FindById(u"photoScrollView"))};
}

// Every tile in view made and showing its thumbnail.
bool ViewComplete(const PageView& view) {
  if (!view.pLoading->HiddenFlag()) return false;
  lq::CElement* pContainer = nullptr;
  for (lq::CElement* pChild : view.pScroll->Children()) {
    if (!pChild->HiddenFlag()) pContainer = pChild;
  }
  if (!pContainer) return false;
  const LONG top = view.pScroll->ScrollPosition().y;
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

uint8_t Clamp(int value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); }

// A baseline JPEG of width x height: gradients over a colour of its seed's, a chequer and grain
// of +-`grain`, so no two seeds' pictures are alike; the grain decides the size of the file.
bool WriteJpeg(const std::string& path, int width, int height, uint64_t seed, int grain) {
  GdkPixbuf* pPixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
  if (!pPixbuf) return false;
  uint64_t state = 0x9E3779B97F4A7C15ull * (seed + 1);
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<int>(state % 1024);
  };
  const int red = 40 + next() % 150;
  const int green = 40 + next() % 150;
  const int blue = 40 + next() % 150;
  guchar* pPixels = gdk_pixbuf_get_pixels(pPixbuf);
  const size_t stride = static_cast<size_t>(gdk_pixbuf_get_rowstride(pPixbuf));
  for (int y = 0; y < height; ++y) {
    guchar* p = pPixels + y * stride;
    const int down = y * 64 / height;
    for (int x = 0; x < width; ++x, p += 3) {
      const int noise = next() % (2 * grain + 1) - grain;
      const int check = ((x / 32 + y / 32) & 1) * 24;
      p[0] = Clamp(red + x * 64 / width + noise);
      p[1] = Clamp(green + down + noise);
      p[2] = Clamp(blue + check + noise);
    }
  }
  GError* pError = nullptr;
  const bool saved = gdk_pixbuf_save(pPixbuf, path.c_str(), "jpeg", &pError, "quality", "85",
                                     nullptr);
  if (pError) std::fprintf(stderr, "bench-photo-page: %s: %s\n", path.c_str(), pError->message);
  g_clear_error(&pError);
  g_object_unref(pPixbuf);
  return saved;
}

// The pictures the runs' folders are made of, written once.
class CPictures {
 public:
  explicit CPictures(std::string folder) : m_folder(std::move(folder)) {}

  bool MakeSmall() {
    std::filesystem::create_directories(m_folder);
    for (int i = 0; i < kSmallPictures; ++i) {
      m_small.push_back(m_folder + "/small-" + std::to_string(i) + ".jpg");
      if (!WriteJpeg(m_small.back(), 640, 480, i, kSmallGrain)) return false;
    }
    return true;
  }
  const std::vector<std::string>& Small() const { return m_small; }
  // The one picture of width x height, written on first use; empty when it cannot be.
  std::string Large(int width, int height) {
    const std::string path =
        m_folder + "/large-" + std::to_string(width) + "x" + std::to_string(height) + ".jpg";
    if (!std::filesystem::exists(path) && !WriteJpeg(path, width, height, 100, kLargeGrain)) {
      return "";
    }
    return path;
  }

 private:
  const std::string m_folder;
  std::vector<std::string> m_small;
};

// The phone's camera folder for a run: photo i (0 the newest) on day i * days / count before 30
// June 2024, the newest `large` ones large. A day's photos of one size share one file, whose
// last write (09:00 that day) the page files them by.
bool MakeCameraFolder(const std::string& camera, const RunSpec& spec, CPictures* pPictures) {
  std::error_code error;
  std::filesystem::remove_all(camera, error);
  std::filesystem::create_directories(camera, error);
  if (error) return false;
  const std::string large =
      spec.large > 0 ? pPictures->Large(spec.largeWidth, spec.largeHeight) : "";
  if (spec.large > 0 && large.empty()) return false;
  std::string shared;
  int sharedDay = -1;
  bool sharedLarge = false;
  for (int i = 0; i < spec.count; ++i) {
    const int day = static_cast<int>(static_cast<int64_t>(i) * spec.days / spec.count);
    const bool isLarge = i < spec.large;
    char name[48];
    std::snprintf(name, sizeof(name), "/IMG_D%04d_%06d.jpg", day, i);
    const std::string path = camera + name;
    if (day == sharedDay && isLarge == sharedLarge) {
      if (link(shared.c_str(), path.c_str()) != 0) return false;
      continue;
    }
    const std::string& source = isLarge ? large : pPictures->Small()[day % kSmallPictures];
    std::filesystem::copy_file(source, path, error);
    if (error || !photo_test::SetLocalTime(path, 2024, 6, 30 - day, 9, 0, 0)) return false;
    shared = path;
    sharedDay = day;
    sharedLarge = isLarge;
  }
  return true;
}

// What one run measured.
struct Figures {
  bool finished = false;
  double walkMs = 0;
  double handOverMs = 0;
  double firstScreenMs = 0;
  int screens = 0;
  LONG stepPx = 0;
  double scrollS = 0;
  double slowestScreenMs = 0;
  bench::Latencies probe;
  double phaseMaxMs[kPhases] = {};
  double cpuMaxMs = 0;
  bench::Latencies arrivals;
  uint64_t peakTextures = 0;
  uint64_t peakDecodeBytes = 0;
  double residentGrowthMb = 0;
};

class CBench {
 public:
  CBench(std::string root, HWND probe) : m_root(std::move(root)), m_probe(probe) {}

  // Runs the page once on a fresh main window, the phone's folder as it is.
  Figures RunPage(const RunSpec& spec, bool onUiThread, const std::vector<std::string>& sources);

 private:
  // Removes what the arrivals added to the folder.
  void RemoveArrivals(int count);

  const std::string m_root;
  const HWND m_probe;
};

Figures CBench::RunPage(const RunSpec& spec, bool onUiThread,
                        const std::vector<std::string>& sources) {
  Figures figures;
  CFolderScanner& scanner = CFolderScanner::Instance();
  scanner.ForgetRecordsForTesting();
  ILqElement* pMain = nullptr;
  Util::Lq::RawCreateLqElementBySkein(u"platformskein:Harborlight.xml|MainWnd", &pMain, nullptr,
                                      nullptr, 0);
  if (!pMain) return figures;
  pMain->Show(5);
  auto pPage = std::make_unique<CTimedPage>();
  pPage->SetDecodeOnUiThreadForTesting(onUiThread);
  ILqElement* pFrame = nullptr;
  pMain->FindChild(u"ImageShowFrame", &pFrame);
  pPage->Init(pFrame, nullptr);
  pFrame->Release();
  pPage->Show(0);
  g_ui.pPage = pPage.get();
  const PageView view = FindPageView(pMain);
  // The window has been drawn once before anyone selects a phone (fonts and pictures loaded).
  Paint(pMain);
  RunUntil([] { return false; }, 50);  // settle
  // What the last run freed goes back first, so it does not hide this run's growth.
  malloc_trim(0);
  const size_t residentBefore = ResidentBytes();
  size_t residentPeak = residentBefore;
  auto sampleResident = [&] { residentPeak = std::max(residentPeak, ResidentBytes()); };

  const std::string camera = m_root + "/backup/Bench/Camera";
  g_ui.Start();
  const int64_t selectNs = bench::NowNs();
  pPage->RefreshPhoneList(0, 0);
  bool finished = RunUntil([&] { return ViewComplete(view); }, 300000);
  if (finished) {
    Paint(pMain);
    figures.walkMs = (pPage->WalkEndNs() - selectNs) / 1e6;
    figures.handOverMs = pPage->HandOverMs();
    figures.firstScreenMs = MsSince(spec.fromWalkEnd ? pPage->WalkEndNs() : selectNs);
    sampleResident();
  }

  // To the end and back.
  g_ui.phase = kScrolling;
  const LONG extent = view.pScroll->ContentExtent().y;
  figures.stepPx = std::max<LONG>(kScrollStep, extent / kMaxStepsEachWay + 1);
  auto showScreen = [&](LONG y) {
    POINT position{0, y};
    view.pScroll->SetScrollPos(&position);
    const int64_t screenStart = bench::NowNs();
    finished = finished && RunUntil([&] { return ViewComplete(view); }, 120000);
    figures.slowestScreenMs = std::max(figures.slowestScreenMs, MsSince(screenStart));
    g_ui.SampleTextures();
    sampleResident();
    ++figures.screens;
  };
  const int64_t scrollStart = bench::NowNs();
  LONG y = 0;
  for (; finished && y < extent; y += figures.stepPx) showScreen(y);
  for (; finished && y >= 0; y -= figures.stepPx) showScreen(y);
  figures.scrollS = MsSince(scrollStart) / 1000;

  // Arrivals at 200 a second onto a new, newest day, the first screen in view.
  g_ui.phase = kArrivals;
  POINT top{0, 0};
  view.pScroll->SetScrollPos(&top);
  if (finished) {
    std::atomic<bool> producing{true};
    std::thread producer([&] {
      const int64_t runStart = bench::NowNs();
      for (int i = 0; i < spec.arrivals; ++i) {
        bench::WaitForTurn(runStart, static_cast<size_t>(i), 200);
        const std::string path = camera + "/NEW_" + std::to_string(i) + ".jpg";
        std::filesystem::copy_file(sources[i % sources.size()], path);
        photo_test::SetLocalTime(path, 2024, 7, 1, 9, 0, 0);
        auto* pArrival = new Arrival{test_files::WindowsFromPosix(path), bench::NowNs()};
        PostMessageW(m_probe, kArrivalMessage, 0, reinterpret_cast<LPARAM>(pArrival));
      }
      producing = false;
    });
    finished = RunUntil([&] {
      return !producing && g_ui.arrivalLags.size() == static_cast<size_t>(spec.arrivals);
    }, 120000);
    producer.join();
  }
  sampleResident();
  g_ui.recordProbe = false;

  figures.finished = finished;
  figures.probe = bench::Percentiles(&g_ui.probeLags);
  for (int phase = 0; phase < kPhases; ++phase) {
    figures.phaseMaxMs[phase] = g_ui.phaseMaxNs[phase] / 1e6;
  }
  figures.cpuMaxMs = g_ui.cpuMaxNs / 1e6;
  figures.arrivals = bench::Percentiles(&g_ui.arrivalLags);
  figures.peakTextures = g_ui.peakTextures;
  figures.peakDecodeBytes = pPage->PeakDecodeBytesForTesting();
  figures.residentGrowthMb = (static_cast<double>(residentPeak) - residentBefore) / kMb;

  g_ui.pPage = nullptr;
  pPage.reset();
  pMain->Close();
  pMain->Release();
  RunUntil([&] { return scanner.ThreadCountForTesting() == 0; }, 60000);
  CachedOrbalynDB::Clear();
  RemoveArrivals(spec.arrivals);
  return figures;
}

void CBench::RemoveArrivals(int count) {
  std::error_code ignored;
  for (int i = 0; i < count; ++i) {
    std::filesystem::remove(m_root + "/backup/Bench/Camera/NEW_" + std::to_string(i) + ".jpg",
                            ignored);
  }
}

void PrintFigures(const char* pMode, const Figures& f, int arrivals) {
  std::printf("  %-9s walk %.1f ms, hand-over %.1f ms, first screen %.1f ms; %d screens %ld px"
              " apart in %.1f s (slowest %.1f ms); UI lag p99 %.1f / max %.1f ms (max in first"
              " screen %.1f, scrolling %.1f, arrivals %.1f; its own CPU between probes %.1f at most); %d arrivals lag p50 %.2f / p99 %.2f /"
              " max %.2f ms; thumbnails %.1f MB at most; decodes held %.1f MB at most; VmRSS"
              " +%.1f MB\n",
              pMode, f.walkMs, f.handOverMs, f.firstScreenMs, f.screens,
              static_cast<long>(f.stepPx), f.scrollS, f.slowestScreenMs, f.probe.p99Ms,
              f.probe.maxMs, f.phaseMaxMs[kFirstScreen], f.phaseMaxMs[kScrolling],
              f.phaseMaxMs[kArrivals], f.cpuMaxMs, arrivals, f.arrivals.p50Ms, f.arrivals.p99Ms,
              f.arrivals.maxMs, f.peakTextures / kMb, f.peakDecodeBytes / kMb,
              f.residentGrowthMb);
  std::fflush(stdout);
}

// One line: the decoder's figures against the UI thread's, the decoder's measured against the
// targets.
std::string Summary(const RunSpec& spec, const Figures& d, const Figures& u) {
  std::string missed;
  auto check = [&missed](bool met, const char* pWhat) {
    if (!met) missed += missed.empty() ? pWhat : std::string(", ") + pWhat;
  };
  check(d.firstScreenMs <= 500, "first screen");
  check(d.probe.maxMs < 50, "UI lag");
  check(d.arrivals.p99Ms < 100, "arrivals");
  check(d.peakTextures <= CImageShowPageAdapter::kTextureBudgetBytes, "thumbnail budget");
  check(d.peakDecodeBytes <= CThumbDecoder::kInFlightBudgetBytes, "decode budget");
  // Resident growth is bounded up to 10,000 photos and only quoted beyond.
  const bool boundedRss = spec.count <= 10000;
  if (boundedRss) check(d.residentGrowthMb < 128, "VmRSS");
  char line[640];
  std::snprintf(line, sizeof(line),
                "%-8s %s%s, decoder vs UI thread: first screen %.0f vs %.0f ms [<= 500];"
                " UI lag max %.1f vs %.1f ms [< 50] (CPU %.1f vs %.1f); arrivals p99 %.1f vs %.1f ms [< 100];"
                " thumbnails %.1f vs %.1f MB [<= %.0f]; decodes held %.1f MB [<= %.0f];"
                " VmRSS +%.0f vs +%.0f MB%s: %s%s",
                spec.name.c_str(), spec.title.c_str(), spec.fromWalkEnd ? " (first screen from the walk's end)" : "",
                d.firstScreenMs, u.firstScreenMs, d.probe.maxMs, u.probe.maxMs, d.cpuMaxMs, u.cpuMaxMs, d.arrivals.p99Ms,
                u.arrivals.p99Ms, d.peakTextures / kMb, u.peakTextures / kMb,
                CImageShowPageAdapter::kTextureBudgetBytes / kMb, d.peakDecodeBytes / kMb,
                CThumbDecoder::kInFlightBudgetBytes / kMb, d.residentGrowthMb,
                u.residentGrowthMb, boundedRss ? " [< 128]" : "", missed.empty() ? "met" : "NOT met: ",
                missed.c_str());
  return line;
}

int Usage(const char* pProgram) {
  std::fprintf(stderr,
               "usage: %s [--short | --full | --run NAME]... [--arrivals A]"
               " [--count N --days D [--large K:WxH]]\n  runs:",
               pProgram);
  for (const RunSpec& run : kRuns) std::fprintf(stderr, " %s", run.name.c_str());
  std::fputc('\n', stderr);
  return 2;
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
  std::vector<RunSpec> runs;
  RunSpec custom{"custom", "", 0, 1, 0, 0, 0, 2000, false};
  int arrivals = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--short") {
      runs.push_back(kRuns[0]);
    } else if (option == "--full") {
      runs.insert(runs.end(), std::begin(kRuns), std::end(kRuns));
    } else if (option == "--run" && i + 1 < argc) {
      const std::string name = argv[++i];
      auto found = std::find_if(std::begin(kRuns), std::end(kRuns),
                                [&name](const RunSpec& run) { return run.name == name; });
      if (found == std::end(kRuns)) return Usage(argv[0]);
      runs.push_back(*found);
    } else if (option == "--arrivals" && i + 1 < argc) {
      arrivals = std::atoi(argv[++i]);
      if (arrivals <= 0) return Usage(argv[0]);
    } else if (option == "--count" && i + 1 < argc) {
      custom.count = std::atoi(argv[++i]);
    } else if (option == "--days" && i + 1 < argc) {
      custom.days = std::atoi(argv[++i]);
    } else if (option == "--large" && i + 1 < argc) {
      if (std::sscanf(argv[++i], "%d:%dx%d", &custom.large, &custom.largeWidth,
                      &custom.largeHeight) != 3) {
        return Usage(argv[0]);
      }
    } else {
      return Usage(argv[0]);
    }
  }
  if (custom.count > 0) {
    if (custom.days <= 0 || custom.days > custom.count || custom.large < 0) return Usage(argv[0]);
    custom.title = std::to_string(custom.count) + " photos" +
                   (custom.large ? ", the newest " + std::to_string(custom.large) + " at " +
                                       std::to_string(custom.largeWidth) + "x" +
                                       std::to_string(custom.largeHeight)
                                 : "");
    runs.push_back(custom);
  }
  if (runs.empty()) runs.push_back(kRuns[1]);
  if (arrivals > 0) {
    for (RunSpec& run : runs) run.arrivals = arrivals;
  }
  photo_test::PinTimeZone();

  // A sandbox on tmpfs.
  std::string pattern = TmpfsFolder() + "/bench-photo-page-XXXXXX";
  if (!mkdtemp(pattern.data())) return Fail("no sandbox");
  const std::string root = pattern;
  setenv("LUMIDOCK_ROOT", root.c_str(), 1);
  std::printf("%s, %s on %s, %u decoder threads, load average %s\n", kViewName, root.c_str(),
              TmpfsFolder().c_str(), CThumbDecoder::ThreadCountFor(std::thread::hardware_concurrency()),
              LoadAverage().c_str());
  CPictures pictures(root + "/pictures");
  if (!pictures.MakeSmall()) return Fail("cannot write the pictures");

  // The platform core, the view and the bound phone.
  IKwCore* pCore = test_common::StartPlatform(root, LUMIDOCK_BIN_DIR);
  if (!pCore) return 1;
#ifndef PHOTO_BENCH_GTK
  KwTimer::SetHost(&g_clock);
#endif
  photo_test::CFakeRoot orbalyn;
  orbalyn.m_store.m_workDir = test_files::WindowsFromPosix(root + "/backup");
  orbalyn.m_store.m_bound.push_back(photo_test::FakePhone{kPhoneId, u"Bench", 0});
  SetOrbalynRootForTesting(&orbalyn);

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

  CBench bench(root, probe);
  std::vector<std::string> summaries;
  bool finished = true;
  for (const RunSpec& spec : runs) {
    const int64_t makeStart = bench::NowNs();
    if (!MakeCameraFolder(root + "/backup/Bench/Camera", spec, &pictures)) {
      finished = false;
      std::fprintf(stderr, "bench-photo-page: cannot make the folder of %s\n", spec.name.c_str());
      break;
    }
    std::string sizes = std::to_string(std::filesystem::file_size(pictures.Small()[0]) / 1024) +
                        " KB";
    if (spec.large > 0) {
      sizes += ", the large " +
               std::to_string(std::filesystem::file_size(
                                  pictures.Large(spec.largeWidth, spec.largeHeight)) >> 20) +
               " MB";
    }
    std::printf("%s: %s over %d days (a small JPEG %s), made in %.1f s; load average %s\n",
                spec.name.c_str(), spec.title.c_str(), spec.days, sizes.c_str(),
                MsSince(makeStart) / 1000, LoadAverage().c_str());
    std::fflush(stdout);
    const Figures decoder = bench.RunPage(spec, false, pictures.Small());
    PrintFigures("decoder:", decoder, spec.arrivals);
    const Figures uiThread = bench.RunPage(spec, true, pictures.Small());
    PrintFigures("UI thread:", uiThread, spec.arrivals);
    if (!decoder.finished || !uiThread.finished) {
      finished = false;
      std::fprintf(stderr, "bench-photo-page: %s did not complete a screen in time\n",
                   spec.name.c_str());
      break;
    }
    summaries.push_back(Summary(spec, decoder, uiThread));
    std::printf("%s\n", summaries.back().c_str());
  }
  if (summaries.size() > 1) {
    std::printf("\nsummary (%s, load average %s):\n", kViewName, LoadAverage().c_str());
    for (const std::string& line : summaries) std::printf("%s\n", line.c_str());
  }

  probing = false;
  prober.join();
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
  return finished ? 0 : 1;
}
