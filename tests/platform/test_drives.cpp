// Drive letters: the table, its sources (LUMIDOCK_DRIVES, fake mountinfo and sysfs), sticky
// letters, the path mapping and its refusals.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "../common/SandboxTest.h"
#include "../common/TestFiles.h"
#include "drives.h"
#include "paths.h"
#include "win32/drive.h"
#include "win32/file.h"
#include "win32/module_name.h"
#include "win32/profile.h"
#include "win32/shell.h"
#include "win32/strings.h"

using namespace win32;
namespace fs = std::filesystem;

namespace {

class DriveTest : public test_common::SandboxTest {
 protected:
  DriveTest() : SandboxTest("drive-test") {}
  void SetUp() override {
    SandboxTest::SetUp();
    unsetenv("LUMIDOCK_DRIVES");
    unsetenv("LUMIDOCK_MOUNTINFO");
    unsetenv("LUMIDOCK_SYSFS_ROOT");
  }
  void TearDown() override {
    unsetenv("LUMIDOCK_DRIVES");
    unsetenv("LUMIDOCK_MOUNTINFO");
    unsetenv("LUMIDOCK_SYSFS_ROOT");
    SandboxTest::TearDown();
  }

  std::string Folder(const std::string& name) {
    std::string path = Root() + "/" + name;
    fs::create_directories(path);
    return path;
  }

  std::string Posix(const std::u16string& path) {
    std::string posix;
    return detail::ToPosixPath(path, &posix) ? posix : "<refused>";
  }
};

std::vector<std::string> g_driveWarnings;
void NoteDriveWarning(const char* pLine) { g_driveWarnings.push_back(pLine); }

// LUMIDOCK_DRIVES replaces the table; malformed entries and files are left out (a missing folder
// keeps its letter), each named once; the rest maps paths.
TEST_F(DriveTest, ExplicitTableRefusesBadEntriesAndMapsPaths) {
  std::string c = Folder("c"), d = Folder("d");
  std::string file = Root() + "/file";
  test_files::WriteWholeFile(file, "x");
  const std::vector<std::string> bad = {"1=/x", "E=relative", "F=" + d + ",free=abc",
                                        "G=/g,size=3", "c=/dup", "H=", "I=" + file,
                                        "J=" + Root() + "/missing"};
  std::string list = "C=" + c;
  for (const std::string& entry : bad) list += ";" + entry;
  list += ";D=" + d + ",free=5368709120";
  setenv("LUMIDOCK_DRIVES", list.c_str(), 1);
  EXPECT_EQ(GetLogicalDrives(), (1u << 2) | (1u << 3) | (1u << ('J' - 'A')));
  // Said once, though the table is built again; a writer set later is handed them too.
  setenv("LUMIDOCK_SYSFS_ROOT", Root().c_str(), 1);
  EXPECT_EQ(GetLogicalDrives(), (1u << 2) | (1u << 3) | (1u << ('J' - 'A')));
  SetDriveWarningWriter(&NoteDriveWarning);
  SetDriveWarningWriter(nullptr);
  for (const std::string& entry : bad) {
    const std::string start = "LUMIDOCK_DRIVES: entry \"" + entry + "\" ";
    EXPECT_EQ(std::count_if(g_driveWarnings.begin(), g_driveWarnings.end(),
                            [&](const std::string& line) { return line.rfind(start, 0) == 0; }),
              1)
        << entry;
  }

  EXPECT_EQ(Posix(u"D:\\sub\\x.jpg"), d + "/sub/x.jpg");
  EXPECT_EQ(Posix(u"d:\\sub"), Posix(u"D:\\sub"));
  EXPECT_EQ(Posix(u"D:/a\\.\\b/"), d + "/a/b");
  // ".." stops at the drive's root, as Windows does.
  EXPECT_EQ(Posix(u"D:\\..\\..\\x"), d + "/x");
  EXPECT_EQ(Posix(u"D:\\a\\..\\..\\..\\b"), d + "/b");
  EXPECT_EQ(Posix(u"D:\\"), d);
  EXPECT_EQ(Posix(u"\\\\?\\C:\\long"), c + "/long");
  EXPECT_EQ(Posix(u"D:rel"), "<refused>");
  EXPECT_EQ(Posix(u"D:"), "<refused>");
  EXPECT_EQ(Posix(u"Q:\\x"), "<refused>");
  // Rooted paths stay POSIX paths; the system folder is the layer's under any letter.
  EXPECT_EQ(Posix(u"\\tmp\\x"), "/tmp/x");
  setenv("LUMIDOCK_HOSTS_FILE", "/tmp/hosts-for-test", 1);
  EXPECT_EQ(Posix(u"Q:\\windows\\SYSTEM32\\drivers\\etc\\hosts"), "/tmp/hosts-for-test");
  unsetenv("LUMIDOCK_HOSTS_FILE");
  WCHAR system[MAX_PATH];
  ASSERT_EQ(GetSystemDirectoryW(system, MAX_PATH), 19u);
  EXPECT_EQ(std::u16string(system), u"C:\\Windows\\System32");

  EXPECT_EQ(GetDriveTypeW(u"D:\\"), DRIVE_FIXED);
  EXPECT_EQ(GetDriveTypeW(u"d:"), DRIVE_FIXED);
  EXPECT_EQ(GetDriveTypeW(u"Q:\\"), DRIVE_NO_ROOT_DIR);
  EXPECT_EQ(GetDriveTypeW(u"D:\\sub"), DRIVE_NO_ROOT_DIR);
  ULARGE_INTEGER freeToCaller, total, totalFree;
  ASSERT_TRUE(GetDiskFreeSpaceExW(u"D:\\", &freeToCaller, &total, &totalFree));
  EXPECT_EQ(freeToCaller.QuadPart, 5368709120ull);
  EXPECT_EQ(totalFree.QuadPart, 5368709120ull);
  EXPECT_GE(total.QuadPart, totalFree.QuadPart);
  ASSERT_TRUE(GetDiskFreeSpaceExW(u"C:\\", &freeToCaller, nullptr, nullptr));
  EXPECT_GT(freeToCaller.QuadPart, 0ull);
  EXPECT_FALSE(GetDiskFreeSpaceExW(u"Q:\\", &freeToCaller, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  // Back from POSIX (the folder browser's answers): the longest drive folder wins.
  std::u16string windows;
  ASSERT_TRUE(detail::DrivePathFromPosix(d + "/sub/x", &windows));
  EXPECT_EQ(windows, u"D:\\sub\\x");
  ASSERT_TRUE(detail::DrivePathFromPosix(d, &windows));
  EXPECT_EQ(windows, u"D:\\");
  EXPECT_FALSE(detail::DrivePathFromPosix(d + "x", &windows));
  EXPECT_FALSE(detail::DrivePathFromPosix("/elsewhere", &windows));
  EXPECT_TRUE(PathsEqual(u"d:\\Lumidock", u"D:\\Lumidock"));
  EXPECT_FALSE(PathsEqual(u"D:\\Lumidock", u"E:\\Lumidock"));
  EXPECT_FALSE(PathsEqual(u"D:\\lumidock", u"D:\\Lumidock"));
  EXPECT_EQ(SetErrorMode(SEM_NOOPENFILEERRORBOX), 0u);
  EXPECT_EQ(SetErrorMode(0), SEM_NOOPENFILEERRORBOX);
}

// An unknown letter reaches no file call: each fails with 3 and nothing appears anywhere.
TEST_F(DriveTest, EveryFileCallOnAnUnknownLetterFailsAndCreatesNothing) {
  std::string c = Folder("c");
  setenv("LUMIDOCK_DRIVES", ("C=" + c).c_str(), 1);
  std::string cwd = Folder("cwd");
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(cwd.c_str()), 0);
  const std::string unique = "lumidock-drive-test-" + std::to_string(getpid());
  const std::u16string q = u"Q:\\" + Utf8ToUtf16(unique);
  const std::u16string qFile = q + u"\\f.txt";

  auto expectNotFound = [](bool failed, const char* what) {
    EXPECT_TRUE(failed) << what;
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND) << what;
  };
  HANDLE file = CreateFileW(qFile.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  expectNotFound(file == INVALID_HANDLE_VALUE, "CreateFileW");
  expectNotFound(!CreateDirectoryW(q.c_str(), nullptr), "CreateDirectoryW");
  EXPECT_EQ(SHCreateDirectoryExW(nullptr, q.c_str(), nullptr), int{ERROR_PATH_NOT_FOUND});
  expectNotFound(!WritePrivateProfileStringW(u"s", u"k", u"v", qFile.c_str()),
                 "WritePrivateProfileStringW");
  std::string real = c + "/real.txt";
  test_files::WriteWholeFile(real, "x");
  std::u16string realWindows = u"C:\\real.txt";
  expectNotFound(!MoveFileW(realWindows.c_str(), qFile.c_str()), "MoveFileW");
  expectNotFound(!CopyFileW(realWindows.c_str(), qFile.c_str(), FALSE), "CopyFileW");
  expectNotFound(!DeleteFileW(qFile.c_str()), "DeleteFileW");
  expectNotFound(!RemoveDirectoryW(q.c_str()), "RemoveDirectoryW");
  expectNotFound(!SetFileAttributesW(qFile.c_str(), FILE_ATTRIBUTE_NORMAL), "SetFileAttributesW");
  expectNotFound(GetFileAttributesW(qFile.c_str()) == INVALID_FILE_ATTRIBUTES,
                 "GetFileAttributesW");
  WIN32_FIND_DATAW found;
  EXPECT_EQ(FindFirstFileW((q + u"\\*").c_str(), &found), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(PathFileExistsW(qFile.c_str()));
  EXPECT_FALSE(CreateDirectoryW(u"C:relative", nullptr));

  EXPECT_TRUE(fs::exists(real));
  EXPECT_TRUE(fs::is_empty(cwd));
  EXPECT_FALSE(fs::exists("/" + unique));
  EXPECT_FALSE(fs::exists(c + "/" + unique));
  ASSERT_EQ(chdir(previous), 0);
}

// Discovered mounts: fixed, writable block devices only, one letter per device, and a letter
// stays with its device (a gone device's letter names nothing until it returns).
TEST_F(DriveTest, MountLettersAreStickyAcrossChangingMounts) {
  std::string sys = Folder("sys");
  auto blockDevice = [&](const std::string& device, const char* removable) {
    test_files::WriteWholeFile(sys + "/sys/dev/block/" + device + "/removable", removable);
  };
  blockDevice("8:1", "0");
  blockDevice("8:2", "0");
  blockDevice("8:3", "0");
  blockDevice("8:16", "1");  // a USB stick
  // A partition: its node has "partition"; "removable" sits on the disk above it.
  std::string disk = sys + "/sys/devices/pci0/block/sdc";
  test_files::WriteWholeFile(disk + "/removable", "0");
  test_files::WriteWholeFile(disk + "/sdc1/partition", "1");
  fs::create_symlink(disk + "/sdc1", sys + "/sys/dev/block/8:33");
  setenv("LUMIDOCK_SYSFS_ROOT", sys.c_str(), 1);

  std::string a = Folder("mnt/a"), b = Folder("mnt/b"), bBind = Folder("mnt/b-bind"),
              usb = Folder("mnt/usb"), ro = Folder("mnt/ro"), part = Folder("mnt/part"),
              tmp = Folder("mnt/tmpfs"), cOther = Folder("mnt/c-again");
  struct stat st;
  ASSERT_EQ(stat(Root().c_str(), &st), 0);
  const std::string homeDevice =
      std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
  auto line = [](int id, const std::string& device, const std::string& root,
                 const std::string& point, const char* options) {
    return std::to_string(id) + " 1 " + device + " " + root + " " + point + " " + options +
           " shared:1 - ext4 /dev/x rw\n";
  };
  std::string mountinfo = Root() + "/mountinfo";
  // Round 1: the bind mount shows a sub-folder of 8:2 and is listed first; the whole-disk
  // mount wins. The home folder's device, a removable disk, a read-only mount and tmpfs are
  // left out.
  test_files::WriteWholeFile(
      mountinfo, line(20, "8:1", "/", a, "rw") + line(21, "8:2", "/sub", bBind, "rw") +
                     line(22, "8:2", "/", b, "rw,noatime") + line(23, "8:16", "/", usb, "rw") +
                     line(24, "8:3", "/", ro, "ro") + line(25, "0:50", "/", tmp, "rw") +
                     line(26, homeDevice, "/", cOther, "rw") + line(27, "8:33", "/", part, "rw"));
  setenv("LUMIDOCK_MOUNTINFO", mountinfo.c_str(), 1);
  EXPECT_EQ(GetLogicalDrives(), (1u << 2) | (1u << 3) | (1u << 4) | (1u << 5));
  EXPECT_EQ(Posix(u"D:\\x"), a + "/x");
  EXPECT_EQ(Posix(u"E:\\x"), b + "/x");
  EXPECT_EQ(Posix(u"F:\\x"), part + "/x");
  EXPECT_EQ(Posix(u"C:\\x"), Root() + "/drives/C/x");

  // Round 2: 8:1 is gone, 8:3 is now writable. D stays 8:1's; 8:3 gets the next free letter.
  test_files::WriteWholeFile(mountinfo, line(22, "8:2", "/", b, "rw") +
                                            line(24, "8:3", "/", ro, "rw") +
                                            line(27, "8:33", "/", part, "rw"));
  EXPECT_EQ(Posix(u"D:\\x"), "<refused>");
  EXPECT_EQ(Posix(u"E:\\x"), b + "/x");
  EXPECT_EQ(Posix(u"G:\\x"), ro + "/x");
  EXPECT_EQ(GetDriveTypeW(u"D:\\"), DRIVE_NO_ROOT_DIR);

  // Round 3: 8:1 returns at another place and takes its letter back.
  std::string aAgain = Folder("mnt/a2");
  test_files::WriteWholeFile(mountinfo,
                             line(30, "8:1", "/", aAgain, "rw") + line(22, "8:2", "/", b, "rw"));
  EXPECT_EQ(Posix(u"D:\\x"), aAgain + "/x");
  EXPECT_EQ(Posix(u"E:\\x"), b + "/x");
  EXPECT_EQ(Posix(u"G:\\x"), "<refused>");
}

// Symbolic links are reparse points with their target's attributes; dangling ones too.
TEST_F(DriveTest, SymbolicLinksAreFlaggedAsReparsePoints) {
  std::string dir = Folder("links");
  Folder("links/target");
  fs::create_directory_symlink(dir + "/target", dir + "/to-dir");
  fs::create_symlink(dir + "/missing", dir + "/dangling");
  test_files::WriteWholeFile(dir + "/plain", "x");
  std::u16string windows = test_files::WindowsFromPosix(dir);
  EXPECT_EQ(GetFileAttributesW((windows + u"\\to-dir").c_str()),
            FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_TRUE(GetFileAttributesW((windows + u"\\dangling").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
  EXPECT_EQ(GetFileAttributesW((windows + u"\\plain").c_str()), FILE_ATTRIBUTE_ARCHIVE);
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((windows + u"\\*").c_str(), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  int links = 0;
  do {
    std::u16string name = data.cFileName;
    if (name == u"to-dir" || name == u"dangling") {
      ++links;
      EXPECT_TRUE(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    } else {
      EXPECT_FALSE(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    }
  } while (FindNextFileW(find, &data));
  FindClose(find);
  EXPECT_EQ(links, 2);
}

}  // namespace
