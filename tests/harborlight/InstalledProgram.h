#pragma once
// The program as it is shipped, in a sandbox of its own: LUMIDOCK_ROOT is a new temporary
// folder, and the program runs from its "bin" folder with the layer's libraries beside it
// (RUNPATH $ORIGIN); a test adds the library variant it needs.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "../common/SpawnChild.h"
#include "../common/TestFiles.h"

namespace harborlight_test {

class CInstalledProgram {
 public:
  CInstalledProgram() {
    m_root = test_files::MakeTempFolder("harborlight-program");
    EXPECT_FALSE(m_root.empty());
    setenv("LUMIDOCK_ROOT", m_root.c_str(), 1);
    m_bin = m_root + "/bin";
    std::filesystem::create_directories(m_bin);
    Install(HARBORLIGHT_PROGRAM, "Harborlight");
    for (const char* pName : {"libwin32.so", "libwin32-gtk.so"}) {
      Install(std::string(LUMIDOCK_BIN_DIR) + "/" + pName, pName);
    }
  }
  CInstalledProgram(const CInstalledProgram&) = delete;
  CInstalledProgram& operator=(const CInstalledProgram&) = delete;
  ~CInstalledProgram() { std::filesystem::remove_all(m_root); }

  void Install(const std::string& from, const std::string& name) {
    std::filesystem::copy_file(from, m_bin + "/" + name,
                               std::filesystem::copy_options::overwrite_existing);
  }
  // What the windows need beside the program: the layout file, the pictures, the icon, and the
  // statistics library (its spool is <root>/statistics/spool.bin).
  void InstallWindowFiles() {
    const std::string bin = LUMIDOCK_BIN_DIR;
    std::filesystem::create_directories(m_bin + "/layout");
    Install(bin + "/layout/Harborlight.xml", "layout/Harborlight.xml");
    std::filesystem::copy(bin + "/res", m_bin + "/res", std::filesystem::copy_options::recursive);
    for (const char* pName : {"Harborlight.ico", "dadovo.so"}) Install(bin + "/" + pName, pName);
  }

  // Starts the installed program; its standard error goes to ErrorPath(). The child's id, or -1.
  pid_t Start(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {},
              const std::vector<std::string>& dropEnv = {}) const {
    std::vector<std::string> argStrings = {m_bin + "/Harborlight"};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    return test_common::SpawnChild(argStrings, extraEnv, dropEnv, ErrorPath());
  }

  const std::string& Root() const { return m_root; }
  std::string ErrorPath() const { return m_root + "/stderr"; }

 private:
  std::string m_root;
  std::string m_bin;
};

}  // namespace harborlight_test
