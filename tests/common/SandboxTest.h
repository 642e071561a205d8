#pragma once
// A fixture that gives every test its own LUMIDOCK_ROOT under the temporary folder and removes
// it afterwards. Test folders derive from it to name the files they look at.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <utility>

#include "TestFiles.h"

namespace test_common {

class SandboxTest : public ::testing::Test {
 protected:
  // `prefix` names the root's folder, e.g. "logic-test".
  explicit SandboxTest(std::string prefix) : m_prefix(std::move(prefix)) {}

  void SetUp() override {
    m_root = test_files::MakeTempFolder(m_prefix);
    ASSERT_FALSE(m_root.empty());
    setenv("LUMIDOCK_ROOT", m_root.c_str(), 1);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(m_root, ignored);
  }

  const std::string& Root() const { return m_root; }

 private:
  std::string m_prefix;
  std::string m_root;
};

}  // namespace test_common
