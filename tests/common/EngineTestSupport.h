#pragma once
// Pieces shared by the test binaries that link the library's parts directly (phone road,
// server road): the settings file seeded before the store opens, the library log, a barrier on
// the I/O thread, and a process-wide folder for the log.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace test_common {

// What the settings file holds before the store opens.
struct SettingsSeed {
  struct Device {
    int64_t id = 0;
    std::string key;  // 16 characters, or the store skips the device
    std::u16string name;
  };
  int64_t pcId = 0;  // 0 leaves the PC unregistered
  std::string idKey;
  std::vector<Device> devices;  // bound phones (state 4 once loaded)
};

// Replaces the settings file of the current sandbox root with `seed`. False when a write failed.
bool WriteSettingsSeed(const SettingsSeed& seed);
// The settings file of the current sandbox root, as a POSIX path ("" when it has none).
std::string SettingsFilePosixPath();
// The text of the library log written so far in this process.
std::string LogText();
// Returns once the I/O thread has handled everything queued before the call.
bool DrainIoThread(std::chrono::milliseconds timeout = std::chrono::seconds(20));

// One temporary folder for the whole run, holding the library log (as module `moduleName`);
// with `isSandboxRoot` it is also the process's LUMIDOCK_ROOT. Removed at the end.
class LogFolderEnvironment : public ::testing::Environment {
 public:
  LogFolderEnvironment(std::string prefix, std::string moduleName, bool isSandboxRoot);
  void SetUp() override;
  void TearDown() override;

 private:
  std::string m_prefix;
  std::string m_moduleName;
  bool m_isSandboxRoot;
  std::string m_folder;
};

}  // namespace test_common
