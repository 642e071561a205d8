// What a program learns about itself: its command line, environment variables, version resource
// and thread names, and the start-up calls that only check their arguments.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "../common/SpawnChild.h"
#include "../common/TestFiles.h"
#include "win32/com.h"
#include "win32/commctrl.h"
#include "win32/environment.h"
#include "win32/exception.h"
#include "win32/module_name.h"
#include "win32/ole.h"
#include "win32/strings.h"
#include "win32/thread.h"
#include "win32/version.h"

using namespace win32;

namespace {

constexpr char kEchoFileVariable[] = "LUMIDOCK_TEST_ECHO_ARGS";

std::vector<std::u16string> ArgvOf(LPCWSTR line) {
  int count = 0;
  LPWSTR* pArgv = CommandLineToArgvW(line, &count);
  std::vector<std::u16string> words;
  if (!pArgv) return words;
  for (int i = 0; i < count; ++i) words.emplace_back(pArgv[i]);
  EXPECT_EQ(pArgv[count], nullptr);
  EXPECT_EQ(LocalFree(pArgv), nullptr);
  return words;
}

std::string ThreadComm(DWORD threadId) {
  std::ifstream in("/proc/self/task/" + std::to_string(threadId) + "/comm");
  std::string name;
  std::getline(in, name);
  return name;
}

void NameThread(DWORD threadId, const char* pName) {
  THREADNAME_INFO info{0x1000, pName, threadId, 0};
  RaiseException(MS_VC_EXCEPTION, 0, sizeof(info) / sizeof(ULONG_PTR),
                 reinterpret_cast<const ULONG_PTR*>(&info));
}

std::u16string OwnPath() {
  WCHAR path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::u16string(path, length);
}

}  // namespace

// Run only as the child of ArgumentsRoundTripThroughTheCommandLine: writes what the command line
// splits into, NUL-separated UTF-8.
TEST(CommandLineChildProcess, EchoArguments) {
  const char* pEchoFile = getenv(kEchoFileVariable);
  if (!pEchoFile) GTEST_SKIP() << "runs as a child only";
  std::ofstream out(pEchoFile, std::ios::binary);
  for (const std::u16string& word : ArgvOf(GetCommandLineW())) out << Utf16ToUtf8(word) << '\0';
}

// --- Command line ---

TEST(CommandLine, ArgumentsRoundTripThroughTheCommandLine) {
  std::string folder = test_files::MakeTempFolder("cmdline-test");
  std::string echoFile = folder + "/argv";
  std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  std::vector<std::string> args = {self,
                                   "--gtest_filter=CommandLineChildProcess.EchoArguments",
                                   "two words",
                                   "",
                                   "say \"hi\"",
                                   "C:\\trailing\\",
                                   "back\\\\\"slash",
                                   "\\\\server\\share dir\\",
                                   "备份 照片",
                                   "\t",
                                   "/UNINSTALL"};
  pid_t pid = test_common::SpawnChild(args, {std::string(kEchoFileVariable) + "=" + echoFile});
  ASSERT_GT(pid, 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  std::string echoed = test_files::ReadWholeFile(echoFile);
  std::vector<std::string> words;
  for (size_t start = 0; start < echoed.size();) {
    size_t end = echoed.find('\0', start);
    words.push_back(echoed.substr(start, end - start));
    start = end + 1;
  }
  EXPECT_EQ(words, args);
  std::filesystem::remove_all(folder);
}

TEST(CommandLine, SplitFollowsWindowsRules) {
  EXPECT_EQ(
      ArgvOf(u"\"C:\\Program Files\\a.exe\" /x \"a b\"c d\\\\\"e\" f\\g"),
      (std::vector<std::u16string>{u"C:\\Program Files\\a.exe", u"/x", u"a bc", u"d\\e", u"f\\g"}));
  EXPECT_EQ(ArgvOf(u"prog \"\" \"x\"\"y\" a\\\\\\\"b"),
            (std::vector<std::u16string>{u"prog", u"", u"x\"y", u"a\\\"b"}));
  // An empty line names the program itself.
  EXPECT_EQ(ArgvOf(u""), std::vector<std::u16string>{OwnPath()});
  int count = 0;
  EXPECT_EQ(CommandLineToArgvW(nullptr, &count), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // The same line on every call.
  EXPECT_EQ(GetCommandLineW(), GetCommandLineW());
}

// --- Environment ---

TEST(Environment, SetGetAndRemoveWholeValues) {
  const char16_t kName[] = u"LUMIDOCK_TEST_ENV";
  EXPECT_TRUE(SetEnvironmentVariableW(kName, u"照片:/usr/bin"));
  EXPECT_STREQ(getenv("LUMIDOCK_TEST_ENV"), "照片:/usr/bin");
  WCHAR small[4];
  EXPECT_EQ(GetEnvironmentVariableW(kName, small, 4), 12u);  // the size needed, NUL included
  WCHAR exact[12];
  EXPECT_EQ(GetEnvironmentVariableW(kName, exact, 12), 11u);
  EXPECT_EQ(std::u16string(exact), u"照片:/usr/bin");

  // A long value is read whole, never cut at an old limit.
  std::u16string longValue(5000, u'p');
  EXPECT_TRUE(SetEnvironmentVariableW(kName, longValue.c_str()));
  std::u16string read(GetEnvironmentVariableW(kName, nullptr, 0), u'\0');
  EXPECT_EQ(GetEnvironmentVariableW(kName, read.data(), static_cast<DWORD>(read.size())), 5000u);
  EXPECT_EQ(read.c_str(), longValue);

  EXPECT_TRUE(SetEnvironmentVariableW(kName, nullptr));
  EXPECT_EQ(GetEnvironmentVariableW(kName, exact, 12), 0u);
  EXPECT_EQ(GetLastError(), ERROR_ENVVAR_NOT_FOUND);
  EXPECT_FALSE(SetEnvironmentVariableW(u"A=B", u"x"));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// --- Version resource ---

TEST(VersionInfo, RegisteredBlockIsFoundByFileIdentity) {
  static const int kAnchor = 0;
  const VERSION_STRING strings[] = {{u"FileDescription", u"Lumidock 测试"},
                                    {u"FileVersion", u"1.2.10065.201"},
                                    {u"ProductName", u"Lumidock"}};
  ASSERT_TRUE(RegisterModuleVersionInfo(&kAnchor, 0x0804, 0x04B0, strings, 3));

  // A hard link to the program is the same file.
  std::string folder = test_files::MakeTempFolder("version-test");
  std::string link = folder + "/program";
  std::error_code error;
  std::filesystem::create_hard_link(std::filesystem::read_symlink("/proc/self/exe"), link, error);
  std::vector<std::u16string> paths = {OwnPath()};
  if (!error) paths.push_back(test_files::WindowsFromPosix(link));
  for (const std::u16string& path : paths) {
    DWORD handle = 7;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    EXPECT_EQ(handle, 0u);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> block(size);
    EXPECT_FALSE(GetFileVersionInfoW(path.c_str(), 0, size - 1, block.data()));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));

    void* pValue = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), u"\\VarFileInfo\\Translation", &pValue, &length));
    ASSERT_EQ(length, 4u);
    auto* pTranslation = static_cast<WORD*>(pValue);
    EXPECT_EQ(pTranslation[0], 0x0804);
    EXPECT_EQ(pTranslation[1], 0x04B0);
    ASSERT_TRUE(
        VerQueryValueW(block.data(), u"\\StringFileInfo\\080404B0\\fileversion", &pValue, &length));
    EXPECT_EQ(std::u16string(static_cast<WCHAR*>(pValue)), u"1.2.10065.201");
    EXPECT_EQ(length, 14u);
    ASSERT_TRUE(VerQueryValueW(block.data(), u"\\StringFileInfo\\080404b0\\FileDescription",
                               &pValue, &length));
    EXPECT_EQ(std::u16string(static_cast<WCHAR*>(pValue)), u"Lumidock 测试");
    EXPECT_FALSE(
        VerQueryValueW(block.data(), u"\\StringFileInfo\\040904b0\\FileVersion", &pValue, &length));
    EXPECT_FALSE(
        VerQueryValueW(block.data(), u"\\StringFileInfo\\080404b0\\Comments", &pValue, &length));
  }

  // Other files have none; missing files are missing.
  std::string plain = folder + "/plain.txt";
  test_files::WriteWholeFile(plain, "x");
  EXPECT_EQ(GetFileVersionInfoSizeW(test_files::WindowsFromPosix(plain).c_str(), nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
  EXPECT_EQ(
      GetFileVersionInfoSizeW(test_files::WindowsFromPosix(folder + "/none").c_str(), nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  std::filesystem::remove_all(folder);
}

// --- Thread names ---

TEST(ThreadNames, NamingExceptionSetsTheKernelNameCutAtACharacter) {
  std::thread worker([] {
    NameThread(static_cast<DWORD>(-1), "thread_main_logic");
    EXPECT_EQ(ThreadComm(GetCurrentThreadId()), "thread_main_log");
  });
  worker.join();

  // Another thread of the process, by id; a cut never splits a character.
  std::atomic<DWORD> workerId{0};
  std::atomic<bool> named{false};
  std::thread other([&] {
    workerId = GetCurrentThreadId();
    while (!named) std::this_thread::yield();
    EXPECT_EQ(ThreadComm(GetCurrentThreadId()), "a线程文件");  // 13 bytes of the 15
  });
  while (workerId == 0) std::this_thread::yield();
  NameThread(workerId, "a线程文件日志");
  named = true;
  other.join();

  // A record of another shape or an unknown id changes nothing.
  std::string before = ThreadComm(GetCurrentThreadId());
  THREADNAME_INFO wrongType{0x2000, "ignored", static_cast<DWORD>(-1), 0};
  RaiseException(MS_VC_EXCEPTION, 0, 3, reinterpret_cast<const ULONG_PTR*>(&wrongType));
  NameThread(0x7FFFFFF0, "nobody");
  EXPECT_EQ(ThreadComm(GetCurrentThreadId()), before);
}

TEST(ThreadNamesDeathTest, OtherExceptionsEndTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(RaiseException(0xDEADDEAD, EXCEPTION_NONCONTINUABLE, 0, nullptr),
               "RaiseException 0xDEADDEAD");
}

// --- Start-up calls ---

TEST(StartupCalls, OleCountsLikeComAndCommonControlsCheckTheRecord) {
  std::thread apartment([] {
    EXPECT_EQ(OleInitialize(nullptr), S_OK);
    EXPECT_EQ(OleInitialize(nullptr), S_FALSE);
    OleUninitialize();
    OleUninitialize();
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    EXPECT_EQ(OleInitialize(nullptr), RPC_E_CHANGED_MODE);
    CoUninitialize();
  });
  apartment.join();
  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), 0xFF};
  EXPECT_TRUE(InitCommonControlsEx(&controls));
  controls.dwSize = 4;
  EXPECT_FALSE(InitCommonControlsEx(&controls));
  EXPECT_FALSE(InitCommonControlsEx(nullptr));
}
