// The change-folder window with the real Orbalyn.so in the sandbox root: it shows the stored
// folder, the folder stored after host command 11, the same folder after a cancelled choice; and
// with no library, an empty box whose button still asks the host.

#include <gtest/gtest.h>

#include <filesystem>

#include "CChangeBackupDir.h"
#include "CachedOrbalynDB.h"
#include "OrbalynBinding.h"
#include "UiTestSupport.h"
#include "WindowHelpers.h"

using namespace win32;
using namespace ui_test;

namespace {

// The main window's part: command 11 chooses a folder (or is cancelled) and stores it with the
// product folder appended.
class CTestHost final : public IPageHost {
 public:
  HRESULT Command(int code, void*) override {
    m_commands.push_back(code);
    if (code == 11 && !m_nextChoice.empty()) {
      std::u16string folder = m_nextChoice + u"\\Lumidock";
      if (IOrbalynDB* pDB = CachedOrbalynDB::Get()) pDB->SetWorkDir(folder.c_str());
    }
    return S_OK;
  }

  std::vector<int> m_commands;
  std::u16string m_nextChoice;  // empty: the browser is cancelled
};

class ChangeBackupDirTest : public CUiTest {
 protected:
  void TearDown() override {
    CachedOrbalynDB::Clear();
    UnloadOrbalyn();
    CUiTest::TearDown();
  }

  std::u16string SandboxFolder(const std::string& name) {
    std::filesystem::create_directories(Root() + "/" + name);
    return WindowsFromPosix(Root() + "/" + name);
  }
};

TEST_F(ChangeBackupDirTest, ShowsTheStoredFolderTheNewOneAndKeepsItOnCancel) {
  ASSERT_EQ(LoadOrbalyn(WindowsFromPosix(LUMIDOCK_BIN_DIR).c_str()), 1);
  IOrbalynDB* pDB = CachedOrbalynDB::Get();
  ASSERT_NE(pDB, nullptr);
  std::u16string stored = SandboxFolder("photos") + u"\\Lumidock";
  ASSERT_EQ(pDB->SetWorkDir(stored.c_str()), S_OK);
  std::u16string dir;
  ASSERT_TRUE(ReadWorkDir(&dir));
  ASSERT_EQ(dir, stored);

  CTestHost host;
  std::u16string chosen = SandboxFolder("elsewhere");
  std::vector<std::u16string> shown;
  auto note = [&](ILqElement* pWindow) { shown.push_back(TextOf(Find(pWindow, u"ID_EDIT_DIR"))); };
  Script().PushCall(note);
  Script().PushCall([&](ILqElement*) { host.m_nextChoice = chosen; });
  Script().PushClick(u"ID_BTN_CHANGEDIR");
  Script().PushCall(note);
  Script().PushCall([&](ILqElement*) { host.m_nextChoice.clear(); });
  Script().PushClick(u"ID_BTN_CHANGEDIR");
  Script().PushCall(note);
  Script().PushClose();
  CChangeBackupDir window(&host);
  EXPECT_TRUE(window.Create(Frame(u"ChangeDirWindow").c_str(), nullptr, nullptr));
  EXPECT_EQ(shown, (std::vector<std::u16string>{stored, chosen + u"\\Lumidock",
                                                 chosen + u"\\Lumidock"}));
  EXPECT_EQ(host.m_commands, (std::vector<int>{11, 11}));
  EXPECT_TRUE(Script().Failures().empty());
}

TEST_F(ChangeBackupDirTest, WithoutAStoreTheBoxIsEmptyAndTheButtonStillAsks) {
  ASSERT_EQ(CachedOrbalynDB::Get(), nullptr);
  std::u16string dir = u"left over";
  EXPECT_FALSE(ReadWorkDir(&dir));
  EXPECT_EQ(dir, u"");
  CTestHost host;
  std::u16string shown = u"?";
  Script().PushClick(u"ID_BTN_CHANGEDIR");
  Script().PushCall([&](ILqElement* pWindow) { shown = TextOf(Find(pWindow, u"ID_EDIT_DIR")); });
  Script().PushClose();
  CChangeBackupDir window(&host);
  EXPECT_TRUE(window.Create(Frame(u"ChangeDirWindow").c_str(), nullptr, nullptr));
  EXPECT_EQ(shown, u"");
  EXPECT_EQ(host.m_commands, (std::vector<int>{11}));
  // A layout that cannot be built shows nothing and answers false.
  EXPECT_FALSE(window.Create(Frame(u"NoSuchFrame").c_str(), nullptr, nullptr));
  EXPECT_EQ(Script().PendingSteps(), 0u);
}

TEST_F(ChangeBackupDirTest, ModuleFolderAndLayoutHelper) {
  std::u16string dir;
  ASSERT_TRUE(GetModuleDir(&dir));
  EXPECT_EQ(dir, WindowsFromPosix(std::filesystem::canonical("/proc/self/exe").parent_path().string()) +
                     u"\\");
  ILqElement* pWindow = nullptr;
  EXPECT_EQ(CreateLqElementFromLayout(Frame(u"PHOTO").c_str(), IID_ILqWindow,
                                      reinterpret_cast<void**>(&pWindow), nullptr, nullptr),
            E_FAIL);  // a tile is no window
  ASSERT_EQ(CreateLqElementFromLayout(Frame(u"ChangeDirWindow").c_str(), IID_ILqWindow,
                                      reinterpret_cast<void**>(&pWindow), nullptr, m_pCore),
            S_OK);
  pWindow->Close();
  pWindow->Release();
}

}  // namespace
