// The binding of the logic library on fake modules (one per build folder), and of the IPC
// library present and missing.

#include <gtest/gtest.h>

#include <string>

#include "../common/TestFiles.h"
#include "FakeUploadAssist.h"
#include "IPC/CZyIpcPipe.h"
#include "LibraryPath.h"
#include "OrbalynBinding.h"
#include "win32/module.h"
#include "win32/oleauto.h"

using namespace win32;
using test_files::WindowsFromPosix;

namespace {

bool OrbalynLoaded() {
  HMODULE hModule = nullptr;
  return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, u"Orbalyn.dll",
                            &hModule) != FALSE;
}

void ExpectUnbound() {
  EXPECT_EQ(GetOrbalynLogic(), nullptr);
  EXPECT_EQ(GetOrbalynDB(), nullptr);
  EXPECT_EQ(GetOrbalynUploader(), nullptr);
  EXPECT_EQ(RegisterUploadAssist(nullptr), 0);
  EXPECT_FALSE(OrbalynLoaded());
}

TEST(OrbalynBinding, LoadsStartsHandsOutAndUnloads) {
  ExpectUnbound();
  EXPECT_EQ(UnloadOrbalyn(), 0);  // not bound: nothing happens
  // A folder without its trailing backslash still names the library inside it.
  std::u16string folder = WindowsFromPosix(FAKE_ORBALYN_NORMAL_DIR);
  ASSERT_NE(folder.back(), u'\\');
  ASSERT_EQ(LoadOrbalyn(folder.c_str()), 1);
  EXPECT_TRUE(OrbalynLoaded());
  IOrbalynLogic* pLogic = GetOrbalynLogic();
  ASSERT_NE(pLogic, nullptr);
  EXPECT_EQ(GetOrbalynDB(), nullptr);  // the fake has no store
  // Bound already: a second load changes nothing.
  EXPECT_EQ(LoadOrbalyn(folder.c_str()), 0);
  EXPECT_EQ(GetOrbalynLogic(), pLogic);

  harborlight_test::CFakeUploadAssist assist;
  harborlight_test::CFakeUploadAssist other;
  EXPECT_EQ(RegisterUploadAssist(&assist), 1);
  EXPECT_EQ(RegisterUploadAssist(&assist), 1);
  EXPECT_EQ(RegisterUploadAssist(&other), 0);

  EXPECT_EQ(UnloadOrbalyn(), 7);  // the root's Stop result
  ExpectUnbound();
  EXPECT_EQ(UnloadOrbalyn(), 0);
}

TEST(OrbalynBinding, BrokenLibrariesLeaveNothingBound) {
  for (const char* pFolder : {FAKE_ORBALYN_NO_ROOT_EXPORT_DIR, FAKE_ORBALYN_NULL_ROOT_DIR,
                              FAKE_ORBALYN_START_FAILS_DIR, "/nonexistent/folder/"}) {
    SCOPED_TRACE(pFolder);
    EXPECT_EQ(LoadOrbalyn(WindowsFromPosix(pFolder).c_str()), 0);
    ExpectUnbound();
    EXPECT_EQ(UnloadOrbalyn(), 0);
  }
  // Still bindable afterwards.
  ASSERT_EQ(LoadOrbalyn(WindowsFromPosix(FAKE_ORBALYN_NORMAL_DIR).c_str()), 1);
  EXPECT_EQ(UnloadOrbalyn(), 7);
}

TEST(LibraryPath, FolderBackslashAndProgramFolder) {
  EXPECT_EQ(LibraryPathInFolder(u"\\opt\\hl", u"Orbalyn.dll"), u"\\opt\\hl\\Orbalyn.dll");
  EXPECT_EQ(LibraryPathInFolder(u"\\opt\\hl\\", u"ZyIpc.dll"), u"\\opt\\hl\\ZyIpc.dll");
  std::u16string own = WindowsFromPosix(HARBORLIGHT_TESTS_DIR "/Orbalyn.dll");
  EXPECT_EQ(LibraryPathInFolder(nullptr, u"Orbalyn.dll"), own);
  EXPECT_EQ(LibraryPathInFolder(u"", u"Orbalyn.dll"), own);
}

// Missing first (nothing loaded yet in this process), then present from the runtime folder.
TEST(ZyIpcBinding, MissingLibraryLeavesThePipeClosedPresentOneOpensIt) {
  const ZyIpcPipeConfig config{23, 1, 80};
  IPC::CZyIpcPipe missing(config, WindowsFromPosix(FAKE_ORBALYN_NORMAL_DIR).c_str(), nullptr);
  EXPECT_FALSE(missing.IsOpen());
  BSTR name = nullptr;
  ZyIpcPipeConfig seen{};
  BOOL connected = TRUE;
  DWORD value = 0;
  BYTE byte = 0;
  for (HRESULT hr :
       {missing.Connect(10), missing.Disconnect(), missing.IsConnected(&connected),
        missing.Send(&byte, 1), missing.Receive(&byte, 1, &value), missing.GetPendingBytes(&value),
        missing.GetName(&name), missing.GetConfig(&seen), missing.SetTimeout(1),
        missing.GetTimeout(&value), missing.Advise(nullptr), missing.Unadvise(), missing.Flush(),
        missing.Reset()}) {
    EXPECT_EQ(hr, IPC::CZyIpcPipe::kNoPipe);
  }

  std::u16string runtime = WindowsFromPosix(LUMIDOCK_BIN_DIR);
  IPC::CZyIpcPipe pipe(config, runtime.c_str(), nullptr);
  ASSERT_TRUE(pipe.IsOpen());
  EXPECT_EQ(pipe.Open(config, runtime.c_str(), u"other"), 1);  // held already
  ASSERT_EQ(pipe.GetName(&name), S_OK);
  EXPECT_EQ(std::u16string(name), u"wexbrisken");
  SysFreeString(name);
  ASSERT_EQ(pipe.GetConfig(&seen), S_OK);
  EXPECT_EQ(seen.dwParam1, 23u);
  EXPECT_EQ(seen.dwParam2, 1u);
  EXPECT_EQ(seen.dwParam3, 80u);
  // Nobody serves the name: the pipe holds nothing and connects to nothing.
  EXPECT_EQ(pipe.Connect(10), HRESULT_FROM_WIN32(233));
  EXPECT_EQ(pipe.IsConnected(&connected), S_OK);
  EXPECT_FALSE(connected);
  EXPECT_EQ(pipe.SetTimeout(250), S_OK);
  EXPECT_EQ(pipe.GetTimeout(&value), S_OK);
  EXPECT_EQ(value, 250u);

  // Loaded already: a named pipe comes from the same module, wherever the folder points.
  IZyIpcPipe* pNamed = nullptr;
  ASSERT_TRUE(ConnectZyIpcPipe(config, &pNamed, u"\\nonexistent", u"lumidock-test"));
  ASSERT_EQ(pNamed->GetName(&name), S_OK);
  EXPECT_EQ(std::u16string(name), u"lumidock-test");
  SysFreeString(name);
  pNamed->Release();

  pipe.Close();
  EXPECT_FALSE(pipe.IsOpen());
  EXPECT_EQ(pipe.GetName(&name), IPC::CZyIpcPipe::kNoPipe);
}

}  // namespace
