// File handles and folders against real files in a private sandbox: dispositions, share modes
// across processes, 64-bit positions, times, moves, copies, enumeration, locks and disk full.

#include "win32/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "handles.h"
#include "paths.h"
#include "win32/strings.h"

using namespace win32;

namespace {

constexpr int kSkipped = 77;

int RemoveEntry(const char* path, const struct stat*, int, FTW*) { return remove(path); }

// Runs `body` in a forked child and returns its exit code (-1 if it did not exit normally).
int RunInChild(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/lumidock-files-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_root = pattern;
    setenv("LUMIDOCK_ROOT", m_root.c_str(), 1);
    m_handlesAtStart = detail::OpenHandleCountForTesting();
  }

  void TearDown() override {
    EXPECT_EQ(detail::OpenHandleCountForTesting(), m_handlesAtStart) << "a handle was left open";
    nftw(m_root.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    unsetenv("LUMIDOCK_ROOT");
  }

  std::string Posix(const std::string& relative) const { return m_root + "/" + relative; }
  std::u16string Win(const std::string& relative) const {
    return detail::FromPosixPath(Posix(relative));
  }

  HANDLE Open(const std::string& relative, DWORD access, DWORD share, DWORD disposition) {
    return CreateFileW(Win(relative).c_str(), access, share, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  static bool Write(HANDLE file, const std::string& data) {
    DWORD written = 0;
    return WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
           written == data.size();
  }

  std::string Content(const std::string& relative) const {
    std::ifstream in(Posix(relative), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  void MakeFile(const std::string& relative, const std::string& content) const {
    std::ofstream(Posix(relative), std::ios::binary) << content;
  }

  bool Exists(const std::string& relative) const {
    struct stat st;
    return lstat(Posix(relative).c_str(), &st) == 0;
  }

  std::string m_root;
  size_t m_handlesAtStart = 0;
};

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Dispositions: OPEN_ALWAYS and CREATE_ALWAYS leave 183 when the file was there, 0 when created.
TEST_F(FileTest, DispositionsReportExistenceAndTruncate) {
  HANDLE h = Open("f", kReadWrite, kShareAll, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_TRUE(Write(h, "hello"));
  CloseHandle(h);
  EXPECT_EQ(Open("f", kReadWrite, kShareAll, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);

  h = Open("f", kReadWrite, kShareAll, OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(GetFileSize(h, nullptr), 5u);
  CloseHandle(h);

  h = Open("g", kReadWrite, kShareAll, OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  CloseHandle(h);

  h = Open("f", GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(GetFileSize(h, nullptr), 0u);
  EXPECT_TRUE(Write(h, "abc"));
  CloseHandle(h);

  h = Open("f", GENERIC_WRITE, 0, TRUNCATE_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetFileSize(h, nullptr), 0u);
  CloseHandle(h);
  EXPECT_EQ(Open("f", GENERIC_READ, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Open("f", GENERIC_READ, 0, 9), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// A missing file gives 2, a missing folder on the way 3, on every path-taking call.
TEST_F(FileTest, MissingFileAndMissingFolderAreTold) {
  EXPECT_EQ(Open("nope", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Open("nodir/f", GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Open("nope", GENERIC_WRITE, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  EXPECT_EQ(GetFileAttributesW(Win("nope").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetFileAttributesW(Win("nodir/x").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(DeleteFileW(Win("nope").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(DeleteFileW(Win("nodir/x").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(CreateFileW(u"", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

// ReadFile returns fewer bytes only at the end; SetEndOfFile cuts at the position.
TEST_F(FileTest, ReadStopsOnlyAtEndAndSetEndOfFileCuts) {
  HANDLE h = Open("data", kReadWrite, 0, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  std::string big(300000, 'x');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
  ASSERT_TRUE(Write(h, big));
  ASSERT_EQ(SetFilePointer(h, 0, nullptr, FILE_BEGIN), 0u);
  std::string back(big.size() + 10, '\0');
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(h, back.data(), static_cast<DWORD>(back.size()), &read, nullptr));
  EXPECT_EQ(read, big.size());
  EXPECT_EQ(back.substr(0, read), big);
  ASSERT_TRUE(ReadFile(h, back.data(), 10, &read, nullptr));
  EXPECT_EQ(read, 0u);  // at the end: TRUE with 0 bytes

  // The last 36 bytes, as a resume check reads its trailer.
  ASSERT_EQ(SetFilePointer(h, -36, nullptr, FILE_END), big.size() - 36);
  ASSERT_TRUE(ReadFile(h, back.data(), 36, &read, nullptr));
  EXPECT_EQ(std::string(back.data(), read), big.substr(big.size() - 36));

  ASSERT_EQ(SetFilePointer(h, 1000, nullptr, FILE_BEGIN), 1000u);
  ASSERT_TRUE(SetEndOfFile(h));
  EXPECT_EQ(GetFileSize(h, nullptr), 1000u);
  ASSERT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 1000u);
  ASSERT_TRUE(FlushFileBuffers(h));
  CloseHandle(h);
  EXPECT_EQ(Content("data"), big.substr(0, 1000));
}

// 64-bit positions through the high part; a sparse 5 GB file costs nothing.
TEST_F(FileTest, SeekBeyondFourGigabytesIsSparseAndSixtyFourBit) {
  HANDLE h = Open("sparse", kReadWrite, 0, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  LONG high = 1;
  ASSERT_EQ(SetFilePointer(h, 0x40000000, &high, FILE_BEGIN), 0x40000000u);
  EXPECT_EQ(high, 1);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  ASSERT_TRUE(Write(h, "Z"));
  DWORD sizeHigh = 0;
  EXPECT_EQ(GetFileSize(h, &sizeHigh), 0x40000001u);
  EXPECT_EQ(sizeHigh, 1u);
  LARGE_INTEGER size;
  ASSERT_TRUE(GetFileSizeEx(h, &size));
  EXPECT_EQ(size.QuadPart, 0x140000001ll);

  // Without a high part a target past 4 GiB is refused and the position stays.
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  LARGE_INTEGER zero = {};
  LARGE_INTEGER position;
  ASSERT_TRUE(SetFilePointerEx(h, zero, &position, FILE_CURRENT));
  EXPECT_EQ(position.QuadPart, 0x140000001ll);

  // Low part 0xFFFFFFFF is a real position: last error 0 tells it from a failure.
  high = 0;
  EXPECT_EQ(SetFilePointer(h, -1, &high, FILE_BEGIN), 0xFFFFFFFFu);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(high, 0);
  // A negative target fails with 131 and leaves the position.
  EXPECT_EQ(SetFilePointer(h, -1, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
  high = 0;
  EXPECT_EQ(SetFilePointer(h, 0, &high, FILE_CURRENT), 0xFFFFFFFFu);

  char c = 0;
  DWORD read = 0;
  high = 1;
  ASSERT_EQ(SetFilePointer(h, 0x40000000, &high, FILE_BEGIN), 0x40000000u);
  ASSERT_TRUE(ReadFile(h, &c, 1, &read, nullptr));
  EXPECT_EQ(c, 'Z');
  CloseHandle(h);
  struct stat st;
  ASSERT_EQ(stat(Posix("sparse").c_str(), &st), 0);
  EXPECT_LT(st.st_blocks * 512, 1 << 20);
}

// Stale handles, wrong kinds and missing access rights fail cleanly.
TEST_F(FileTest, StaleHandlesAndMissingAccessFail) {
  HANDLE h = Open("f", GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(CloseHandle(h));
  DWORD n = 0;
  char buffer[4];
  EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(GetFileSize(h, nullptr), INVALID_FILE_SIZE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseHandle(h));

  h = Open("f", GENERIC_READ, kShareAll, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(SetEndOfFile(h));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  CloseHandle(h);
  h = Open("f", GENERIC_WRITE, kShareAll, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(ReadFile(h, buffer, 4, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  CloseHandle(h);

  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(Win("*").c_str(), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(ReadFile(find, buffer, 4, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  ASSERT_TRUE(FindClose(find));
  EXPECT_FALSE(FindClose(find));
}

// Share modes: a writer that does not share writing keeps every other writer out; readers and
// writers that share writing coexist.
TEST_F(FileTest, DenyWriteExcludesOtherWritersInProcess) {
  HANDLE holder = Open("log", GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(Write(holder, "first"));
  for (DWORD disposition : {CREATE_ALWAYS, OPEN_ALWAYS, OPEN_EXISTING, TRUNCATE_EXISTING}) {
    EXPECT_EQ(Open("log", GENERIC_WRITE, kShareAll, disposition), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION) << disposition;
  }
  EXPECT_EQ(Content("log"), "first");  // the refused CREATE_ALWAYS truncated nothing
  HANDLE reader = Open("log", GENERIC_READ, kShareAll, OPEN_EXISTING);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  CloseHandle(reader);
  CloseHandle(holder);

  HANDLE a = Open("db", kReadWrite, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
  HANDLE b = Open("db", kReadWrite, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  ASSERT_NE(b, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open("db", GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  CloseHandle(a);
  CloseHandle(b);
  HANDLE exclusive = Open("db", GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_NE(exclusive, INVALID_HANDLE_VALUE);
  CloseHandle(exclusive);
}

// The log-name fallback: a second process of the same second is refused with 32 and the first
// process's log keeps its content; once the holder closes, the name is free again.
TEST_F(FileTest, DenyWriteHoldsAgainstAnotherProcess) {
  HANDLE holder = Open("same-second.log", GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(Write(holder, "parent line\r\n"));
  auto secondProcess = [this]() {
    HANDLE h = Open("same-second.log", GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
    if (h != INVALID_HANDLE_VALUE) return 1;
    if (GetLastError() != ERROR_SHARING_VIOLATION) return 2;
    h = Open("same-second-1234.log", GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
    if (h == INVALID_HANDLE_VALUE) return 3;
    CloseHandle(h);
    return 0;
  };
  EXPECT_EQ(RunInChild(secondProcess), 0);
  EXPECT_EQ(Content("same-second.log"), "parent line\r\n");
  EXPECT_TRUE(Exists("same-second-1234.log"));

  CloseHandle(holder);
  EXPECT_EQ(RunInChild([this]() {
              HANDLE h = Open("same-second.log", GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
              if (h == INVALID_HANDLE_VALUE) return 1;
              CloseHandle(h);
              return 0;
            }),
            0);
}

// Byte-range locks conflict between handles; unlocking "the whole file" must not drop the
// handle's share reservation.
TEST_F(FileTest, ByteRangeLocksAndShareReservationStaySeparate) {
  HANDLE a = Open("db", kReadWrite, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
  HANDLE b = Open("db", kReadWrite, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  ASSERT_NE(b, INVALID_HANDLE_VALUE);
  OVERLAPPED at0 = {};
  OVERLAPPED at10 = {};
  at10.Offset = 10;
  const DWORD tryExclusive = LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY;
  ASSERT_TRUE(LockFileEx(a, tryExclusive, 0, 10, 0, &at0));
  EXPECT_FALSE(LockFileEx(b, tryExclusive, 0, 10, 0, &at0));
  EXPECT_EQ(GetLastError(), ERROR_LOCK_VIOLATION);
  EXPECT_FALSE(LockFileEx(b, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at0));  // shared vs exclusive
  EXPECT_TRUE(LockFileEx(b, tryExclusive, 0, 10, 0, &at10));              // next range is free
  ASSERT_TRUE(UnlockFileEx(a, 0, 10, 0, &at0));
  EXPECT_TRUE(LockFileEx(b, tryExclusive, 0, 10, 0, &at0));
  ASSERT_TRUE(UnlockFileEx(b, 0, 20, 0, &at0));
  EXPECT_FALSE(LockFileEx(a, tryExclusive, 0, 1, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  ASSERT_TRUE(LockFileEx(a, tryExclusive, 0, 0xFFFFFFFF, 0xFFFFFFFF, &at0));
  ASSERT_TRUE(UnlockFileEx(a, 0, 0xFFFFFFFF, 0xFFFFFFFF, &at0));
  CloseHandle(b);
  EXPECT_EQ(Open("db", GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  CloseHandle(a);
}

// SetFileTime sets only what it is given, to 100 ns; out-of-range values change nothing.
TEST_F(FileTest, SetFileTimeRoundTripsAndRejectsOutOfRange) {
  HANDLE h = Open("photo.pdl", kReadWrite, FILE_SHARE_READ, OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  FILETIME accessBefore;
  ASSERT_TRUE(GetFileTime(h, nullptr, &accessBefore, nullptr));

  SYSTEMTIME taken = {2021, 6, 0, 1, 10, 20, 30, 123};
  FILETIME lastWrite;
  ASSERT_TRUE(SystemTimeToFileTime(&taken, &lastWrite));
  lastWrite = UInt64ToFileTime(FileTimeToUInt64(lastWrite) + 4567);
  ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &lastWrite));
  FILETIME accessAfter;
  FILETIME writeAfter;
  ASSERT_TRUE(GetFileTime(h, nullptr, &accessAfter, &writeAfter));
  EXPECT_EQ(FileTimeToUInt64(writeAfter), FileTimeToUInt64(lastWrite));
  EXPECT_EQ(FileTimeToUInt64(accessAfter), FileTimeToUInt64(accessBefore));

  FILETIME outOfRange = UInt64ToFileTime(0x8000000000000000ull);
  EXPECT_FALSE(SetFileTime(h, nullptr, nullptr, &outOfRange));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  FILETIME zero = {0, 0};
  EXPECT_TRUE(SetFileTime(h, nullptr, &zero, &zero));  // zero: leave as it is
  CloseHandle(h);

  WIN32_FILE_ATTRIBUTE_DATA data;
  ASSERT_TRUE(GetFileAttributesExW(Win("photo.pdl").c_str(), GetFileExInfoStandard, &data));
  EXPECT_EQ(FileTimeToUInt64(data.ftLastWriteTime), FileTimeToUInt64(lastWrite));
}

// MoveFileExW replaces only when asked; without the flag an existing target is kept.
TEST_F(FileTest, MoveFileExReplacesOnlyWhenAsked) {
  MakeFile("partial.pdl", "new");
  MakeFile("photo.jpg", "old");
  EXPECT_FALSE(MoveFileExW(Win("partial.pdl").c_str(), Win("photo.jpg").c_str(), 0));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(MoveFileW(Win("partial.pdl").c_str(), Win("photo.jpg").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(Content("photo.jpg"), "old");
  EXPECT_EQ(Content("partial.pdl"), "new");

  ASSERT_TRUE(
      MoveFileExW(Win("partial.pdl").c_str(), Win("photo.jpg").c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(Content("photo.jpg"), "new");
  EXPECT_FALSE(Exists("partial.pdl"));

  ASSERT_TRUE(MoveFileW(Win("photo.jpg").c_str(), Win("renamed.jpg").c_str()));
  EXPECT_FALSE(MoveFileW(Win("photo.jpg").c_str(), Win("x.jpg").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(MoveFileW(Win("renamed.jpg").c_str(), Win("nodir/x.jpg").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(FileTest, MoveAcrossFileSystemsFailsWith17) {
  struct stat tmp;
  struct stat shm;
  if (stat(m_root.c_str(), &tmp) != 0 || stat("/dev/shm", &shm) != 0 || tmp.st_dev == shm.st_dev ||
      access("/dev/shm", W_OK) != 0) {
    GTEST_SKIP() << "no second file system to move to";
  }
  MakeFile("f", "x");
  std::string target = "/dev/shm/lumidock-move-" + std::to_string(getpid());
  EXPECT_FALSE(MoveFileExW(Win("f").c_str(), detail::FromPosixPath(target).c_str(),
                           MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SAME_DEVICE);
  unlink(target.c_str());
}

// CopyFileW keeps the source's last-write time and never leaves a temporary file behind.
TEST_F(FileTest, CopyFileReplacesWholeOrRefuses) {
  MakeFile("folder.ico", "icon bytes");
  MakeFile("existing.ico", "keep me");
  const timespec times[2] = {{1000000000, 0}, {1500000000, 700}};
  ASSERT_EQ(utimensat(AT_FDCWD, Posix("folder.ico").c_str(), times, 0), 0);

  EXPECT_FALSE(CopyFileW(Win("folder.ico").c_str(), Win("existing.ico").c_str(), TRUE));
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  EXPECT_EQ(Content("existing.ico"), "keep me");
  ASSERT_TRUE(CopyFileW(Win("folder.ico").c_str(), Win("existing.ico").c_str(), FALSE));
  EXPECT_EQ(Content("existing.ico"), "icon bytes");
  ASSERT_TRUE(CopyFileW(Win("folder.ico").c_str(), Win("fresh.ico").c_str(), TRUE));
  struct stat st;
  ASSERT_EQ(stat(Posix("fresh.ico").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1500000000);

  EXPECT_FALSE(CopyFileW(Win("missing").c_str(), Win("x").c_str(), FALSE));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(CopyFileW(Win("folder.ico").c_str(), Win("nodir/x").c_str(), FALSE));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  std::set<std::string> names;
  DIR* pDir = opendir(m_root.c_str());
  ASSERT_NE(pDir, nullptr);
  while (dirent* e = readdir(pDir)) names.insert(e->d_name);
  closedir(pDir);
  EXPECT_EQ(names, (std::set<std::string>{".", "..", "existing.ico", "folder.ico", "fresh.ico"}));
}

// Folders: 183 when present, 3 without a parent, 145 when not empty; dot-names are hidden.
TEST_F(FileTest, FoldersAndAttributes) {
  ASSERT_TRUE(CreateDirectoryW(Win("Corvane").c_str(), nullptr));
  EXPECT_FALSE(CreateDirectoryW(Win("Corvane").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(CreateDirectoryW(Win("missing/Orbalyn").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  ASSERT_TRUE(CreateDirectoryA(Utf16ToUtf8(Win("Corvane/.private")).c_str(), nullptr));
  EXPECT_EQ(GetFileAttributesW(Win("Corvane").c_str()), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(GetFileAttributesW(Win("Corvane/.private").c_str()),
            FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN);
  EXPECT_TRUE(SetFileAttributesW(Win("Corvane/.private").c_str(), FILE_ATTRIBUTE_HIDDEN));
  EXPECT_FALSE(SetFileAttributesW(Win("Corvane/none").c_str(), FILE_ATTRIBUTE_HIDDEN));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  MakeFile("Corvane/desktop.ini", "[.ShellClassInfo]\r\n");
  EXPECT_EQ(GetFileAttributesW(Win("Corvane/desktop.ini").c_str()), FILE_ATTRIBUTE_ARCHIVE);
  WIN32_FILE_ATTRIBUTE_DATA data;
  ASSERT_TRUE(
      GetFileAttributesExW(Win("Corvane/desktop.ini").c_str(), GetFileExInfoStandard, &data));
  EXPECT_EQ(data.nFileSizeLow, 19u);
  EXPECT_EQ(data.nFileSizeHigh, 0u);

  EXPECT_FALSE(RemoveDirectoryW(Win("Corvane").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
  EXPECT_FALSE(DeleteFileW(Win("Corvane/.private").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Open("Corvane", GENERIC_READ, kShareAll, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  ASSERT_TRUE(DeleteFileW(Win("Corvane/desktop.ini").c_str()));
  ASSERT_TRUE(RemoveDirectoryW(Win("Corvane/.private").c_str()));
  ASSERT_TRUE(RemoveDirectoryW(Win("Corvane").c_str()));
}

TEST_F(FileTest, ShCreateDirectoryExCreatesEveryParent) {
  EXPECT_EQ(SHCreateDirectoryExW(nullptr, Win("Corvane/Harborkeep/Log").c_str(), nullptr),
            static_cast<int>(ERROR_SUCCESS));
  EXPECT_EQ(GetFileAttributesW(Win("Corvane/Harborkeep/Log").c_str()), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(SHCreateDirectoryExW(nullptr, (Win("Corvane/Harborkeep/Log") + u"\\").c_str(), nullptr),
            static_cast<int>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(SHCreateDirectoryExW(nullptr, u"relative\\folder", nullptr),
            static_cast<int>(ERROR_BAD_PATHNAME));
  MakeFile("file", "");
  EXPECT_EQ(SHCreateDirectoryExW(nullptr, Win("file").c_str(), nullptr),
            static_cast<int>(ERROR_FILE_EXISTS));
  EXPECT_EQ(SHCreateDirectoryExW(nullptr, Win("file/below").c_str(), nullptr),
            static_cast<int>(ERROR_PATH_NOT_FOUND));
}

// Enumeration: wildcards on the last component; names that cannot be written in Windows form
// are skipped rather than handed out wrong.
TEST_F(FileTest, FindFirstFileMatchesWildcardsAndSkipsUnaddressableNames) {
  MakeFile("a.txt", "1");
  MakeFile("b.txt", "22");
  MakeFile("c.log", "333");
  MakeFile("back\\slash.txt", "x");
  MakeFile("bad\xFF.txt", "x");
  ASSERT_TRUE(CreateDirectoryW(Win("sub").c_str(), nullptr));

  auto list = [&](const std::u16string& pattern, std::vector<std::string>* pNames,
                  std::vector<DWORD>* pAttributes = nullptr) {
    pNames->clear();
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return GetLastError();
    do {
      pNames->push_back(Utf16ToUtf8(data.cFileName));
      if (pAttributes) pAttributes->push_back(data.dwFileAttributes);
    } while (FindNextFileW(find, &data));
    DWORD end = GetLastError();
    FindClose(find);
    std::sort(pNames->begin(), pNames->end());
    return end;
  };

  std::vector<std::string> names;
  EXPECT_EQ(list(Win("*.txt"), &names), ERROR_NO_MORE_FILES);
  EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "b.txt"}));
  EXPECT_EQ(list(Win("*.*"), &names), ERROR_NO_MORE_FILES);
  EXPECT_EQ(names, (std::vector<std::string>{".", "..", "a.txt", "b.txt", "c.log", "sub"}));
  EXPECT_EQ(list(Win("?.log"), &names), ERROR_NO_MORE_FILES);
  EXPECT_EQ(names, (std::vector<std::string>{"c.log"}));
  EXPECT_EQ(list(Win("b.txt"), &names), ERROR_NO_MORE_FILES);  // no wildcard: the file itself
  EXPECT_EQ(names, (std::vector<std::string>{"b.txt"}));

  EXPECT_EQ(list(Win("*.zip"), &names), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(list(Win("IMG_0001.jpg"), &names), ERROR_FILE_NOT_FOUND);  // a free name
  EXPECT_EQ(list(Win("nodir/*"), &names), ERROR_PATH_NOT_FOUND);

  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(Win("s*").c_str(), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Utf16ToUtf8(data.cFileName), "sub");
  EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
  FindClose(find);
  find = FindFirstFileW(Win("c.log").c_str(), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(data.nFileSizeLow, 3u);
  FindClose(find);
}

// Disk full is 39, the number the upload road turns into its disk-full result.
TEST_F(FileTest, DiskFullIsHandleDiskFull) {
  HANDLE full =
      CreateFileW(u"\\dev\\full", GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(full, INVALID_HANDLE_VALUE);
  DWORD written = 1;
  EXPECT_FALSE(WriteFile(full, "abc", 3, &written, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_HANDLE_DISK_FULL);
  EXPECT_EQ(written, 0u);
  CloseHandle(full);
}

// On a real (tiny) file system the write goes as far as it can, then reports 39 with the
// count written.
TEST_F(FileTest, DiskFullOnTinyTmpfsReportsPartialWrite) {
  const std::string mountPoint = Posix("tiny");
  ASSERT_EQ(mkdir(mountPoint.c_str(), 0777), 0);
  int code = RunInChild([&]() {
    if (unshare(CLONE_NEWNS) != 0) return kSkipped;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return kSkipped;
    if (mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=64k") != 0) return kSkipped;
    HANDLE h = Open("tiny/big", GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
    if (h == INVALID_HANDLE_VALUE) return 1;
    std::string data(1 << 20, 'x');
    DWORD written = 0;
    if (WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr)) return 2;
    if (GetLastError() != ERROR_HANDLE_DISK_FULL) return 3;
    if (written == 0 || written >= data.size()) return 4;
    CloseHandle(h);
    return 0;
  });
  if (code == kSkipped) GTEST_SKIP() << "cannot mount a private tmpfs here";
  EXPECT_EQ(code, 0);
}

}  // namespace
