// The real Orbalyn.so through the layer's LoadLibraryW: its export table, the root object's
// identity and reference rules, the getters before Start and after Stop, and Start and Stop
// repeated across two loads in one process.

#include <stdio.h>

#include <set>
#include <sstream>
#include <string>

#include "OrbalynTestSupport.h"

namespace orbalyn_test {
namespace {

const win32::IID kOtherIid = {0x12345678, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};

class RootObjectTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_library.Load()); }
  void TearDown() override {
    if (m_library.Root()) m_library.Root()->Stop();
    m_library.Unload();
  }

  IOrbalyn* Root() { return m_library.Root(); }

  CLoadedOrbalyn m_library;
};

// The module shows nothing but its four entry points: no protobuf, statistics-client or
// template symbol can bind across images.
TEST_F(RootObjectTest, ExportsExactlyTheFourEntryPoints) {
  std::string command = std::string("nm -D --defined-only '") + ORBALYN_MODULE_PATH + "'";
  FILE* pPipe = popen(command.c_str(), "r");
  ASSERT_NE(pPipe, nullptr);
  std::set<std::string> names;
  char line[4096];
  while (fgets(line, sizeof(line), pPipe)) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    size_t space = text.rfind(' ');
    names.insert(space == std::string::npos ? text : text.substr(space + 1));
  }
  ASSERT_EQ(pclose(pPipe), 0);
  EXPECT_EQ(names, (std::set<std::string>{"DoInstallReport", "DoUninstallReport", "GetIOrbalyn",
                                          "UnregisterDrive"}));
  for (const char* pName :
       {kGetIOrbalynName, kUnregisterDriveName, kDoInstallReportName, kDoUninstallReportName}) {
    EXPECT_NE(win32::GetProcAddress(m_library.Module(), pName), nullptr) << pName;
  }
  EXPECT_EQ(win32::GetProcAddress(m_library.Module(), "GetReportClientMgr"), nullptr);
  EXPECT_EQ(win32::GetLastError(), 127u);
}

// The root is static: one object, no counting, QueryInterface without a reference.
TEST_F(RootObjectTest, RootIsOneStaticObjectAnsweringItsOwnIdsOnly) {
  auto pGetRoot = m_library.Export<GetIOrbalynFn>(kGetIOrbalynName);
  EXPECT_EQ(pGetRoot(), Root());

  void* pOut = nullptr;
  EXPECT_EQ(Root()->QueryInterface(win32::IID_IUnknown, &pOut), win32::S_OK);
  EXPECT_EQ(pOut, static_cast<void*>(Root()));
  pOut = nullptr;
  EXPECT_EQ(Root()->QueryInterface(IID_IOrbalyn, &pOut), win32::S_OK);
  EXPECT_EQ(pOut, static_cast<void*>(Root()));
  void* const kUntouched = reinterpret_cast<void*>(0x5A5A);
  pOut = kUntouched;
  EXPECT_EQ(Root()->QueryInterface(kOtherIid, &pOut), win32::E_NOINTERFACE);
  EXPECT_EQ(pOut, kUntouched);
  EXPECT_EQ(Root()->QueryInterface(IID_IOrbalynLogic, &pOut), win32::E_NOINTERFACE);
  EXPECT_EQ(Root()->QueryInterface(IID_IOrbalyn, nullptr), win32::E_INVALIDARG);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Root()->AddRef(), 1u);
    EXPECT_EQ(Root()->Release(), 1u);
  }
  EXPECT_EQ(Root()->Release(), 1u);  // one more Release than AddRef frees nothing
}

// Getters: E_INVALIDARG for a null out-pointer, E_ACCESSDENIED (and a null result) whenever
// the library is not started, the static objects while it is.
TEST_F(RootObjectTest, GettersAnswerOnlyWhileStarted) {
  EXPECT_EQ(Root()->Stop(), win32::S_OK);  // Stop before Start does nothing

  auto expectRefused = [&](const char* pWhen) {
    SCOPED_TRACE(pWhen);
    IOrbalynLogic* pLogic = reinterpret_cast<IOrbalynLogic*>(0x1);
    IOrbalynDB* pDb = reinterpret_cast<IOrbalynDB*>(0x1);
    IOrbalynUploader* pUploader = reinterpret_cast<IOrbalynUploader*>(0x1);
    EXPECT_EQ(Root()->GetLogic(&pLogic), win32::E_ACCESSDENIED);
    EXPECT_EQ(Root()->GetDB(&pDb), win32::E_ACCESSDENIED);
    EXPECT_EQ(Root()->GetUploader(&pUploader), win32::E_ACCESSDENIED);
    EXPECT_EQ(pLogic, nullptr);
    EXPECT_EQ(pDb, nullptr);
    EXPECT_EQ(pUploader, nullptr);
  };
  auto expectNullRefused = [&] {
    EXPECT_EQ(Root()->GetLogic(nullptr), win32::E_INVALIDARG);
    EXPECT_EQ(Root()->GetDB(nullptr), win32::E_INVALIDARG);
    EXPECT_EQ(Root()->GetUploader(nullptr), win32::E_INVALIDARG);
  };

  expectRefused("before Start");
  expectNullRefused();

  ASSERT_EQ(Root()->Start(), win32::S_OK);
  expectNullRefused();
  IOrbalynLogic* pLogic = nullptr;
  IOrbalynDB* pDb = nullptr;
  IOrbalynUploader* pUploader = nullptr;
  ASSERT_EQ(Root()->GetLogic(&pLogic), win32::S_OK);
  ASSERT_EQ(Root()->GetDB(&pDb), win32::S_OK);
  ASSERT_EQ(Root()->GetUploader(&pUploader), win32::S_OK);
  ASSERT_NE(pLogic, nullptr);
  ASSERT_NE(pDb, nullptr);
  ASSERT_NE(pUploader, nullptr);

  // Each static object answers its own id and IUnknown with itself, and counts nothing.
  void* pOut = nullptr;
  EXPECT_EQ(pLogic->QueryInterface(IID_IOrbalynLogic, &pOut), win32::S_OK);
  EXPECT_EQ(pOut, static_cast<void*>(pLogic));
  EXPECT_EQ(pDb->QueryInterface(IID_IOrbalynDB, &pOut), win32::S_OK);
  EXPECT_EQ(pOut, static_cast<void*>(pDb));
  EXPECT_EQ(pUploader->QueryInterface(IID_IOrbalynUploader, &pOut), win32::S_OK);
  EXPECT_EQ(pOut, static_cast<void*>(pUploader));
  EXPECT_EQ(pDb->QueryInterface(IID_IOrbalynLogic, &pOut), win32::E_NOINTERFACE);
  EXPECT_EQ(pLogic->AddRef(), 1u);
  EXPECT_EQ(pDb->AddRef(), 1u);
  EXPECT_EQ(pUploader->Release(), 1u);

  // The same objects on every call.
  IOrbalynLogic* pLogicAgain = nullptr;
  EXPECT_EQ(Root()->GetLogic(&pLogicAgain), win32::S_OK);
  EXPECT_EQ(pLogicAgain, pLogic);

  EXPECT_EQ(Root()->Stop(), win32::S_OK);
  expectRefused("after Stop");
  EXPECT_EQ(Root()->Stop(), win32::S_OK);
}

// A second Start returns 0 and starts nothing: no thread is added.
TEST_F(RootObjectTest, SecondStartChangesNothing) {
  ASSERT_EQ(Root()->Start(), win32::S_OK);
  size_t threads = SettledThreadCount();
  IOrbalynDB* pDb = nullptr;
  ASSERT_EQ(Root()->GetDB(&pDb), win32::S_OK);

  EXPECT_EQ(Root()->Start(), win32::S_OK);
  EXPECT_EQ(SettledThreadCount(), threads);
  IOrbalynDB* pDbAgain = nullptr;
  EXPECT_EQ(Root()->GetDB(&pDbAgain), win32::S_OK);
  EXPECT_EQ(pDbAgain, pDb);
}

// Load, Start, Stop, FreeLibrary, twice in one process. The image stays mapped between the two
// loads (the shared protobuf runtime keeps pointing into it), so the second load hands back the
// same module and root; Stop ends the library's threads and the second Start starts them anew.
TEST_F(RootObjectTest, LoadStartStopUnloadTwiceInOneProcess) {
  win32::HMODULE firstModule = m_library.Module();
  IOrbalyn* firstRoot = Root();
  m_library.Unload();

  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    CLoadedOrbalyn library;
    ASSERT_TRUE(library.Load());
    EXPECT_EQ(library.Module(), firstModule);
    EXPECT_EQ(library.Root(), firstRoot);
    size_t threadsBefore = SettledThreadCount();
    ASSERT_EQ(library.Root()->Start(), win32::S_OK);
    EXPECT_GE(ThreadCount(), threadsBefore + 3);  // I/O, connect and upload threads at least
    IOrbalynDB* pDb = nullptr;
    EXPECT_EQ(library.Root()->GetDB(&pDb), win32::S_OK);
    PumpFor(std::chrono::milliseconds(100));
    ASSERT_EQ(library.Root()->Stop(), win32::S_OK);
    EXPECT_EQ(library.Root()->GetDB(&pDb), win32::E_ACCESSDENIED);
    if (run == 1) {
      // Everything the restart started has ended again.
      EXPECT_TRUE(
          PumpUntil([&] { return ThreadCount() <= threadsBefore; }, std::chrono::seconds(5)))
          << ThreadCount() << " threads, " << threadsBefore << " before the second Start";
    }
    library.Unload();
  }
  ASSERT_TRUE(m_library.Load());

  // The library took the program's layer, not a second copy from its own folder: one message
  // queue table, one handle table per process.
  std::set<std::string> layers;
  std::istringstream maps(ReadWholeFile("/proc/self/maps"));
  for (std::string line; std::getline(maps, line);) {
    size_t slash = line.find('/');
    if (slash != std::string::npos && line.size() >= 12 &&
        line.compare(line.size() - 12, 12, "/libwin32.so") == 0) {
      layers.insert(line.substr(slash));
    }
  }
  EXPECT_EQ(layers.size(), 1u) << ::testing::PrintToString(layers);
}

}  // namespace
}  // namespace orbalyn_test
