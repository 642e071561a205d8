#include "win32/shell.h"

#include <stdlib.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "win32/com.h"
#include "win32/strings.h"

using namespace win32;

namespace {

std::u16string WindowsForm(const std::string& posix) {
  std::u16string path = Utf8ToUtf16(posix);
  for (char16_t& c : path) {
    if (c == u'/') c = u'\\';
  }
  return path;
}

class ShellFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/lumidock-shell-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_root = pattern;
    setenv("LUMIDOCK_ROOT", pattern, 1);
  }
  void TearDown() override {
    unsetenv("LUMIDOCK_ROOT");
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("XDG_DATA_HOME");
    unsetenv("XDG_STATE_HOME");
    std::filesystem::remove_all(m_root);
  }

  std::string m_root;
};

// Folders come in Windows form under the sandbox root; only the create flag creates them.
TEST_F(ShellFolderTest, FoldersLiveUnderTheSandboxRoot) {
  WCHAR path[MAX_PATH];
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path),
            S_OK);
  EXPECT_EQ(std::u16string(path), WindowsForm(m_root + "/common-appdata"));
  EXPECT_FALSE(std::filesystem::exists(m_root + "/common-appdata"));

  ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_APPDATA, TRUE));
  EXPECT_EQ(std::u16string(path), WindowsForm(m_root + "/appdata"));
  EXPECT_TRUE(std::filesystem::is_directory(m_root + "/appdata"));

  char narrow[MAX_PATH];
  ASSERT_EQ(SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr,
                             SHGFP_TYPE_CURRENT, narrow),
            S_OK);
  EXPECT_EQ(Utf8ToUtf16(narrow), WindowsForm(m_root + "/local-appdata"));
  EXPECT_TRUE(std::filesystem::is_directory(m_root + "/local-appdata"));

  EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_DRIVES, nullptr, SHGFP_TYPE_CURRENT, path),
            E_INVALIDARG);
  EXPECT_FALSE(SHGetSpecialFolderPathW(nullptr, path, 0x0005, FALSE));
}

// Without a sandbox root the XDG folders are used.
TEST_F(ShellFolderTest, XdgFoldersWithoutSandboxRoot) {
  unsetenv("LUMIDOCK_ROOT");
  setenv("XDG_CONFIG_HOME", (m_root + "/config").c_str(), 1);
  setenv("XDG_DATA_HOME", (m_root + "/data").c_str(), 1);
  setenv("XDG_STATE_HOME", (m_root + "/state").c_str(), 1);
  WCHAR path[MAX_PATH];
  ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_APPDATA, TRUE));
  EXPECT_EQ(std::u16string(path), WindowsForm(m_root + "/config"));
  ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_LOCAL_APPDATA, FALSE));
  EXPECT_EQ(std::u16string(path), WindowsForm(m_root + "/data"));
  ASSERT_TRUE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_COMMON_APPDATA, TRUE));
  EXPECT_EQ(std::u16string(path), WindowsForm(m_root + "/state/lumidock/common"));
  EXPECT_TRUE(std::filesystem::is_directory(m_root + "/state/lumidock/common"));
}

// A folder path that would not fit MAX_PATH fails instead of naming a cut, different folder.
TEST_F(ShellFolderTest, OverlongFolderFailsRatherThanBeingCut) {
  std::string deep = m_root + "/" + std::string(255, 'd');
  std::filesystem::create_directories(deep);
  setenv("LUMIDOCK_ROOT", deep.c_str(), 1);
  WCHAR path[MAX_PATH];
  EXPECT_TRUE(FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path)));
  EXPECT_FALSE(SHGetSpecialFolderPathW(nullptr, path, CSIDL_APPDATA, FALSE));
}

// "My Computer" is an item list the caller frees with either allocator's free.
TEST_F(ShellFolderTest, DrivesItemListIsFreeable) {
  PIDLIST_ABSOLUTE pidl = nullptr;
  ASSERT_EQ(SHGetSpecialFolderLocation(nullptr, CSIDL_DRIVES, &pidl), S_OK);
  ASSERT_NE(pidl, nullptr);
  ASSERT_GT(pidl->mkid.cb, 2);
  const BYTE* pEnd = reinterpret_cast<const BYTE*>(pidl) + pidl->mkid.cb;
  EXPECT_EQ(pEnd[0] | pEnd[1], 0);
  SHChangeNotify(SHCNE_UPDATEITEM, SHCNF_IDLIST | SHCNF_FLUSH, pidl, nullptr);
  ILFree(pidl);
  ASSERT_EQ(SHGetFolderLocation(nullptr, CSIDL_DRIVES, nullptr, 0, &pidl), S_OK);
  CoTaskMemFree(pidl);
  EXPECT_EQ(SHGetFolderLocation(nullptr, CSIDL_APPDATA, nullptr, 0, &pidl), E_INVALIDARG);
  EXPECT_EQ(pidl, nullptr);

  EXPECT_TRUE(PathFileExistsW(WindowsForm(m_root).c_str()));
  EXPECT_FALSE(PathFileExistsW(WindowsForm(m_root + "/absent").c_str()));
}

}  // namespace
