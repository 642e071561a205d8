// The program as a process without a display: the "/uninstall" road with a fake library that
// leaves a mark, with the real library after its drive entry was made, and with none; the end
// without a display, or with a bad environment. The program runs from a folder of its own (a
// copy with the layer and the library beside it). Also the real library through the program's
// binding.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "../common/ChildWait.h"
#include "../common/TestFiles.h"
#include "FakeUploadAssist.h"
#include "InstalledProgram.h"
#include "OrbalynBinding.h"
#include "win32/registry.h"

using namespace win32;
using test_files::ReadWholeFile;
using test_files::WindowsFromPosix;

namespace {

constexpr char16_t kDriveEntryKey[] =
    u"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MyComputer\\NameSpace\\"
    u"{3ED1E910-D951-4c15-AC9C-8B24B6C1E04E}";

bool KeyExists(HKEY hRoot, const char16_t* pPath) {
  HKEY hKey = nullptr;
  if (RegOpenKeyExW(hRoot, pPath, 0, KEY_READ, &hKey) != ERROR_SUCCESS) return false;
  RegCloseKey(hKey);
  return true;
}

// The real library can be mapped only once per process (it registers its protocol classes in the
// shared runtime and stays loaded), so this process loads it from one folder, made once.
class RealLibraryFolder : public testing::Environment {
 public:
  static const std::string& Path() { return s_path; }

  void SetUp() override {
    s_path = test_files::MakeTempFolder("harborlight-real-library");
    for (const char* pName : {"Orbalyn.so", "dadovo.so", "folder.ico"}) {
      std::filesystem::copy_file(std::string(LUMIDOCK_BIN_DIR) + "/" + pName, s_path + "/" + pName);
    }
  }
  void TearDown() override { std::filesystem::remove_all(s_path); }

 private:
  static inline std::string s_path;
};

[[maybe_unused]] testing::Environment* const g_pRealLibraryFolder =
    testing::AddGlobalTestEnvironment(new RealLibraryFolder);

class HarborlightProcessTest : public testing::Test {
 protected:
  void Install(const std::string& from, const std::string& name) { m_program.Install(from, name); }

  // Runs the installed program without a display, with `env` ("NAME=value") replacing those
  // names; its exit status (-1 when it had to be killed).
  int RunProgram(const std::vector<std::string>& args, std::vector<std::string> env = {}) {
    std::vector<std::string> drop = {"DISPLAY=", "WAYLAND_DISPLAY="};
    for (const std::string& entry : env) drop.push_back(entry.substr(0, entry.find('=') + 1));
    env.push_back("LUMIDOCK_FAKE_ORBALYN_MARKER=" + MarkerPath());
    pid_t pid = m_program.Start(args, env, drop);
    if (pid < 0) return -2;
    int status =
        test_common::WaitForChild(&pid, std::chrono::seconds(60), std::chrono::milliseconds(10));
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string MarkerPath() const { return m_program.Root() + "/marker"; }
  std::string ErrorPath() const { return m_program.ErrorPath(); }

  harborlight_test::CInstalledProgram m_program;
};

TEST_F(HarborlightProcessTest, UninstallCallsTheLibrarysUnregisterDrive) {
  Install(FAKE_ORBALYN_NORMAL_DIR "/Orbalyn.so", "Orbalyn.so");
  EXPECT_EQ(RunProgram({"--x", "/UNINSTALL"}), 0);
  EXPECT_EQ(ReadWholeFile(MarkerPath()), "UnregisterDrive\n");
  EXPECT_EQ(ReadWholeFile(ErrorPath()), "");
}

TEST_F(HarborlightProcessTest, UninstallWithoutTheLibraryIsSilent) {
  EXPECT_EQ(RunProgram({"/uninstall"}), 0);
  EXPECT_EQ(ReadWholeFile(ErrorPath()), "");
}

TEST_F(HarborlightProcessTest, WithoutADisplayTheProgramSaysSoAndEndsWithOne) {
  Install(FAKE_ORBALYN_NORMAL_DIR "/Orbalyn.so", "Orbalyn.so");
  EXPECT_EQ(RunProgram({"/uninstallx"}), 1);
  EXPECT_NE(ReadWholeFile(ErrorPath()).find("cannot open a display"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(MarkerPath()));
}

size_t CountOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// What a newcomer sets wrong is named at start. A root that cannot hold the program's files ends
// it with 1 and says why, rather than being taken for a running copy in silence. Each bad drive
// entry is named once, on stderr and in the log.
TEST_F(HarborlightProcessTest, StartNamesAnUnusableRootAndEachBadDriveEntry) {
  Install(FAKE_ORBALYN_NORMAL_DIR "/Orbalyn.so", "Orbalyn.so");
  const std::string file = m_program.Root() + "/a-file";
  test_files::WriteWholeFile(file, "x");
  EXPECT_EQ(RunProgram({}, {"LUMIDOCK_ROOT=" + file + "/root"}), 1);
  std::string errors = ReadWholeFile(ErrorPath());
  EXPECT_EQ(CountOf(errors, "Harborlight: LUMIDOCK_ROOT=" + file + "/root cannot hold the "
                            "program's files (" + file + " is not a folder)"),
            1u)
      << errors;
  EXPECT_EQ(CountOf(errors, "cannot open a display"), 0u) << errors;
  // The superuser writes into a read-only folder, and the program rightly goes on there.
  const std::string readOnly = m_program.Root() + "/read-only";
  std::filesystem::create_directories(readOnly);
  std::filesystem::permissions(readOnly, std::filesystem::perms::owner_read |
                                             std::filesystem::perms::owner_exec);
  if (access(readOnly.c_str(), W_OK) != 0) {
    EXPECT_EQ(RunProgram({}, {"LUMIDOCK_ROOT=" + readOnly + "/root"}), 1);
    EXPECT_NE(ReadWholeFile(ErrorPath()).find("LUMIDOCK_ROOT=" + readOnly + "/root cannot hold"),
              std::string::npos);
  }

  const std::string good = m_program.Root() + "/good";
  std::filesystem::create_directories(good);
  const std::vector<std::string> bad = {"D=" + m_program.Root() + "/missing", "E=" + file,
                                        "F=relative"};
  std::string drives = "C=" + good;
  for (const std::string& entry : bad) drives += ";" + entry;
  EXPECT_EQ(RunProgram({}, {"LUMIDOCK_DRIVES=" + drives}), 1);  // no display
  errors = ReadWholeFile(ErrorPath());
  const std::string log = ReadWholeFile(m_program.Root() + "/logs/Harborlight.log");
  for (const std::string& entry : bad) {
    EXPECT_EQ(CountOf(errors, "LUMIDOCK_DRIVES: entry \"" + entry + "\""), 1u) << errors;
    EXPECT_EQ(CountOf(log, "LUMIDOCK_DRIVES: entry \"" + entry + "\""), 1u) << log;
  }
  EXPECT_EQ(CountOf(errors, "LUMIDOCK_DRIVES"), bad.size()) << errors;
  EXPECT_NE(errors.find("cannot open a display"), std::string::npos);
}

TEST_F(HarborlightProcessTest, UninstallWithTheRealLibraryRemovesItsDriveEntry) {
  for (const char* pName : {"Orbalyn.so", "dadovo.so", "folder.ico"}) {
    Install(std::string(LUMIDOCK_BIN_DIR) + "/" + pName, pName);
  }
  // The entry is made the way the program makes it: the store's backup folder is set.
  ASSERT_EQ(LoadOrbalyn(WindowsFromPosix(RealLibraryFolder::Path()).c_str()), 1);
  IOrbalynDB* pDb = GetOrbalynDB();
  ASSERT_NE(pDb, nullptr);
  std::u16string backup = WindowsFromPosix(m_program.Root() + "/home/Lumidock");
  ASSERT_EQ(pDb->SetWorkDir(backup.c_str()), S_OK);
  EXPECT_EQ(UnloadOrbalyn(), S_OK);
  ASSERT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kDriveEntryKey));

  EXPECT_EQ(RunProgram({"/uninstall"}), 0);
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kDriveEntryKey));
}

TEST_F(HarborlightProcessTest, RealLibraryThroughTheBinding) {
  EXPECT_EQ(GetOrbalynLogic(), nullptr);
  EXPECT_EQ(GetOrbalynDB(), nullptr);
  EXPECT_EQ(GetOrbalynUploader(), nullptr);
  ASSERT_EQ(LoadOrbalyn(WindowsFromPosix(RealLibraryFolder::Path()).c_str()), 1);
  EXPECT_NE(GetOrbalynLogic(), nullptr);
  EXPECT_NE(GetOrbalynDB(), nullptr);
  EXPECT_NE(GetOrbalynUploader(), nullptr);
  harborlight_test::CFakeUploadAssist assist;
  harborlight_test::CFakeUploadAssist other;
  EXPECT_EQ(RegisterUploadAssist(&assist), 1);
  EXPECT_EQ(RegisterUploadAssist(&assist), 1);
  EXPECT_EQ(RegisterUploadAssist(&other), 0);
  EXPECT_EQ(UnloadOrbalyn(), S_OK);
  EXPECT_EQ(GetOrbalynLogic(), nullptr);
  EXPECT_EQ(GetOrbalynDB(), nullptr);
  EXPECT_EQ(GetOrbalynUploader(), nullptr);
}

// The program keeps its protocol runtime to itself: nothing of it is exported.
TEST(HarborlightProgram, ExportsNoProtocolSymbols) {
  std::string command = "nm -D --defined-only '" HARBORLIGHT_PROGRAM "'";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  ASSERT_NE(pipe, nullptr);
  std::string symbols;
  char line[4096];
  size_t lines = 0;
  while (fgets(line, sizeof(line), pipe.get())) {
    ++lines;
    symbols += line;
  }
  EXPECT_GT(lines, 0u);
  EXPECT_EQ(symbols.find("protobuf"), std::string::npos);
  EXPECT_EQ(symbols.find("uimsg"), std::string::npos);
  EXPECT_EQ(symbols.find("UIBindInfo"), std::string::npos);
}

}  // namespace
