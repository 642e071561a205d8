// The program as a process without a display: the "/uninstall" road with a fake library that
// leaves a mark, with the real library after its drive entry was made, and with none; the end
// without a display. The program runs from a folder of its own (a copy with the layer and the
// library beside it). Also the real library through the program's binding.

#include <gtest/gtest.h>
#include <sys/wait.h>

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

  // Runs the installed program without a display; its exit status (-1 when it had to be killed).
  int RunProgram(const std::vector<std::string>& args) {
    pid_t pid = m_program.Start(args, {"LUMIDOCK_FAKE_ORBALYN_MARKER=" + MarkerPath()},
                                {"DISPLAY=", "WAYLAND_DISPLAY="});
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
