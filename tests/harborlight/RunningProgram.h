#pragma once
// The installed program run with its windows and its test port (driven through harbor-drive),
// for the tests on a display; a tray runs when the harness started trayer.

#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "../common/ChildWait.h"
#include "../common/ReportSpool.h"
#include "../common/TestFiles.h"
#include "../x11/X11TestSupport.h"
#include "InstalledProgram.h"
#include "win32/base.h"

namespace harborlight_test {

using Strings = std::vector<std::string>;

// What a command prints, or "" when it cannot run.
inline std::string ToolOutput(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return "";
  std::string output;
  char buffer[256];
  while (fgets(buffer, sizeof buffer, pipe.get())) output += buffer;
  return output;
}

// The program run with its windows and its test port; a tray runs (the harness's trayer).
class CRunningProgram {
 public:
  // `library`: the Orbalyn.so it runs with.
  explicit CRunningProgram(const std::string& library) {
    m_program.Install(library, "Orbalyn.so");
    m_program.InstallWindowFiles();
    std::filesystem::create_directories(m_program.Root() + "/port");
    std::filesystem::permissions(m_program.Root() + "/port", std::filesystem::perms::owner_all);
    m_socket = m_program.Root() + "/port/harborlight";
  }
  CRunningProgram(const CRunningProgram&) = delete;
  CRunningProgram& operator=(const CRunningProgram&) = delete;
  ~CRunningProgram() {
    if (m_pid > 0) test_common::WaitForChild(&m_pid, std::chrono::seconds(0), {});
  }

  // Starts it and waits until its test port answers; false when it does not come up.
  bool Start(const Strings& args = {}, Strings environment = {}) {
    environment.push_back("HARBORLIGHT_TESTPORT=" + m_socket);
    m_pid = m_program.Start(args, environment);
    return m_pid > 0 &&
           x11_test::WaitUntil([&] { return Raw(R"({"cmd":"tray"})").rfind("{", 0) == 0; }, 15000);
  }
  // Another start of the same installation, waited for; its wait status.
  int StartAnother(const Strings& args = {}) {
    pid_t pid = m_program.Start(args);
    return test_common::WaitForChild(&pid, std::chrono::seconds(20), std::chrono::milliseconds(5));
  }
  // Waits for the end; the wait status, -1 on time-out.
  int Wait() {
    return test_common::WaitForChild(&m_pid, std::chrono::seconds(20),
                                     std::chrono::milliseconds(5));
  }

  // One test-port command through harbor-drive; what it printed ("" when it failed).
  std::string Port(const std::string& command) {
    return ToolOutput(std::string(HARBOR_DRIVE) + " --socket " + m_socket + " " + command +
                      " 2>/dev/null");
  }
  std::string Raw(const std::string& json) { return Port("raw '" + json + "'"); }
  // Thumbnails asked of the program's decoder and not yet on their tiles; -1 when the port does
  // not say.
  int DecodesInFlight() {
    const std::string reply = Raw(R"({"cmd":"decodes"})");
    int inFlight = -1;
    return sscanf(reply.c_str(), R"({"ok":true,"inFlight":%d)", &inFlight) == 1 ? inFlight : -1;
  }
  // Waits until none is (20 s at most), so that tiles show the pictures they keep.
  bool WaitDecodes() {
    return x11_test::WaitUntil([&] { return DecodesInFlight() == 0; }, 20000);
  }
  // A window's handle as the test port tells it; null when there is no such window.
  win32::HWND Window(const std::string& window) {
    std::string tree = Raw(R"({"cmd":"tree","window":")" + window + R"("})");
    size_t at = tree.find("\"hwnd\":");
    return at == std::string::npos
               ? nullptr
               : reinterpret_cast<win32::HWND>(static_cast<uintptr_t>(strtoull(tree.c_str() + at + 7,
                                                                        nullptr, 10)));
  }
  // The tray icon's centre on screen; false while the tray has not placed it.
  bool TrayIconCentre(int* pX, int* pY) {
    std::string reply = Raw(R"({"cmd":"tray"})");
    int left = 0, top = 0, right = 0, bottom = 0;
    if (sscanf(reply.c_str(), "{\"ok\":true,\"area\":[%d,%d,%d,%d]", &left, &top, &right,
               &bottom) != 4) {
      return false;
    }
    *pX = (left + right) / 2;
    *pY = (top + bottom) / 2;
    return true;
  }
  bool ClickTray(int button) {
    int x = 0, y = 0;
    if (!x11_test::WaitUntil([&] { return TrayIconCentre(&x, &y); }, 10000)) return false;
    return x11_test::RunTool({"xdotool", "mousemove", std::to_string(x), std::to_string(y),
                              "click", std::to_string(button)});
  }
  // The tray menu's "退出"; the wait status, -1 when the menu did not come up.
  int ExitFromTrayMenu() {
    if (!ClickTray(3) ||
        !x11_test::WaitUntil([&] { return Window("HARBORMAST_TRAYMAINFRAME") != nullptr; })) {
      return -1;
    }
    Port("menu-click 2");
    return Wait();
  }
  // Reports of that id in the statistics spool.
  size_t Reports(uint16_t id) { return ReportRecords(id).size(); }
  // The user-interface records of the reports with that id, in order.
  std::vector<std::string> ReportRecords(uint16_t id) {
    return test_common::UiRecordsOf(m_program.Root() + "/statistics/spool.bin", id);
  }
  std::string Errors() { return test_files::ReadWholeFile(m_program.ErrorPath()); }
  pid_t Pid() const { return m_pid; }
  CInstalledProgram& Installed() { return m_program; }
  const std::string& Root() const { return m_program.Root(); }

 private:
  CInstalledProgram m_program;
  std::string m_socket;
  pid_t m_pid = -1;
};

// Where a picture of that name goes: the artifacts folder the harness names.
inline std::string ArtifactPath(const std::string& name) {
  const char* pFolder = getenv("LUMIDOCK_ARTIFACTS");
  return std::string(pFolder ? pFolder : ".") + "/" + name + ".png";
}

}  // namespace harborlight_test
