// Thumbnails decoded away from the UI thread: the decoder's threads live as long as the page;
// results for a phone switched away from or unbound are dropped while the phone shown gets its
// own, every texture accounted for; the decodes running at once stay within the memory budget
// yet overlap when they fit; an urgent request overtakes the backlog.

#include <gtest/gtest.h>
#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "../common/SandboxTest.h"
#include "PageTestSupport.h"
#include "Pictor/PictureFile.h"
#include "ThumbDecoder.h"

using namespace photo_test;

namespace {

constexpr uint64_t kThumbBytes = 120 * 120 * 4;

// A large PNG of one colour: slow to decode (the whole picture is inflated and scaled down),
// quick to write.
bool WriteLarge(const std::string& path, int side, uint32_t rgb) {
  GdkPixbuf* pPixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, side, side);
  if (!pPixbuf) return false;
  gdk_pixbuf_fill(pPixbuf, rgb << 8 | 0xFF);
  GError* pError = nullptr;
  const bool saved =
      gdk_pixbuf_save(pPixbuf, path.c_str(), "png", &pError, "compression", "1", nullptr);
  g_clear_error(&pError);
  g_object_unref(pPixbuf);
  return saved;
}

// The process's threads, by id.
std::set<pid_t> Threads() {
  std::set<pid_t> threads;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    threads.insert(static_cast<pid_t>(std::stoi(entry.path().filename().string())));
  }
  return threads;
}

// Whether the thread sleeps (waits for work or a lock) rather than runs.
bool Asleep(pid_t thread) {
  std::ifstream in("/proc/self/task/" + std::to_string(thread) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t end = stat.rfind(") ");
  return end == std::string::npos || stat[end + 2] == 'S';
}

// Runs the UI thread until the decoder's threads have slept through five looks a few ms apart:
// every decode taken has ended and the message it posted was dispatched.
bool RunUntilDecodersIdle(const std::set<pid_t>& decoders) {
  int quiet = 0;
  return PumpUntil(
      [&] {
        quiet = std::all_of(decoders.begin(), decoders.end(), Asleep) ? quiet + 1 : 0;
        if (quiet < 5) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return quiet >= 5;
      },
      30000);
}

class ThumbDecoderPageTest : public CPageTest {
 protected:
  // A hard link to `source` as a photo of the phone: a distinct photo, nothing written.
  std::string LinkedPhoto(const std::string& source, const std::string& phone,
                          const std::string& relative) {
    const std::string path = Folder(phone) + "/" + relative;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::filesystem::create_hard_link(source, path);
    return path;
  }
  std::vector<lq::CElement*> Tiles(lq::CElement* pContainer) {
    std::vector<lq::CElement*> tiles;
    for (const GroupView& group : Groups(pContainer)) {
      tiles.insert(tiles.end(), group.tiles.begin(), group.tiles.end());
    }
    return tiles;
  }
  bool AllLook(lq::CElement* pContainer, const std::string& look) {
    std::vector<lq::CElement*> tiles = Tiles(pContainer);
    return !tiles.empty() && std::all_of(tiles.begin(), tiles.end(),
                                         [&](lq::CElement* pTile) { return Look(pTile) == look; });
  }
  // Runs the tile maker until every tile is made and those of the container shown have their
  // thumbnails.
  bool UntilAllThumbnails() {
    for (int tick = 0; tick < 400; ++tick) {
      if (m_pPage->PendingCountForTesting() == 0 && AllLook(Shown(), "thumbnail")) return true;
      Advance(15);
    }
    return false;
  }
};

TEST_F(ThumbDecoderPageTest, DecodesOfPhonesSwitchedAwayOrUnboundAreDropped) {
  // A page of the test's own, so that its decoder's threads can be told apart.
  ASSERT_TRUE(PumpUntil([] { return CFolderScanner::Instance().ThreadCountForTesting() == 0; }));
  m_pPage.reset();
  const std::set<pid_t> before = Threads();
  NewPage();
  std::set<pid_t> decoders;
  for (pid_t thread : Threads()) {
    if (!before.count(thread)) decoders.insert(thread);
  }
  // One a processor, four at most.
  EXPECT_EQ(decoders.size(), std::clamp(std::thread::hardware_concurrency(), 1u, 4u));

  const std::string large = Root() + "/large.png";
  ASSERT_TRUE(WriteLarge(large, 2048, 0x336699));
  ASSERT_TRUE(SetLocalTime(large, 2024, 9, 1, 8, 0, 0));
  Bind(1, u"Ostra");
  Bind(2, u"Marlo");
  for (int i = 0; i < 4; ++i) LinkedPhoto(large, "Ostra", "cam/o" + std::to_string(i) + ".png");
  Photo("Marlo", "cam/m0.png", 2024, 9, 2, 8, 0);
  Photo("Marlo", "cam/m1.png", 2024, 9, 2, 8, 1);
  m_pPage->RefreshPhoneList(0, 0);
  ASSERT_TRUE(WaitForScan());
  // The tiles are made and their thumbnails asked for; no result is taken back meanwhile.
  for (int tick = 0; tick < 200 && m_pPage->PendingCountForTesting() > 0; ++tick) {
    m_clock.Advance(15);
  }
  lq::CElement* pOstra = Shown();
  ASSERT_EQ(Tiles(pOstra).size(), 4u);
  EXPECT_GT(m_pPage->DecodesInFlight(), 0u);

  // Switched to Marlo: Ostra's decodes are forgotten at once and their results, when back,
  // make no texture; Marlo's tiles get theirs.
  m_pPage->RefreshPhoneList(1, 2);
  EXPECT_EQ(m_pPage->DecodesInFlight(), 0u);
  EXPECT_EQ(CImageShowPageAdapter::AllDecodesInFlight(), 0u);
  ASSERT_TRUE(WaitForScan());
  lq::CElement* pMarlo = Shown();
  ASSERT_NE(pMarlo, pOstra);
  ASSERT_TRUE(UntilAllThumbnails());
  ASSERT_TRUE(RunUntilDecodersIdle(decoders));
  EXPECT_TRUE(AllLook(pOstra, "none"));
  EXPECT_EQ(Tiles(pMarlo).size(), 2u);
  EXPECT_EQ(Pictor::LiveTextureCount(), m_textures + 2);
  EXPECT_EQ(m_pPage->TextureBytesForTesting(), 2 * kThumbBytes);

  // Large arrivals are asked for at once; Marlo unbinds itself before any comes back.
  for (int i = 0; i < 3; ++i) {
    const std::string path = LinkedPhoto(large, "Marlo", "cam/late" + std::to_string(i) + ".png");
    m_pPage->AddPhoto(2, Windows(path).c_str());
  }
  EXPECT_EQ(m_pPage->DecodesInFlight(), 3u);
  m_root.m_store.Unbind(2);
  m_pPage->OnUnbindNotice(2, 0);
  EXPECT_EQ(m_pPage->DecodesInFlight(), 0u);
  EXPECT_EQ(CImageShowPageAdapter::AllDecodesInFlight(), 0u);
  EXPECT_EQ(Pictor::LiveTextureCount(), m_textures);
  EXPECT_EQ(m_pPage->TextureBytesForTesting(), 0u);
  // Ostra, shown again, asks again for what it lost.
  EXPECT_EQ(Text(u"phonename"), u"Ostra");
  EXPECT_EQ(Shown(), pOstra);
  ASSERT_TRUE(UntilAllThumbnails());
  ASSERT_TRUE(RunUntilDecodersIdle(decoders));
  EXPECT_EQ(m_pPage->DecodesInFlight(), 0u);
  EXPECT_EQ(Pictor::LiveTextureCount(), m_textures + 4);
  EXPECT_EQ(m_pPage->TextureBytesForTesting(), 4 * kThumbBytes);
  m_pPage->ClosePopups();
  Advance(1);

  // The page's end joins its decoder's threads (the window's tiles hold their textures until
  // the window goes, where the fixture counts them).
  m_pPage.reset();
  EXPECT_TRUE(PumpUntil([&] {
    const std::set<pid_t> now = Threads();
    return std::none_of(decoders.begin(), decoders.end(),
                        [&](pid_t thread) { return now.count(thread) > 0; });
  }));
}

// The decoder alone, on pictures the library reckons at 65 MiB a decode: two fit the budget
// at once, three do not.
class ThumbDecoderTest : public test_common::SandboxTest {
 protected:
  static constexpr uint32_t kLargeColour = 0x2288CC;
  static constexpr uint32_t kSmallColour = 0xCC4411;

  ThumbDecoderTest() : SandboxTest("decoder-test") {}
  static void SetUpTestSuite() {
    s_folder = test_files::MakeTempFolder("decoder-pictures");
    ASSERT_TRUE(WriteLarge(s_folder + "/large.png", 4096, kLargeColour));
    ASSERT_TRUE(WriteSolid(s_folder + "/small.png", kSmallColour));
  }
  static void TearDownTestSuite() {
    std::error_code ignored;
    std::filesystem::remove_all(s_folder, ignored);
  }
  void SetUp() override {
    SandboxTest::SetUp();
    m_pDecoder = std::make_unique<CThumbDecoder>(Picture("small.png"), [this] {
      for (CThumbDecoder::Result& result : m_pDecoder->TakeResults()) {
        m_results.push_back(std::move(result));
      }
    });
  }
  void TearDown() override {
    m_pDecoder.reset();
    SandboxTest::TearDown();
  }

  static std::u16string Picture(const std::string& name) {
    return test_files::WindowsFromPosix(s_folder + "/" + name);
  }
  static uint32_t Centre(const Pictor::PixelBuffer& pixels) {
    if (pixels.width != 120 || pixels.height != 120 || pixels.pixels.size() != 120u * 120) {
      return 0;
    }
    return pixels.pixels[60 * 120 + 60];
  }

  static inline std::string s_folder;
  std::unique_ptr<CThumbDecoder> m_pDecoder;
  std::vector<CThumbDecoder::Result> m_results;  // in the order they came back
};

TEST_F(ThumbDecoderTest, DecodesOverlapWithinTheBudgetAndAllComeBack) {
  if (m_pDecoder->ThreadCount() < 2) GTEST_SKIP() << "one decoder thread on one processor";
  std::unique_ptr<Pictor::CPictureFile> pFile = Pictor::CPictureFile::Open(Picture("large.png"));
  ASSERT_NE(pFile, nullptr);
  const uint64_t one = pFile->DecodeBytes(120, 120) + kThumbBytes;
  ASSERT_LE(2 * one, CThumbDecoder::kInFlightBudgetBytes);
  ASSERT_GT(3 * one, CThumbDecoder::kInFlightBudgetBytes);

  for (uint64_t ticket = 1; ticket <= 4; ++ticket) {
    m_pDecoder->Request(ticket, 1, Picture("large.png"), 120, 120, false);
  }
  ASSERT_TRUE(PumpUntil([this] { return m_results.size() == 4; }, 60000));
  std::set<uint64_t> tickets;
  for (const CThumbDecoder::Result& result : m_results) {
    tickets.insert(result.ticket);
    EXPECT_EQ(Centre(result.pixels), 0xFF000000u | kLargeColour) << result.ticket;
  }
  EXPECT_EQ(tickets, (std::set<uint64_t>{1, 2, 3, 4}));
  EXPECT_EQ(m_pDecoder->InFlightCount(), 0u);
  EXPECT_LE(m_pDecoder->PeakBytesForTesting(), CThumbDecoder::kInFlightBudgetBytes);
  EXPECT_GE(m_pDecoder->PeakBytesForTesting(), 2 * one);
}

// Whatever the threads hold already ends first; the urgent request is the next one taken.
TEST_F(ThumbDecoderTest, UrgentRequestOvertakesTheBacklog) {
  for (uint64_t ticket = 1; ticket <= 8; ++ticket) {
    m_pDecoder->Request(ticket, 1, Picture("large.png"), 120, 120, false);
  }
  m_pDecoder->Request(100, 2, Picture("small.png"), 120, 120, true);
  auto urgent = [this] {
    return std::find_if(m_results.begin(), m_results.end(),
                        [](const CThumbDecoder::Result& result) { return result.ticket == 100; });
  };
  ASSERT_TRUE(PumpUntil([&] { return urgent() != m_results.end(); }, 60000));
  EXPECT_LE(static_cast<size_t>(urgent() - m_results.begin()), m_pDecoder->ThreadCount());
  EXPECT_EQ(Centre(urgent()->pixels), 0xFF000000u | kSmallColour);
  EXPECT_GT(m_pDecoder->InFlightCount(), 0u);  // the backlog is still being worked through
}

}  // namespace
