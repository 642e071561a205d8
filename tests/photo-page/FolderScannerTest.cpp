// The folder scanner on real folders, with TZ pinned: which files a walk takes and how deep it
// goes, local days and times newest first with equal times in the order the folder lists them,
// records and arrivals, linked folders, folders that cannot be read, paths past 260 characters,
// a re-keyed phone, a cleared sink, and walks stopped and joined when the process ends. The page
// walks each phone's folder as the upload assistant names it, and nothing without one.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "../common/ChildCase.h"
#include "../ui/UiTestSupport.h"
#include "FolderScanner.h"
#include "ImageShowPageAdapter.h"
#include "PageTestSupport.h"
#include "PhotoTestSupport.h"
#include "win32/file.h"

using namespace win32;
using namespace photo_test;

namespace {

// A page that records the scans it hears about.
class CRecordingPage final : public CImageShowPageAdapter {
 public:
  explicit CRecordingPage(std::vector<int64_t>* pHeard) : m_pHeard(pHeard) {}
  void OnScanDone(int64_t id) override { m_pHeard->push_back(id); }

 private:
  std::vector<int64_t>* m_pHeard;
};

class FolderScannerTest : public ui_test::CUiTest {
 protected:
  void SetUp() override {
    PinTimeZone();
    CUiTest::SetUp();
    Scanner().ForgetRecordsForTesting();
    m_pPage = std::make_unique<CRecordingPage>(&m_heard);
  }
  void TearDown() override {
    m_pPage.reset();
    EXPECT_TRUE(PumpUntil([] { return Scanner().ThreadCountForTesting() == 0; }));
    CUiTest::TearDown();
  }

  static CFolderScanner& Scanner() { return CFolderScanner::Instance(); }
  std::string Phone() { return Root() + "/phone"; }
  std::string File(const std::string& relative) {
    std::string path = Phone() + "/" + relative;
    test_files::WriteWholeFile(path, "x");
    return path;
  }
  std::u16string Windows(const std::string& path) { return test_files::WindowsFromPosix(path); }

  // Scans `folder` for `id` and waits for the sink to hear it; the record, or null.
  ScanDevice* Scan(int64_t id, const std::string& folder, int timeoutMs = 10000) {
    size_t before = m_heard.size();
    Scanner().StartScan(id, Windows(folder));
    if (!PumpUntil([&] { return m_heard.size() > before; }, timeoutMs)) return nullptr;
    EXPECT_EQ(m_heard.back(), id);
    ScanDevice* pRecord = nullptr;
    return Scanner().FindDevice(id, &pRecord) == CFolderScanner::kComplete ? pRecord : nullptr;
  }

  // "day: name@ms ..." per day, newest first, names relative to the phone's folder.
  std::vector<std::string> Describe(const ScanDevice* pRecord) {
    std::vector<std::string> lines;
    const std::u16string root = Windows(Phone()) + u"\\";
    for (const ScanMonth& month : pRecord->months) {
      for (const ScanDay& day : month.days) {
        EXPECT_EQ(day.dayKey / 100, month.monthKey);
        std::string line = std::to_string(day.dayKey) + ":";
        for (const ScanPhoto& photo : day.photos) {
          std::u16string name = photo.path.substr(0, root.size()) == root
                                    ? photo.path.substr(root.size())
                                    : photo.path;
          line += " " + Utf16ToUtf8(name) + "@" + std::to_string(photo.time);
        }
        lines.push_back(line);
      }
    }
    return lines;
  }

  std::vector<int64_t> m_heard;
  std::unique_ptr<CRecordingPage> m_pPage;
};

// Files are taken by the last three letters of their names in any case, in the phone folder's
// sub-folders down to four levels below them, filed by local day (a photo at 00:30 in Shanghai
// is on that day, not on UTC's), newest first; files of the same millisecond keep the order the
// folder lists them in.
TEST_F(FolderScannerTest, TakesPhotosByNameAndDepthFiledByLocalDay) {
  ASSERT_TRUE(SetLocalTime(File("loose.jpg"), 2014, 5, 2, 8, 0, 0));  // in the root: not a photo
  ASSERT_TRUE(SetLocalTime(File("2014/x.JPG"), 2014, 5, 2, 10, 0, 0, 250));
  ASSERT_TRUE(SetLocalTime(File("2014/clip.MP4"), 2014, 5, 2, 9, 0, 0));
  ASSERT_TRUE(SetLocalTime(File("2014/p.jpeg"), 2014, 5, 1, 23, 59, 59));
  ASSERT_TRUE(SetLocalTime(File("2014/movie.rm"), 2014, 5, 1, 1, 0, 0));
  File("2014/scan.tiff");
  File("2014/ab");
  File("2014/notes.txt");
  ASSERT_TRUE(SetLocalTime(File("2014/a/b/c/d/deep.jpg"), 2014, 4, 30, 12, 0, 0));
  File("2014/a/b/c/d/e/deeper.jpg");
  ASSERT_TRUE(SetLocalTime(File("2015/m.png"), 2015, 1, 1, 0, 30, 0));
  for (const char* pName : {"s1.jpg", "s2.jpg", "s3.jpg", "s4.jpg"}) {
    ASSERT_TRUE(SetLocalTime(File(std::string("2015/") + pName), 2015, 1, 1, 12, 0, 0));
  }
  // The order the folder lists the same-time files in, as the walk meets them.
  std::string sameTime;
  WIN32_FIND_DATAW data;
  HANDLE hFind = FindFirstFileW((Windows(Phone()) + u"\\2015\\*.*").c_str(), &data);
  ASSERT_NE(hFind, INVALID_HANDLE_VALUE);
  do {
    std::string name = Utf16ToUtf8(data.cFileName);
    if (name.size() == 6 && name[0] == 's') sameTime += " 2015\\" + name + "@43200000";
  } while (FindNextFileW(hFind, &data));
  FindClose(hFind);

  ScanDevice* pRecord = Scan(11, Phone());
  ASSERT_NE(pRecord, nullptr);
  EXPECT_EQ(Describe(pRecord),
            (std::vector<std::string>{
                "20150101:" + sameTime + " 2015\\m.png@1800000",
                "20140502: 2014\\x.JPG@36000250 2014\\clip.MP4@32400000",
                "20140501: 2014\\p.jpeg@86399000 2014\\movie.rm@3600000",
                "20140430: 2014\\a\\b\\c\\d\\deep.jpg@43200000",
            }));
}

// A folder with files but no sub-folders, a missing folder and a sub-folder nobody may read all
// end in a complete record; paths longer than 260 characters are walked like others.
TEST_F(FolderScannerTest, EmptyMissingUnreadableAndLongFolders) {
  File("only-files.jpg");
  ScanDevice* pRecord = Scan(21, Phone());
  ASSERT_NE(pRecord, nullptr);
  EXPECT_TRUE(pRecord->months.empty());
  pRecord = Scan(22, Root() + "/no-such-folder");
  ASSERT_NE(pRecord, nullptr);
  EXPECT_TRUE(pRecord->months.empty());

  std::string deep = "album";
  for (int i = 0; i < 3; ++i) deep += "/" + std::string(100, static_cast<char>('a' + i));
  ASSERT_TRUE(SetLocalTime(File(deep + "/far.jpg"), 2020, 2, 3, 4, 5, 6));
  ASSERT_GT(Windows(Phone() + "/" + deep + "/far.jpg").size(), 260u);
  if (geteuid() != 0) {  // root reads any folder
    File("locked/hidden.jpg");
    ASSERT_EQ(chmod((Phone() + "/locked").c_str(), 0), 0);
  }
  pRecord = Scan(23, Phone());
  if (geteuid() != 0) chmod((Phone() + "/locked").c_str(), 0755);
  ASSERT_NE(pRecord, nullptr);
  std::string expected = "20200203: " + deep + "/far.jpg@14706000";
  std::replace(expected.begin(), expected.end(), '/', '\\');
  EXPECT_EQ(Describe(pRecord), std::vector<std::string>{expected});
}

// Records: none, then the last complete one; arrivals join a day at its front (a missing day is
// made in its place) and nothing before a walk ended; a phone re-keyed while its walk runs is
// reported under its new id, and its records answer to it.
TEST_F(FolderScannerTest, RecordsArrivalsAndReKeyedPhones) {
  ScanDevice* pRecord = nullptr;
  EXPECT_EQ(Scanner().FindDevice(31, &pRecord), CFolderScanner::kNeverScanned);
  Scanner().AddPhoto(31, 20240101, u"\\x\\early.jpg", 0);
  EXPECT_EQ(Scanner().FindDevice(31, &pRecord), CFolderScanner::kNeverScanned);

  ASSERT_TRUE(SetLocalTime(File("cam/a.jpg"), 2024, 3, 10, 8, 0, 0));
  ScanDevice* pFirst = Scan(31, Phone());
  ASSERT_NE(pFirst, nullptr);
  ASSERT_TRUE(SetLocalTime(File("cam/b.jpg"), 2024, 3, 10, 9, 0, 0));
  ScanDevice* pSecond = Scan(31, Phone());
  ASSERT_NE(pSecond, nullptr);
  EXPECT_NE(pSecond, pFirst);
  EXPECT_EQ(Scanner().FindDevice(31, &pRecord), CFolderScanner::kComplete);
  EXPECT_EQ(pRecord, pSecond);

  const std::u16string arrival = Windows(Phone() + "/cam/c.jpg");
  Scanner().AddPhoto(31, 20240310, arrival, 1000);
  Scanner().AddPhoto(31, 20240215, arrival, 2000);
  Scanner().AddPhoto(31, 20240401, arrival, 3000);
  EXPECT_EQ(Describe(pSecond), (std::vector<std::string>{
                                   "20240401: cam\\c.jpg@3000",
                                   "20240310: cam\\c.jpg@1000 cam\\b.jpg@32400000 "
                                   "cam\\a.jpg@28800000",
                                   "20240215: cam\\c.jpg@2000",
                               }));

  // Re-keyed while the walk runs: the walk reports the new id.
  Scanner().StartScan(32, Windows(Phone()));
  Scanner().ChangeDeviceId(33, 32);
  ASSERT_TRUE(PumpUntil([&] { return !m_heard.empty() && m_heard.back() == 33; }));
  EXPECT_EQ(Scanner().FindDevice(32, &pRecord), CFolderScanner::kNeverScanned);
  EXPECT_EQ(Scanner().FindDevice(33, &pRecord), CFolderScanner::kComplete);
  Scanner().ChangeDeviceId(34, 31);
  EXPECT_EQ(Scanner().FindDevice(34, &pRecord), CFolderScanner::kComplete);
  EXPECT_EQ(pRecord, pSecond);
}

// A linked folder is entered like any other, as deep as the bound allows, so a link to its own
// folder ends after four more levels.
TEST_F(FolderScannerTest, LinkedFoldersWithinTheDepthBound) {
  ASSERT_TRUE(SetLocalTime(File("2014/x.jpg"), 2014, 6, 1, 12, 0, 0));
  ASSERT_TRUE(SetLocalTime(File("../elsewhere/y.jpg"), 2014, 6, 2, 12, 0, 0));
  std::filesystem::create_directory_symlink(Phone() + "/2014", Phone() + "/2014/loop");
  std::filesystem::create_directory_symlink(Root() + "/elsewhere", Phone() + "/2014/ext");
  ScanDevice* pRecord = Scan(41, Phone());
  ASSERT_NE(pRecord, nullptr);
  size_t xs = 0;
  size_t ys = 0;
  for (const ScanMonth& month : pRecord->months) {
    for (const ScanDay& day : month.days) {
      for (const ScanPhoto& photo : day.photos) {
        xs += photo.path.ends_with(u"x.jpg");
        ys += photo.path.ends_with(u"y.jpg");
      }
    }
  }
  EXPECT_EQ(xs, 5u);  // 2014, and through the link at four further levels
  EXPECT_EQ(ys, 4u);  // the outside folder, entered from every level but the last
}

// The page's destructor clears the sink: a walk that ends later calls nobody. Walks are tracked
// and joined once they ended.
TEST_F(FolderScannerTest, AClearedSinkHearsNothing) {
  File("2014/x.jpg");
  Scanner().StartScan(51, Windows(Phone()));
  m_pPage.reset();
  ScanDevice* pRecord = nullptr;
  ASSERT_TRUE(PumpUntil([&] {
    return Scanner().FindDevice(51, &pRecord) == CFolderScanner::kComplete &&
           Scanner().ThreadCountForTesting() == 0;
  }));
  PumpUntil([] { return false; }, 50);
  EXPECT_TRUE(m_heard.empty());
}

// A walk still running when the process ends is asked to stop and joined: the process ends
// early and cleanly.
TEST(FolderScannerChildProcess, DISABLED_ExitStopsARunningWalk) {
  const char* pFolder = getenv("SCANNER_TREE");
  ASSERT_NE(pFolder, nullptr);
  CFolderScanner::Instance().StartScan(61, test_files::WindowsFromPosix(pFolder));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

TEST_F(FolderScannerTest, ExitStopsAndJoinsRunningWalks) {
  // Twelve links of a folder to itself: 12^4 folder listings for a whole walk.
  const std::string tree = Root() + "/tree";
  File("../tree/fan/x.jpg");
  for (int i = 0; i < 12; ++i) {
    std::filesystem::create_directory_symlink(tree + "/fan", tree + "/fan/l" + std::to_string(i));
  }
  const auto start = std::chrono::steady_clock::now();
  // The whole walk is the baseline; under a sanitizer at full load it took 11 s.
  ASSERT_NE(Scan(62, tree, 120000), nullptr);
  const auto whole = std::chrono::steady_clock::now() - start;
  const auto childStart = std::chrono::steady_clock::now();
  test_common::ProgramResult result = test_common::RunChildCase(
      "FolderScannerChildProcess.DISABLED_ExitStopsARunningWalk", {"SCANNER_TREE=" + tree});
  const auto child = std::chrono::steady_clock::now() - childStart;
  std::printf("whole walk %lld ms, child process %lld ms\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(whole).count()),
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(child).count()));
  EXPECT_TRUE(result.Passed()) << result.output;
  EXPECT_TRUE(result.ExitedWith(0)) << result.output;
  // The child would need the whole walk (and its start) without the stop.
  EXPECT_LT(child, whole / 4) << "walk "
      << std::chrono::duration_cast<std::chrono::milliseconds>(whole).count() << " ms";
}

// The page has the phone's folder walked, the one the upload assistant writes to: "__" and "_"
// inside the backup folder for phones named ".." and ".", never the backup folder or above it.
// A backup folder that gives no phone folder (empty, relative) starts no walk: the record is
// complete at once, the loading ends and the page shows an empty container.
class PhoneFolderWalkTest : public CPageTest {
 protected:
  std::vector<std::u16string> ShownPaths() {
    MakeAllTiles();
    std::vector<std::u16string> paths;
    for (const GroupView& group : Groups(Shown())) {
      for (lq::CElement* pTile : group.tiles) paths.push_back(PathOf(pTile));
    }
    return paths;
  }
};

TEST_F(PhoneFolderWalkTest, DotNamedPhonesWalkTheirOwnFolderAndNoFolderWalksNothing) {
  Bind(1, u"..");
  Bind(2, u".");
  Bind(3, u"Marlo");
  Bind(4, u"Ostra");
  const std::string upper = Photo("__", "Camera/a.png", 2024, 6, 1, 10, 0);
  const std::string single = Photo("_", "Camera/b.png", 2024, 6, 2, 10, 0);
  Photo("Marlo", "Camera/c.png", 2024, 6, 3, 10, 0);
  m_pPage->RefreshPhoneList(1, 1);
  ASSERT_TRUE(WaitForScan());
  EXPECT_EQ(ShownPaths(), std::vector<std::u16string>{Windows(upper)});
  m_pPage->RefreshPhoneList(1, 2);
  ASSERT_TRUE(WaitForScan());
  EXPECT_EQ(ShownPaths(), std::vector<std::u16string>{Windows(single)});

  ASSERT_TRUE(PumpUntil([] { return CFolderScanner::Instance().ThreadCountForTesting() == 0; }));
  for (const auto& [id, workDir] : {std::pair<int64_t, const char16_t*>{3, u""}, {4, u"backup"}}) {
    m_root.m_store.m_workDir = workDir;
    m_pPage->RefreshPhoneList(1, id);
    ScanDevice* pRecord = nullptr;
    EXPECT_EQ(CFolderScanner::Instance().FindDevice(id, &pRecord), CFolderScanner::kComplete);
    EXPECT_EQ(CFolderScanner::Instance().ThreadCountForTesting(), 0u);
    ASSERT_TRUE(WaitForScan());
    EXPECT_EQ(ShownPaths(), std::vector<std::u16string>{});
  }
}

}  // namespace
