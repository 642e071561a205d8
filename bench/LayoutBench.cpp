// The UI framework as the photo page's first screen uses it: read and parse the layout file,
// build MainWnd, make 10,000 "PHOTO" tiles (no picture) in day groups of a container under
// "photoScrollView", each hooked for clicks as the page hooks them, and paint the window once.
// Prints time and heap per tile, against a baseline of the same number of bare allocations of an
// element's size made in the same run. Built twice: on the null view (painted off screen), and
// as bench-layout-gtk on the GTK view (shown on an X server, until its first draw is done).
// Usage: bench-layout[-gtk] [--short]   (--short: 2,000 tiles, for CI)

#include <malloc.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "../tests/common/PlatformBoot.h"
#include "Basalt/Util.h"
#include "CElement.h"
#include "CLqEventListenerHelper.h"
#include "CLqPainter.h"
#include "CSkein.h"
#include "CWindowElement.h"
#include "Lq/Lq.h"
#include "ResourcePath.h"
#include "win32/strings.h"
#include "win32/thread.h"
#ifdef LAYOUT_BENCH_GTK
#include "CGtkView.h"
#include "win32/gui.h"
#endif

using namespace win32;

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

size_t HeapInUse() { return mallinfo2().uordblks; }

// Hooks each tile's "imageborder" like the photo page.
class CTiles {
 public:
  CTiles() : m_listener(this) {}
  HRESULT OnClick(ILqEvent*) { return 0; }
  CLqEventListenerHelper<CTiles> m_listener;
};

lq::CElement* Find(ILqElement* pRoot, const char16_t* pId) {
  return lq::CElement::FromInterface(pRoot)->FindById(pId);
}

}  // namespace

#ifdef LAYOUT_BENCH_GTK
constexpr char kViewName[] = "GTK view";

// The window's first draw after it is shown: when it began and ended.
struct DrawTimes {
  Clock::time_point began;
  Clock::time_point ended;
  bool done = false;
};

gboolean OnDrawBegins(GtkWidget*, cairo_t*, gpointer data) {
  static_cast<DrawTimes*>(data)->began = Clock::now();
  return FALSE;
}

gboolean OnDrawEnds(GtkWidget*, cairo_t*, gpointer data) {
  auto* pTimes = static_cast<DrawTimes*>(data);
  pTimes->ended = Clock::now();
  pTimes->done = true;
  return FALSE;
}
#else
constexpr char kViewName[] = "null view";
#endif

int main(int argc, char** argv) {
#ifdef LAYOUT_BENCH_GTK
  if (!InitializeGui(&argc, &argv)) {
    std::fputs("bench-layout-gtk: no X display\n", stderr);
    return 77;
  }
  lq::CGtkView::Install();
#endif
  const int tiles = argc > 1 && std::strcmp(argv[1], "--short") == 0 ? 2000 : 10000;
  std::string root = std::filesystem::temp_directory_path() / "bench-layout-XXXXXX";
  if (!mkdtemp(root.data())) return 1;
  setenv("LUMIDOCK_ROOT", root.c_str(), 1);
  IKwCore* pCore = test_common::StartPlatform(root, LUMIDOCK_BIN_DIR);
  if (!pCore) return 1;

  // Baseline: bare allocations of three elements' size per tile, written to once.
  const size_t elementBytes = sizeof(lq::CElement);
  auto start = Clock::now();
  std::vector<std::unique_ptr<char[]>> blocks;
  blocks.reserve(static_cast<size_t>(tiles) * 3);
  for (int i = 0; i < tiles * 3; ++i) {
    blocks.emplace_back(new char[elementBytes]);
    std::memset(blocks.back().get(), 0, elementBytes);
  }
  double baselineMs = MsSince(start);
  blocks.clear();

  std::string text;
  lq::ReadWholeFile(lq::CoreLayoutFolder() + u"Harborlight.xml", &text);
  const int parses = 50;
  start = Clock::now();
  for (int i = 0; i < parses; ++i) {
    std::string error;
    if (!lq::CSkein::Parse(u"Harborlight.xml", text, &error)) {
      std::fprintf(stderr, "bench-layout: %s\n", error.c_str());
      return 1;
    }
  }
  double parseMs = MsSince(start) / parses;

  start = Clock::now();
  ILqElement* pMain = nullptr;
  if (FAILED(Util::Lq::RawCreateLqElementBySkein(u"platformskein:Harborlight.xml|MainWnd", &pMain,
                                                 nullptr, nullptr, 0))) {
    std::fputs("bench-layout: MainWnd cannot be built\n", stderr);
    return 1;
  }
  double buildMs = MsSince(start);
  Find(pMain, u"InitPage")->Show(0);
  Find(pMain, u"ImageShowFrame")->Show(5);
  pMain->Show(5);
  lq::CElement* pScroll = Find(pMain, u"photoScrollView");

  CTiles hooks;
  size_t heapBefore = HeapInUse();
  start = Clock::now();
  ILqElement* pContainer = nullptr;
  Util::Lq::CreateObject(CLSID_LqContainer, CLSID_LqContainer, reinterpret_cast<void**>(&pContainer));
  pScroll->AddChild(pContainer);
  // Day groups of 60 tiles, six to a row, as the grid lays them.
  const int perDay = 60;
  LONG total = 0;
  ILqElement* pGroup = nullptr;
  for (int i = 0; i < tiles; ++i) {
    int inDay = i % perDay;
    if (inDay == 0) {
      if (pGroup) pGroup->Release();
      Util::Lq::CreateObject(CLSID_LqContainer, CLSID_LqContainer, reinterpret_cast<void**>(&pGroup));
      LONG height = 30 + 122 * ((std::min(perDay, tiles - i) + 5) / 6);
      RECT rect{0, total, 740, total + height};
      pGroup->SetRect(&rect);
      total += height;
      pContainer->AddChild(pGroup);
    }
    ILqElement* pTile = nullptr;
    Util::Lq::RawCreateLqElementBySkein(u"platformskein:Harborlight.xml|PHOTO", &pTile, pGroup,
                                        nullptr, 0);
    RECT rect{122 * (inDay % 6), 30 + 122 * (inDay / 6), 0, 0};
    rect.right = rect.left + 120;
    rect.bottom = rect.top + 120;
    pTile->SetRect(&rect);
    lq::CElement* pBorder = Find(pTile, u"imageborder");
    pBorder->SetCursor(u"hand");
    pBorder->SetName(u"C:\\Users\\me\\Lumidock\\Phone\\IMG_20240101_120000.jpg");
    hooks.m_listener.AddListener(pBorder, LqEvent::kClick, &CTiles::OnClick);
    pTile->Release();
  }
  if (pGroup) pGroup->Release();
  RECT containerRect{0, 0, 740, total};
  pContainer->SetRect(&containerRect);
  double tilesMs = MsSince(start);
  size_t heapAfter = HeapInUse();

#ifdef LAYOUT_BENCH_GTK
  // Shown above; the window maps, places its widgets and draws once in the next iterations.
  HWND hwnd = nullptr;
  pMain->GetWindowHandle(&hwnd);
  GtkWindow* pGtk = ToplevelWindow(hwnd);
  DrawTimes draw;
  g_signal_connect(pGtk, "draw", G_CALLBACK(OnDrawBegins), &draw);
  g_signal_connect_after(pGtk, "draw", G_CALLBACK(OnDrawEnds), &draw);
  start = Clock::now();
  while (!draw.done) g_main_context_iteration(nullptr, TRUE);
  double paintMs = MsSince(start);
  double drawMs = std::chrono::duration<double, std::milli>(draw.ended - draw.began).count();
  g_signal_handlers_disconnect_by_data(pGtk, &draw);
#else
  start = Clock::now();
  cairo_surface_t* pSurface = lq::CLqPainter::Render(lq::CElement::FromInterface(pMain));
  double paintMs = MsSince(start);
  cairo_surface_destroy(pSurface);
#endif

  double perTileUs = tilesMs * 1000 / tiles;
  double baselineUs = baselineMs * 1000 / tiles;
  double perTileBytes = static_cast<double>(heapAfter - heapBefore) / tiles;
  std::printf("bench-layout (%s, %d tiles, %zu-byte element)\n", kViewName, tiles, elementBytes);
  std::printf("  parse Harborlight.xml        %8.3f ms\n", parseMs);
  std::printf("  build MainWnd                %8.3f ms\n", buildMs);
  std::printf("  make + place + hook a tile   %8.2f us  (baseline 3 bare allocations: %.3f us,"
              " ratio %.0f)\n",
              perTileUs, baselineUs, baselineUs > 0 ? perTileUs / baselineUs : 0);
  std::printf("  heap per tile                %8.0f bytes (3 elements, ids, name, hook)\n",
              perTileBytes);
#ifdef LAYOUT_BENCH_GTK
  std::printf("  show to first draw done      %8.3f ms (the draw itself %.3f ms)\n", paintMs,
              drawMs);
#else
  std::printf("  paint the window once        %8.3f ms\n", paintMs);
#endif
  std::printf("  first screen (build + tiles + paint) %.1f ms\n", buildMs + tilesMs + paintMs);
  bool met = perTileUs < 20 && perTileBytes < 2048;
  std::printf("  target: under 20 us and 2 KB per tile: %s\n", met ? "met" : "missed");

  pContainer->Release();
  pMain->Close();
  pMain->Release();
  pCore->Shutdown();
  pCore->Release();
  lq::CLqPainter::ReleaseCachesAtExit();
  std::filesystem::remove_all(root);
  return 0;
}
