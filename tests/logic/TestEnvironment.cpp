// The registry folder is settled by the first registry call of a process. It is pinned here,
// before any test picks its own root, to a folder of the process's own that goes at the end:
// otherwise the first test's root would be recreated after that test removed it.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "win32/registry.h"

namespace {

class RegistryFolderEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "logic-registry-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    m_root = pattern;
    setenv("LUMIDOCK_ROOT", m_root.c_str(), 1);
    win32::HKEY hKey = nullptr;
    if (win32::RegOpenKeyExW(win32::HKEY_LOCAL_MACHINE, u"Software", 0, win32::KEY_READ, &hKey) ==
        win32::ERROR_SUCCESS) {
      win32::RegCloseKey(hKey);
    }
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(m_root, ignored);
  }

 private:
  std::string m_root;
};

::testing::Environment* const g_registryEnvironment =
    ::testing::AddGlobalTestEnvironment(new RegistryFolderEnvironment);

}  // namespace
