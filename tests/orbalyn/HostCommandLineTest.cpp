// The headless host as a new user first meets it: its help, a mistyped option, a sandbox root
// it cannot use, server variables it cannot read, and the names beside the numbers it prints.

#include <filesystem>
#include <string>

#include "../common/ChildCase.h"
#include "OrbalynTestSupport.h"

namespace orbalyn_test {
namespace {

using test_common::ProgramResult;
using test_common::RunProgram;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class HostCommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Run from the sandbox's runtime folder, so the library's log stays in the sandbox.
    m_host = RuntimeFolder() + "/orbalyn-host";
    std::error_code error;
    std::filesystem::create_hard_link(std::string(LUMIDOCK_BIN_DIR) + "/orbalyn-host", m_host,
                                      error);
    if (error) {
      std::filesystem::copy_file(std::string(LUMIDOCK_BIN_DIR) + "/orbalyn-host", m_host,
                                 std::filesystem::copy_options::overwrite_existing, error);
    }
    ASSERT_FALSE(error) << error.message();
    m_root = SandboxRoot() + "/host-root";
    std::filesystem::create_directories(m_root);
  }

  ProgramResult Run(const std::vector<std::string>& arguments,
                    std::vector<std::string> variables = {}) {
    variables.push_back("LUMIDOCK_ROOT=" + m_root);
    return RunProgram(m_host, arguments, variables);
  }

  std::string m_host;
  std::string m_root;
};

TEST_F(HostCommandLineTest, HelpSaysWhatItDoesAndMistakesAreUsageErrors) {
  const ProgramResult help = Run({"--help"});
  EXPECT_TRUE(help.ExitedWith(0)) << help.output;
  for (const char* pPart :
       {"runs until stopped", "LUMIDOCK_ROOT", "ORBALYN_ENTRY_SERVER", "ORBALYN_REPORT_SERVER",
        "beside Orbalyn.so", "~/.config", "2 online", "6 timed out", "bind-info <hex>"}) {
    EXPECT_TRUE(Contains(help.output, pPart)) << pPart;
  }

  // The name is checked before any value is asked for.
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {"--frobnicate"}, {"--frobnicate", "x"}, {"--backup", "b", "--frobnicate"}}) {
    const ProgramResult wrong = Run(arguments);
    EXPECT_TRUE(wrong.ExitedWith(2)) << wrong.output;
    EXPECT_TRUE(Contains(wrong.output, "unknown option --frobnicate")) << wrong.output;
    EXPECT_FALSE(Contains(wrong.output, "needs a value")) << wrong.output;
  }
  const ProgramResult noValue = Run({"--backup"});
  EXPECT_TRUE(noValue.ExitedWith(2));
  EXPECT_TRUE(Contains(noValue.output, "--backup needs a value")) << noValue.output;
}

// Running on without a place for its state would register the PC anew at every start.
TEST_F(HostCommandLineTest, UnusableSandboxRootEndsTheHostBeforeTheLibraryLoads) {
  const std::string file = SandboxRoot() + "/not-a-folder";
  test_files::WriteWholeFile(file, "x");
  for (const std::string& root : {file, std::string("/proc/self")}) {
    const ProgramResult result = RunProgram(
        m_host, {"--backup", m_root + "/backup", "--run-seconds", "5"}, {"LUMIDOCK_ROOT=" + root});
    EXPECT_TRUE(result.ExitedWith(1)) << result.output;
    EXPECT_TRUE(Contains(result.output, "LUMIDOCK_ROOT=" + root + " must be a writable folder"))
        << result.output;
    EXPECT_FALSE(Contains(result.output, "host loaded")) << result.output;
  }
}

TEST_F(HostCommandLineTest, BadServerVariablesAreSaidAndNumbersCarryTheirNames) {
  const ProgramResult result =
      Run({"--backup", m_root + "/backup", "--run-seconds", "1", "--no-qr"},
          {"ORBALYN_ENTRY_SERVER=bad host", "ORBALYN_REPORT_SERVER=report.test:0"});
  EXPECT_TRUE(result.ExitedWith(0)) << result.output;
  EXPECT_TRUE(Contains(result.output,
                       "ORBALYN_ENTRY_SERVER=\"bad host\" is not host[:port]; the built-in entry "
                       "server is kept"))
      << result.output;
  EXPECT_TRUE(Contains(result.output, "ORBALYN_REPORT_SERVER=\"report.test:0\" is not host[:port]"))
      << result.output;
  EXPECT_TRUE(Contains(result.output, "host bound, login state 1 (logging in)")) << result.output;
  EXPECT_TRUE(Contains(result.output, "logic login_state value=0 id=0 (stopped)")) << result.output;
}

}  // namespace
}  // namespace orbalyn_test
