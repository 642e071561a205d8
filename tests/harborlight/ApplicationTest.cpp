// Start-up and shutdown of the program: the phases' order against the platform library's record,
// the command-line test, the version parse, crash reporting's set-up, PATH, the failure flag,
// and tasks flowing between a worker and the main thread through the program's message pump.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <thread>
#include <vector>

#include "../common/TestFiles.h"
#include "Application.h"
#include "AsyncFrame/AsyncFrame.h"
#include "AsyncFrameTestSupport.h"
#include "Basalt/BasaltTesting.h"
#include "Basalt/Util.h"
#include "CrashReporting.h"
#include "ReportClientMgr.h"
#include "UtilCore.h"
#include "win32/com.h"
#include "win32/environment.h"
#include "win32/version.h"
#include "win32/window.h"

using namespace win32;
using asyncframe_test::CEventLog;
using asyncframe_test::Record;
using Strings = std::vector<std::string>;

namespace {

// {6B7D1E20-3C4F-4A5B-8D9E-0F1A2B3C4D5E}: registered by nobody.
constexpr CLSID kUnknownClass = {
    0x6B7D1E20, 0x3C4F, 0x4A5B, {0x8D, 0x9E, 0x0F, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}};

std::u16string ProgramFolderPosix() {
  std::u16string folder = test_files::WindowsFromPosix(HARBORLIGHT_TESTS_DIR);
  for (char16_t& c : folder) {
    if (c == u'\\') c = u'/';
  }
  return folder;
}

class ApplicationTest : public testing::Test {
 protected:
  void SetUp() override {
    m_root = test_files::MakeTempFolder("harborlight-app-test");
    setenv("LUMIDOCK_ROOT", m_root.c_str(), 1);
    const char* pPath = getenv("PATH");
    m_path = pPath ? pPath : "";
    BasaltTesting::Reset();
  }
  void TearDown() override {
    setenv("PATH", m_path.c_str(), 1);
    BasaltTesting::Reset();
    std::filesystem::remove_all(m_root);
  }

  std::string m_root;
  std::string m_path;
};

TEST_F(ApplicationTest, PhasesBootAndShutDownInOrder) {
  CApplication application;
  ASSERT_FALSE(application.Failed());
  EXPECT_EQ(application.PreMessageLoop(), TRUE);
  EXPECT_EQ(BasaltTesting::Calls(),
            (Strings{"SetMainAndLogicThreadId", "CreateObjectFromDllFile", "InitPlatform",
                     "InitPlatformFileSystem", "InitPlatformI18NConfig", "InitPlatformCoreConfig",
                     "SetCustomObjectFactory", "InitPlatformLqConfig"}));
  EXPECT_EQ(Util::Misc::GetMainThreadId(), GetCurrentThreadId());
  EXPECT_EQ(Util::Lq::GetCustomObjectFactory(), &Util::Core::CreateObject);
  for (int id = AsyncFrame::kThreadMain; id <= AsyncFrame::kThreadLogicLongTask; ++id) {
    AsyncFrame::MessageLoopProxy* pProxy = AsyncFrame::GetThreadProxy(id);
    ASSERT_NE(pProxy, nullptr);
    pProxy->Release();
  }
  EXPECT_EQ(GetReportClientMgr()->UserCountForTesting(), 1);
  std::string path = getenv("PATH");
  EXPECT_EQ(path, test_files::PosixFromWindows(ProgramFolderPosix()) + ":" + m_path);

  // The factory asks the running core: an unknown class is refused without an assertion.
  void* pObject = nullptr;
  EXPECT_FALSE(Util::Core::CreateObject(kUnknownClass, kUnknownClass, &pObject));
  EXPECT_EQ(BasaltTesting::AssertCount(), 0);

  application.PostMessageLoop();
  Strings calls = BasaltTesting::Calls();
  EXPECT_EQ(Strings(calls.begin() + 8, calls.end()),
            (Strings{"OnExitCoreCenter", "OnExitWinMain", "OnUninitCom", "Shutdown"}));
  for (int id = AsyncFrame::kThreadMain; id <= AsyncFrame::kThreadLogicLongTask; ++id) {
    EXPECT_EQ(AsyncFrame::GetThreadProxy(id), nullptr);
  }
  EXPECT_EQ(GetReportClientMgr()->UserCountForTesting(), 0);
  IKwCore* pCore = nullptr;
  EXPECT_EQ(Util::Core::GetPlatformCore(&pCore), E_FAIL);
  // Without a core the factory asserts and refuses.
  EXPECT_FALSE(Util::Core::CreateObject(kUnknownClass, kUnknownClass, &pObject));
  EXPECT_EQ(BasaltTesting::LastAssert(),
            "! L\"CreateObject时Util::Core::GetCurrentCore失败.\" (UtilCore:103)");
}

// A worker's task posts to the main thread, whose tasks run inside the program's message pump;
// the last one ends the pump.
TEST_F(ApplicationTest, WorkerAndMainThreadTasksMeetInTheMessagePump) {
  CEventLog log;
  std::thread main([&log] {
    CApplication application;
    application.PreMessageLoop();
    DWORD mainThread = GetCurrentThreadId();
    ASSERT_TRUE(AsyncFrame::PostTaskToThread(
        AsyncFrame::kThreadMainLogic, FROM_HERE, Record(&log, "worker", [&log, mainThread] {
          AsyncFrame::PostTaskToThread(AsyncFrame::kThreadMain, FROM_HERE,
                                       Record(&log, "main", [&log, mainThread] {
                                         if (GetCurrentThreadId() != mainThread) log.Add("wrong");
                                         PostQuitMessage(0);
                                       }));
        })));
    CApplication::PumpMessages();
    application.PostMessageLoop();
  });
  main.join();
  EXPECT_EQ(asyncframe_test::Runs(log.Events()), (Strings{"worker", "main"}));
}

// A module whose COM start failed: no command line, no loop, both phases still run; -1.
TEST_F(ApplicationTest, FailureFlagSkipsTheLoopAndAnswersMinusOne) {
  std::thread other([] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    {
      CApplication application;
      EXPECT_TRUE(application.Failed());
      EXPECT_EQ(application.Run(), CApplication::kFailedExitCode);
    }
    CoUninitialize();
  });
  other.join();
  Strings calls = BasaltTesting::Calls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.front(), "SetMainAndLogicThreadId");
  EXPECT_EQ(calls.back(), "Shutdown");
}

TEST_F(ApplicationTest, ProgramFolderGoesFirstInPathWholeAndInPosixForm) {
  std::string folder = test_files::PosixFromWindows(ProgramFolderPosix());
  std::string longPath(5000, 'p');
  setenv("PATH", longPath.c_str(), 1);
  CApplication::PutProgramFolderFirstInPath();
  EXPECT_EQ(std::string(getenv("PATH")), folder + ":" + longPath);
  // An empty PATH gets no empty entry, which would mean the working folder.
  setenv("PATH", "", 1);
  CApplication::PutProgramFolderFirstInPath();
  EXPECT_EQ(std::string(getenv("PATH")), folder);
  unsetenv("PATH");
  CApplication::PutProgramFolderFirstInPath();
  EXPECT_EQ(std::string(getenv("PATH")), folder);
}

TEST(CommandLineTest, UninstallIsAWholeArgumentInAnyCase) {
  EXPECT_TRUE(CApplication::HasUninstallArgument(u"\\opt\\hl\\Harborlight /UNINSTALL"));
  EXPECT_TRUE(CApplication::HasUninstallArgument(u"Harborlight x /Uninstall y"));
  EXPECT_TRUE(CApplication::HasUninstallArgument(u"/uninstall"));  // the program path counts
  EXPECT_TRUE(CApplication::HasUninstallArgument(u"Harborlight \"/uninstall\""));
  EXPECT_FALSE(CApplication::HasUninstallArgument(u"Harborlight /uninstallx"));
  EXPECT_FALSE(CApplication::HasUninstallArgument(u"Harborlight \"a /uninstall\""));
  EXPECT_FALSE(CApplication::HasUninstallArgument(u"\"\\x /uninstall\\Harborlight\" /regrun"));
  EXPECT_FALSE(CApplication::HasUninstallArgument(u""));
}

TEST(CrashReportingTest, FileVersionParse) {
  auto parse = [](const char16_t* pText) {
    FileVersion v = ParseFileVersion(pText);
    return std::vector<uint32_t>{v.major, v.minor, v.build};
  };
  EXPECT_EQ(parse(u"1.2.10065.201"), (std::vector<uint32_t>{1, 2, 10065}));
  EXPECT_EQ(parse(u"3.4.5"), (std::vector<uint32_t>{3, 4, 5}));
  EXPECT_EQ(parse(u""), (std::vector<uint32_t>{1, 0, 0}));
  EXPECT_EQ(parse(u"7.8"), (std::vector<uint32_t>{1, 0, 0}));
  EXPECT_EQ(parse(nullptr), (std::vector<uint32_t>{1, 0, 0}));
  EXPECT_EQ(parse(u"65537.2.3"), (std::vector<uint32_t>{1, 2, 3}));  // kept as 16 bits
}

TEST(CrashReportingTest, SetUpFromTheProgramsOwnVersionResource) {
  BasaltTesting::Reset();
  // This test program has no resource: empty texts, version 1.0.0.
  EXPECT_EQ(InitCrashReporting(u"Harborlight"), 1);
  BasaltTesting::BugReport report = BasaltTesting::LastBugReport();
  EXPECT_EQ(report.name, u"Harborlight");
  EXPECT_EQ(report.description, u"");
  EXPECT_EQ(report.major, 1);
  EXPECT_EQ(report.minor, 0);
  EXPECT_EQ(report.build, 0u);
  EXPECT_EQ(report.commandLine, std::u16string(GetCommandLineW()));
  EXPECT_EQ(report.modulePath,
            test_files::WindowsFromPosix(std::filesystem::read_symlink("/proc/self/exe")));
  EXPECT_EQ(report.flag1, 1);
  EXPECT_EQ(report.flag2, 1);
  EXPECT_EQ(report.language, 2052);
  EXPECT_EQ(report.reserved, 0);
  EXPECT_TRUE(report.noCallback);
  EXPECT_EQ(report.uin, 10000u);
  EXPECT_TRUE(report.validated);
  EXPECT_EQ(BasaltTesting::Calls(),
            (Strings{"InitBugReport", "SetBugReportUin", "ValidateBugReport"}));

  static const int kAnchor = 0;
  const VERSION_STRING strings[] = {{u"FileDescription", u"Lumidock photo backup"},
                                    {u"FileVersion", u"1.2.10065.201"}};
  ASSERT_TRUE(RegisterModuleVersionInfo(&kAnchor, 0x0804, 0x04B0, strings, 2));
  InitCrashReporting(u"Harborlight");
  report = BasaltTesting::LastBugReport();
  EXPECT_EQ(report.description, u"Lumidock photo backup");
  EXPECT_EQ(report.major, 1);
  EXPECT_EQ(report.minor, 2);
  EXPECT_EQ(report.build, 10065u);
  BasaltTesting::Reset();
}

}  // namespace
