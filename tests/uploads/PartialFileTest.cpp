// The partial file of one upload, driven directly: resume from its trailer, the chunk rules,
// completion and the rename that never replaces a file.

#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <limits>

#include "Logic/FileItem.h"
#include "UploadTestSupport.h"
#include "win32/file.h"

namespace upload_test {
namespace {

using FileItem = CFileUploadMgr::FileItem;

constexpr int64_t kTimeStamp = 1700000000123;

class PartialFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "upload-pdl-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    m_dir = pattern;
    m_target = m_dir + "/a.jpg";
  }
  void TearDown() override {
    for (FileItem* pItem : m_items) pItem->Release();
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
  }

  FileItem* NewItem(int64_t size, int64_t scrc64 = 0, const std::string& target = "") {
    FileItem* pItem = new FileItem(static_cast<uint32_t>(m_items.size() + 1));
    pItem->m_needUpload = true;
    pItem->m_fileSize = size;
    pItem->m_timeStamp = kTimeStamp;
    pItem->m_scrc64 = scrc64;
    pItem->m_savePath = WindowsFromPosix(target.empty() ? m_target : target);
    m_items.push_back(pItem);
    return pItem;
  }
  // A partial file left by an earlier upload: `held` bytes and a trailer.
  void LeavePartial(const std::string& bytes, const std::string& trailer) {
    WriteWholeFile(m_target + ".pdl", bytes + trailer);
  }
  std::string Partial() { return ReadWholeFile(m_target + ".pdl"); }

  std::string m_dir;
  std::string m_target;
  std::vector<FileItem*> m_items;
};

// Resume: only a trailer naming this very file with fewer bytes than the whole is trusted;
// anything else starts at 0 and leaves no stale bytes behind.
TEST_F(PartialFileTest, ResumesOnlyFromATrailerOfThisFile) {
  const std::string held = RandomBytes(100, 1);
  struct Case {
    const char* what;
    std::string trailer;
    int64_t itemScrc;
    int64_t expected;
  } cases[] = {
      {"matching", Trailer(1000, kTimeStamp, 100, 0), 0, 100},
      {"trailer scrc 0 fits any", Trailer(1000, kTimeStamp, 100, 0), 55, 100},
      {"item scrc 0 fits any", Trailer(1000, kTimeStamp, 100, 77), 0, 100},
      {"other scrc", Trailer(1000, kTimeStamp, 100, 77), 78, 0},
      {"other size", Trailer(999, kTimeStamp, 100, 0), 0, 0},
      {"other time", Trailer(1000, kTimeStamp + 1, 100, 0), 0, 0},
      {"count not the bytes held", Trailer(1000, kTimeStamp, 99, 0), 0, 0},
      {"bad magic", Trailer(1000, kTimeStamp, 100, 0, 0x66757275), 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LeavePartial(held, c.trailer);
    FileItem* pItem = NewItem(1000, c.itemScrc);
    ASSERT_TRUE(pItem->Open());
    EXPECT_EQ(pItem->m_position, c.expected);
    EXPECT_EQ(pItem->m_positionAtOpen, c.expected);
    EXPECT_EQ(Partial().size(), c.expected == 0 ? 0u : 136u);
    pItem->Release();
    m_items.pop_back();
  }
}

TEST_F(PartialFileTest, RefusesATrailerClaimingTheWholeFileAndNeverCompletesIt) {
  // n = size would make the file complete with bytes this phone never sent.
  LeavePartial(RandomBytes(100, 2), Trailer(100, kTimeStamp, 100, 0));
  FileItem* pItem = NewItem(100);
  ASSERT_TRUE(pItem->Open());
  EXPECT_EQ(pItem->m_position, 0);
  EXPECT_FALSE(pItem->IsComplete());
  EXPECT_EQ(Partial().size(), 0u);
  // Exactly a trailer's worth of old bytes is no partial file either.
  FileItem* pOther = NewItem(100, 0, m_dir + "/b.jpg");
  WriteWholeFile(m_dir + "/b.jpg.pdl", Trailer(100, kTimeStamp, 0, 0));
  ASSERT_TRUE(pOther->Open());
  EXPECT_EQ(pOther->m_position, 0);
  EXPECT_EQ(ReadWholeFile(m_dir + "/b.jpg.pdl").size(), 0u);
}

// Chunks: bytes already held are accepted and not written again; an overlap writes only its
// new tail; a gap or a chunk past the size fails the file before anything is written.
TEST_F(PartialFileTest, ChunkRules) {
  const std::string content = RandomBytes(300, 3);
  FileItem* pItem = NewItem(300);
  ASSERT_TRUE(pItem->Open());
  ASSERT_TRUE(pItem->Write(0, 100, reinterpret_cast<const uint8_t*>(content.data())));
  EXPECT_EQ(Partial(), content.substr(0, 100) + Trailer(300, kTimeStamp, 100, 0));

  const std::string junk(100, 'x');
  const uint8_t* pJunk = reinterpret_cast<const uint8_t*>(junk.data());
  EXPECT_TRUE(pItem->Write(0, 100, pJunk));  // repeated up to the position
  EXPECT_TRUE(pItem->Write(40, 20, pJunk));  // inside what is held
  EXPECT_EQ(Partial(), content.substr(0, 100) + Trailer(300, kTimeStamp, 100, 0));

  std::string overlap = junk.substr(0, 50) + content.substr(100, 50);
  EXPECT_TRUE(pItem->Write(50, 100, reinterpret_cast<const uint8_t*>(overlap.data())));
  EXPECT_EQ(pItem->m_position, 150);
  EXPECT_EQ(Partial(), content.substr(0, 150) + Trailer(300, kTimeStamp, 150, 0));

  for (auto [pos, length] : {std::pair<int64_t, size_t>{150, 151},
                             {151, 10},
                             {-1, 10},
                             {std::numeric_limits<int64_t>::max() - 5, 10}}) {
    SCOPED_TRACE(pos);
    pItem->m_error = 0;
    EXPECT_FALSE(pItem->Write(pos, length, pJunk));
    EXPECT_EQ(pItem->m_error, 13u);
    EXPECT_EQ(CFileUploadMgr::ResultFromError(pItem->m_error), 11001);
    EXPECT_EQ(Partial(), content.substr(0, 150) + Trailer(300, kTimeStamp, 150, 0));
  }
  // The partial file stays resumable for the next announcement.
  pItem->m_error = 0;
  pItem->Release();
  m_items.pop_back();
  FileItem* pAgain = NewItem(300);
  ASSERT_TRUE(pAgain->Open());
  EXPECT_EQ(pAgain->m_position, 150);
}

// Completion: the last chunk carries no trailer; old trailer bytes behind it are cut; the file
// gets the phone's time and its final name, and the partial file is gone.
TEST_F(PartialFileTest, CompletionCutsTheTrailerSetsTheTimeAndRenames) {
  const std::string content = RandomBytes(120, 4);
  FileItem* pItem = NewItem(120);
  ASSERT_TRUE(pItem->Open());
  ASSERT_TRUE(pItem->Write(0, 100, reinterpret_cast<const uint8_t*>(content.data())));
  ASSERT_TRUE(pItem->Write(100, 20, reinterpret_cast<const uint8_t*>(content.data() + 100)));
  ASSERT_TRUE(pItem->IsComplete());
  ASSERT_TRUE(pItem->OnUploadComplete());
  EXPECT_EQ(pItem->m_hFile, win32::INVALID_HANDLE_VALUE);
  EXPECT_EQ(ReadWholeFile(m_target), content);
  EXPECT_EQ(LastWriteMs(m_target), kTimeStamp);
  EXPECT_FALSE(FileExists(m_target + ".pdl"));
}

TEST_F(PartialFileTest, TimeOutsideTheFileTimeRangeIsLeftUnset) {
  for (int64_t stamp : {std::numeric_limits<int64_t>::max(), std::numeric_limits<int64_t>::min(),
                        int64_t{-11644473600001}}) {
    SCOPED_TRACE(stamp);
    std::filesystem::remove(m_target);
    FileItem* pItem = NewItem(3);
    pItem->m_timeStamp = stamp;
    ASSERT_TRUE(pItem->Open());
    ASSERT_TRUE(pItem->Write(0, 3, reinterpret_cast<const uint8_t*>("abc")));
    ASSERT_TRUE(pItem->OnUploadComplete());
    EXPECT_EQ(ReadWholeFile(m_target), "abc");
  }
}

// The final name is never taken from a file that holds it already.
TEST_F(PartialFileTest, RenameNeverReplacesAFile) {
  WriteWholeFile(m_target, "the user's own file");
  FileItem* pItem = NewItem(5);
  ASSERT_TRUE(pItem->Open());
  ASSERT_TRUE(pItem->Write(0, 5, reinterpret_cast<const uint8_t*>("hello")));
  EXPECT_FALSE(pItem->OnUploadComplete());
  EXPECT_EQ(pItem->m_error, 183u);
  EXPECT_EQ(ReadWholeFile(m_target), "the user's own file");
  EXPECT_EQ(ReadWholeFile(m_target + ".pdl"), "hello");

  // The same file put there meanwhile (size and time): done, and the partial file goes.
  const std::string other = m_dir + "/same.jpg";
  WriteWholeFile(other, "hello");
  win32::FILETIME fileTime;
  ASSERT_TRUE(FileItem::TimeStampToFileTime(kTimeStamp, &fileTime));
  win32::HANDLE hFile = win32::CreateFileW(WindowsFromPosix(other).c_str(), win32::GENERIC_WRITE, 0,
                                           nullptr, win32::OPEN_EXISTING, 0, nullptr);
  ASSERT_TRUE(win32::SetFileTime(hFile, nullptr, nullptr, &fileTime));
  win32::CloseHandle(hFile);
  FileItem* pSame = NewItem(5, 0, other);
  ASSERT_TRUE(pSame->Open());
  ASSERT_TRUE(pSame->Write(0, 5, reinterpret_cast<const uint8_t*>("hello")));
  EXPECT_TRUE(pSame->OnUploadComplete());
  EXPECT_EQ(pSame->m_error, 0u);
  EXPECT_FALSE(FileExists(other + ".pdl"));
}

// Two live uploads naming one partial file: the second is refused, never interleaved.
TEST_F(PartialFileTest, TwoLiveItemsNeverShareAPartialFile) {
  FileItem* pFirst = NewItem(10);
  ASSERT_TRUE(pFirst->Open());
  FileItem* pSecond = NewItem(20);
  EXPECT_FALSE(pSecond->Open());
  EXPECT_EQ(pSecond->m_error, 32u);
  EXPECT_EQ(CFileUploadMgr::ResultFromError(pSecond->m_error), 11001);
  ASSERT_TRUE(pFirst->Write(0, 4, reinterpret_cast<const uint8_t*>("abcd")));
  EXPECT_EQ(Partial(), "abcd" + Trailer(10, kTimeStamp, 4, 0));
}

// A full disk reaches the phone as 11002.
TEST_F(PartialFileTest, DiskFullOnASmallFileSystem) {
  const std::string mountPoint = m_dir + "/small";
  std::filesystem::create_directories(mountPoint);
  if (mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here";
  }
  m_target = mountPoint + "/big.bin";
  const std::string content = RandomBytes(256 * 1024, 5);
  FileItem* pItem = NewItem(static_cast<int64_t>(content.size()));
  ASSERT_TRUE(pItem->Open());
  bool failed = false;
  for (size_t at = 0; at < content.size() && !failed; at += 16384) {
    failed = !pItem->Write(static_cast<int64_t>(at), 16384,
                           reinterpret_cast<const uint8_t*>(content.data() + at));
  }
  EXPECT_TRUE(failed);
  EXPECT_EQ(pItem->m_error, 39u);
  EXPECT_EQ(CFileUploadMgr::ResultFromError(pItem->m_error), 11002);
  pItem->Release();
  m_items.pop_back();
  umount2(mountPoint.c_str(), MNT_DETACH);
}

}  // namespace
}  // namespace upload_test
