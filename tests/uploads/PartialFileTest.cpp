// The partial file of one upload, driven directly: resume from its trailer, the chunk rules,
// completion and the rename that never replaces a file.

#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
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

// Resume: a trailer naming this very file with fewer bytes than the whole is resumed; a
// trailer of another file is cut to a fresh one; a file carrying no trailer that counts is not
// ours and is left as it is.
TEST_F(PartialFileTest, ResumesOnlyFromATrailerOfThisFileAndLeavesOtherFilesAlone) {
  const std::string held = RandomBytes(100, 1);
  const std::string fresh = Trailer(1000, kTimeStamp, 0, 0);
  struct Case {
    const char* what;
    std::string trailer;
    int64_t itemScrc;
    int64_t expected;  // -1: refused
  } cases[] = {
      {"matching", Trailer(1000, kTimeStamp, 100, 0), 0, 100},
      {"trailer scrc 0 fits any", Trailer(1000, kTimeStamp, 100, 0), 55, 100},
      {"item scrc 0 fits any", Trailer(1000, kTimeStamp, 100, 77), 0, 100},
      {"other scrc", Trailer(1000, kTimeStamp, 100, 77), 78, 0},
      {"other size", Trailer(999, kTimeStamp, 100, 0), 0, 0},
      {"other time", Trailer(1000, kTimeStamp + 1, 100, 0), 0, 0},
      {"count not the bytes held", Trailer(1000, kTimeStamp, 99, 0), 0, -1},
      {"bad magic", Trailer(1000, kTimeStamp, 100, 0, 0x66757275), 0, -1},
      // n = size would make the file complete with bytes this phone never sent.
      {"claims the whole file", Trailer(100, kTimeStamp, 100, 0), 0, -1},
      {"no trailer at all", RandomBytes(36, 9), 0, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LeavePartial(held, c.trailer);
    FileItem* pItem =
        NewItem(c.trailer == Trailer(100, kTimeStamp, 100, 0) ? 100 : 1000, c.itemScrc);
    if (c.expected < 0) {
      EXPECT_FALSE(pItem->Open());
      EXPECT_EQ(pItem->m_error, 80u);
      EXPECT_FALSE(pItem->IsComplete());
      EXPECT_EQ(Partial(), held + c.trailer);
    } else {
      ASSERT_TRUE(pItem->Open());
      EXPECT_EQ(pItem->m_position, c.expected);
      EXPECT_EQ(pItem->m_positionAtOpen, c.expected);
      EXPECT_EQ(Partial(), c.expected == 0 ? Trailer(1000, kTimeStamp, 0, c.itemScrc)
                                           : held + Trailer(1000, kTimeStamp, 100, c.itemScrc));
    }
    pItem->Release();
    m_items.pop_back();
  }
  // A new partial file starts with the trailer of no bytes, and resumes as one.
  FileItem* pNew = NewItem(1000, 0, m_dir + "/b.jpg");
  ASSERT_TRUE(pNew->Open());
  EXPECT_EQ(ReadWholeFile(m_dir + "/b.jpg.pdl"), fresh);
  pNew->Release();
  m_items.pop_back();
  FileItem* pAgain = NewItem(1000, 0, m_dir + "/b.jpg");
  ASSERT_TRUE(pAgain->Open());
  EXPECT_EQ(pAgain->m_position, 0);
}

// A chunk write cut short at any byte the system may stop at (any point of its first write,
// page boundaries in the second) leaves a file that resumes at a position whose bytes are all
// the file's own, and leaves it as those bytes and their trailer. Only a cut inside the second
// write may cost the old trailer's file fields (when no whole trailer stands behind it): the
// file then starts over. A last chunk written whole leaves no trailer at all until the rename.
TEST_F(PartialFileTest, EveryCutOfAChunkWriteResumesOnItsOwnBytes) {
  constexpr int64_t kSize = 200000;
  const std::string content = RandomBytes(kSize, 6);
  const auto apply = [](std::string image, int64_t at, const std::string& bytes) {
    if (image.size() < at + bytes.size()) image.resize(at + bytes.size());
    image.replace(at, bytes.size(), bytes);
    return image;
  };
  // Chunk starts placing the old trailer across a page boundary at each offset that matters.
  for (int64_t start : {int64_t{0}, int64_t{4096 - 5}, int64_t{8192 - 20}, int64_t{12288 - 28},
                        int64_t{16384 - 34}, int64_t{20480 - 36}, kSize - 65000, kSize - 20}) {
    for (size_t length : {size_t{20}, size_t{36}, size_t{65000}}) {
      const int64_t end = std::min<int64_t>(kSize, start + static_cast<int64_t>(length));
      const bool last = end == kSize;
      SCOPED_TRACE("chunk at " + std::to_string(start) + " to " + std::to_string(end));
      const std::string before = content.substr(0, start) + Trailer(kSize, kTimeStamp, start, 0);
      const std::string after =
          content.substr(0, end) + (last ? "" : Trailer(kSize, kTimeStamp, end, 0));
      // What the write puts from the chunk's start on: the first write takes what lies past
      // the old trailer, the second what covers it, split at a page boundary.
      const std::string fresh = after.substr(start);
      const std::string first = fresh.size() > 36 ? fresh.substr(36) : std::string();
      const std::string second = fresh.substr(0, std::min<size_t>(36, fresh.size()));
      struct Image {
        std::string bytes;
        std::vector<int64_t> resumes;  // empty: not resumable, left alone
      };
      std::vector<Image> images;
      for (size_t cut = 0; cut <= first.size(); cut += cut < 200 ? 1 : 4093) {
        images.push_back({apply(before, start + 36, first.substr(0, cut)), {start}});
      }
      const std::string stepped = apply(before, start + 36, first);
      const int64_t boundary = (start / 4096 + 1) * 4096;
      if (boundary < start + static_cast<int64_t>(second.size())) {
        const size_t head = static_cast<size_t>(boundary - start);
        images.push_back({boundary <= start + 32 ? apply(stepped, start, second.substr(0, head))
                                                 : apply(stepped, boundary, second.substr(head)),
                          {start, 0}});
      }
      // A last chunk leaves the whole file without a trailer (a short one, the old trailer's
      // end behind it) until the rename: taken as ours and sent again from 0.
      images.push_back({apply(stepped, start, second),
                        last ? std::vector<int64_t>{0} : std::vector<int64_t>{end}});
      for (const Image& image : images) {
        SCOPED_TRACE("image of " + std::to_string(image.bytes.size()) + " bytes");
        WriteWholeFile(m_target + ".pdl", image.bytes);
        FileItem* pItem = NewItem(kSize);
        if (image.resumes.empty()) {
          EXPECT_FALSE(pItem->Open());
          EXPECT_EQ(pItem->m_error, 80u);
          EXPECT_EQ(Partial(), image.bytes);
        } else {
          ASSERT_TRUE(pItem->Open()) << pItem->m_error;
          const int64_t position = pItem->m_position;
          EXPECT_NE(std::find(image.resumes.begin(), image.resumes.end(), position),
                    image.resumes.end())
              << position;
          ASSERT_EQ(Partial(),
                    content.substr(0, position) + Trailer(kSize, kTimeStamp, position, 0));
        }
        pItem->Release();
        m_items.pop_back();
      }
    }
  }
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

// The final name is never taken from a file that holds it already: the complete file takes the
// first free numbered name instead, past names held by other uploads' partial files.
TEST_F(PartialFileTest, RenameNeverReplacesAFileAndTakesTheNextFreeName) {
  WriteWholeFile(m_target, "the user's own file");
  WriteWholeFile(m_dir + "/a(1).jpg.pdl", "another upload");
  WriteWholeFile(m_dir + "/a(2).jpg", "another file");
  FileItem* pItem = NewItem(5);
  ASSERT_TRUE(pItem->Open());
  ASSERT_TRUE(pItem->Write(0, 5, reinterpret_cast<const uint8_t*>("hello")));
  EXPECT_TRUE(pItem->OnUploadComplete());
  EXPECT_EQ(pItem->m_error, 0u);
  EXPECT_EQ(PosixFromWindows(pItem->m_savePath), m_dir + "/a(3).jpg");
  EXPECT_EQ(ReadWholeFile(m_dir + "/a(3).jpg"), "hello");
  EXPECT_EQ(LastWriteMs(m_dir + "/a(3).jpg"), kTimeStamp);
  EXPECT_EQ(ReadWholeFile(m_target), "the user's own file");
  EXPECT_EQ(ReadWholeFile(m_dir + "/a(2).jpg"), "another file");
  EXPECT_FALSE(FileExists(m_target + ".pdl"));
  EXPECT_FALSE(FileExists(m_dir + "/a(1).jpg"));

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
