// The platform library's stand-in: strings and formats, data objects and their ownership, the
// core object and its class table, the configuration file, files and hashes, diagnostics.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "../common/TestFiles.h"
#include "Basalt/BasaltTesting.h"
#include "Basalt/CKwBSTR.h"
#include "Basalt/CKwStringW.h"
#include "Basalt/KwDiag.h"
#include "Basalt/Util.h"

using namespace win32;

namespace {

// {0B4F3C2E-7D1A-4E55-9C1F-3A2B6D8E9F01}: a class the tests register.
constexpr CLSID kTestClass = {
    0x0B4F3C2E, 0x7D1A, 0x4E55, {0x9C, 0x1F, 0x3A, 0x2B, 0x6D, 0x8E, 0x9F, 0x01}};

std::u16string ToU16(BSTR text) { return text ? std::u16string(text, SysStringLen(text)) : u""; }

std::u16string Folder(HRESULT (STDMETHODCALLTYPE IKwCore::*getter)(BSTR*), IKwCore* pCore) {
  BSTR folder = nullptr;
  EXPECT_EQ((pCore->*getter)(&folder), S_OK);
  std::u16string text = ToU16(folder);
  SysFreeString(folder);
  return text;
}

HRESULT MakeTestBuffer(REFIID riid, void** ppObject) {
  IKwBuffer* pBuffer = nullptr;
  HRESULT hr = Util::Data::CreateKwBuffer(&pBuffer);
  if (FAILED(hr)) return hr;
  hr = pBuffer->QueryInterface(riid, ppObject);
  pBuffer->Release();
  return hr;
}

class BasaltTest : public testing::Test {
 protected:
  void SetUp() override {
    m_root = test_files::MakeTempFolder("basalt-test");
    setenv("LUMIDOCK_ROOT", m_root.c_str(), 1);
    BasaltTesting::Reset();
  }
  void TearDown() override {
    BasaltTesting::Reset();
    unsetenv("LUMIDOCK_ROOT");  // a later log line must not bring the folder back
    std::filesystem::remove_all(m_root);
  }

  std::string m_root;
};

// --- Strings ---

TEST_F(BasaltTest, StringOperatorsAndFormats) {
  CKwStringW text(u"C:");
  text += u"\\Lumidock";
  text += u'\\';
  text += CKwStringW(u"x");
  EXPECT_EQ(text.Text(), u"C:\\Lumidock\\x");
  EXPECT_EQ((CKwStringW(u"a") + CKwStringW(u"b")).Text(), u"ab");
  EXPECT_EQ((CKwStringW(u"a") + u"c").Text(), u"ac");
  EXPECT_EQ((u"d" + CKwStringW(u"a")).Text(), u"da");
  EXPECT_EQ((CKwStringW(u"a") + u'!').Text(), u"a!");
  text = static_cast<const WCHAR*>(text);  // assigning its own text
  EXPECT_EQ(text.Text(), u"C:\\Lumidock\\x");
  CKwStringW none(static_cast<const WCHAR*>(nullptr));
  EXPECT_TRUE(none.IsEmpty());

  CKwStringW formatted;
  formatted.Format(u"%.2fGB可用", 5368709120ULL / 1073741824.0);
  EXPECT_EQ(formatted.Text(), u"5.00GB可用");
  formatted.Format(u"%.2f", 1073741823ULL / 1073741824.0);
  EXPECT_EQ(formatted.Text(), u"1.00");
  formatted.Format(u"%c:\\Lumidock", u'D');
  EXPECT_EQ(formatted.Text(), u"D:\\Lumidock");
  formatted.Format(u"%s(%d)%s", u"IMG_0001", 2, u".jpg");
  EXPECT_EQ(formatted.Text(), u"IMG_0001(2).jpg");
  formatted.Format(u"\"%s\" Parent=%.8x", u"\\opt\\lumidock\\Ferrylink.exe", 0x1c0000aU);
  EXPECT_EQ(formatted.Text(), u"\"\\opt\\lumidock\\Ferrylink.exe\" Parent=01c0000a");
  // An argument pointing into the string itself.
  formatted.Format(u"[%s]", static_cast<const WCHAR*>(formatted));
  EXPECT_EQ(formatted.Text(), u"[\"\\opt\\lumidock\\Ferrylink.exe\" Parent=01c0000a]");
}

TEST_F(BasaltTest, BstrOwnsOneStringThroughCopiesOutParametersAndLowering) {
  CKwBSTR empty;
  EXPECT_TRUE(empty.IsEmpty());
  EXPECT_EQ(static_cast<WCHAR*>(empty), nullptr);
  EXPECT_TRUE(empty == u"");
  CKwBSTR path(u"\\Home\\ÄÖ照片\\IMG.JPG");
  CKwBSTR fromString(CKwStringW(u"\\Home\\ÄÖ照片\\IMG.JPG"));
  CKwBSTR copy(path);
  EXPECT_TRUE(copy == path);
  EXPECT_TRUE(fromString == path);
  EXPECT_NE(static_cast<WCHAR*>(copy), static_cast<WCHAR*>(path));
  EXPECT_EQ(path.Length(), 18u);
  path.ToLower();
  EXPECT_TRUE(path == u"\\home\\äö照片\\img.jpg");
  EXPECT_FALSE(path == copy);

  // An out parameter: what was held is freed first (the leak checker watches).
  HRESULT hr = Util::Core::GetPlatformCore(nullptr);
  EXPECT_EQ(hr, E_POINTER);
  CKwBSTR out(u"old");
  BSTR* pSlot = &out;
  EXPECT_EQ(*pSlot, nullptr);
  *pSlot = SysAllocString(u"new");
  EXPECT_TRUE(out == u"new");

  copy = copy;
  EXPECT_TRUE(copy == u"\\Home\\ÄÖ照片\\IMG.JPG");
  copy = static_cast<WCHAR*>(copy);
  EXPECT_TRUE(copy == u"\\Home\\ÄÖ照片\\IMG.JPG");
  copy = empty;
  EXPECT_TRUE(copy.IsEmpty());
}

// --- Data objects ---

TEST_F(BasaltTest, BufferCopiesGivenBytesOrOwnsAnAttachedBlock) {
  IKwBuffer* pBuffer = nullptr;
  ASSERT_EQ(Util::Data::CreateKwBuffer(&pBuffer), S_OK);
  BYTE bytes[4] = {1, 2, 3, 4};
  ASSERT_EQ(pBuffer->SetData(bytes, 4), S_OK);
  bytes[0] = 9;  // a copy was taken
  const BYTE* pData = nullptr;
  DWORD size = 0;
  pBuffer->GetData(&pData);
  pBuffer->GetSize(&size);
  ASSERT_EQ(size, 4u);
  EXPECT_EQ(pData[0], 1);

  // An attached block is the buffer's: freed once when replaced (the sanitizer would see a leak
  // or a second free), never freed when attached again.
  auto* pBlock = static_cast<BYTE*>(std::malloc(30054));
  std::memset(pBlock, 0x42, 30054);
  ASSERT_EQ(pBuffer->Attach(pBlock, 30054), S_OK);
  ASSERT_EQ(pBuffer->Attach(pBlock, 30054), S_OK);
  pBuffer->GetData(&pData);
  pBuffer->GetSize(&size);
  EXPECT_EQ(pData, pBlock);
  EXPECT_EQ(size, 30054u);
  ASSERT_EQ(pBuffer->SetData(bytes, 2), S_OK);
  pBuffer->GetSize(&size);
  EXPECT_EQ(size, 2u);
  auto* pSecond = static_cast<BYTE*>(std::malloc(16));
  ASSERT_EQ(pBuffer->Attach(pSecond, 16), S_OK);
  EXPECT_EQ(pBuffer->SetData(nullptr, 1), E_POINTER);

  // A data set holds strings and a reference to buffers.
  IKwData* pData2 = nullptr;
  ASSERT_EQ(Util::Data::CreateKwData(&pData2), S_OK);
  EXPECT_EQ(pData2->SetString(u"name", u"tips"), S_OK);
  EXPECT_EQ(pData2->SetBuffer(u"icon", pBuffer), S_OK);
  pBuffer->Release();  // the set's reference keeps it (and its attached block) alive
  BSTR text = nullptr;
  EXPECT_EQ(pData2->GetString(u"name", &text), S_OK);
  EXPECT_EQ(ToU16(text), u"tips");
  SysFreeString(text);
  EXPECT_EQ(pData2->GetString(u"icon", &text), S_FALSE);
  IKwBuffer* pIcon = nullptr;
  EXPECT_EQ(pData2->GetBuffer(u"icon", &pIcon), S_OK);
  ASSERT_NE(pIcon, nullptr);
  pIcon->GetSize(&size);
  EXPECT_EQ(size, 16u);
  pIcon->Release();
  EXPECT_EQ(pData2->SetString(u"icon", u"none"), S_OK);  // replaces (and releases) the buffer
  EXPECT_EQ(pData2->GetBuffer(u"icon", &pIcon), S_FALSE);
  pData2->Release();
}

// --- The core object ---

TEST_F(BasaltTest, CoreFromTheBuiltInLibraryAndItsClassTable) {
  IKwCore* pNone = nullptr;
  EXPECT_EQ(Util::Core::GetPlatformCore(&pNone), E_FAIL);
  EXPECT_EQ(pNone, nullptr);

  void* pObject = reinterpret_cast<void*>(1);
  EXPECT_EQ(Util::Com::CreateObjectFromDllFile(u"Other.dll", CLSID_KwCore, IID_IKwCore, &pObject,
                                               nullptr),
            HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(pObject, nullptr);
  EXPECT_EQ(
      Util::Com::CreateObjectFromDllFile(u"Basalt.dll", kTestClass, IID_IKwCore, &pObject, nullptr),
      REGDB_E_CLASSNOTREG);
  EXPECT_EQ(Util::Com::CreateObjectFromDllFile(u"Basalt.dll", CLSID_KwCore, IID_IKwCore, &pObject,
                                               reinterpret_cast<IUnknown*>(8)),
            CLASS_E_NOAGGREGATION);

  IKwCore* pCore = nullptr;
  ASSERT_EQ(Util::Com::CreateObjectFromDllFile(u"Basalt.dll", CLSID_KwCore, IID_IKwCore,
                                               reinterpret_cast<void**>(&pCore), nullptr),
            S_OK);
  IKwCore* pRunning = nullptr;
  ASSERT_EQ(Util::Core::GetPlatformCore(&pRunning), S_OK);
  EXPECT_EQ(pRunning, pCore);
  pRunning->Release();
  BSTR name = nullptr;
  EXPECT_EQ(pCore->GetName(&name), S_OK);
  EXPECT_EQ(ToU16(name), u"basalt_tests");
  SysFreeString(name);

  // No class yet: creating one fails cleanly; registered, it is made.
  EXPECT_EQ(pCore->CreateObject(kTestClass, IID_IKwBuffer, &pObject), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(pObject, nullptr);
  Util::Core::RegisterObjectClass(kTestClass, MakeTestBuffer);
  ASSERT_EQ(pCore->CreateObject(kTestClass, IID_IKwBuffer, &pObject), S_OK);
  static_cast<IKwBuffer*>(pObject)->Release();
  EXPECT_EQ(pCore->CreateObject(kTestClass, IID_IKwData, &pObject), E_NOINTERFACE);

  // The custom-object slot holds what the program gives it.
  EXPECT_EQ(Util::Lq::GetCustomObjectFactory(), nullptr);
  auto factory = [](REFCLSID, REFIID, void**) -> BOOL { return TRUE; };
  Util::Lq::SetCustomObjectFactory(factory);
  EXPECT_EQ(Util::Lq::GetCustomObjectFactory(), +factory);

  // Shut down: no longer running, no more objects.
  EXPECT_EQ(pCore->Shutdown(), S_OK);
  EXPECT_EQ(Util::Core::GetPlatformCore(&pRunning), E_FAIL);
  EXPECT_EQ(pCore->CreateObject(kTestClass, IID_IKwBuffer, &pObject), E_UNEXPECTED);
  pCore->Release();
}

TEST_F(BasaltTest, ConfigurationFileNamesTheFoldersBesideTheProgram) {
  CKwStringW exeDir = Util::Sys::GetExeDir();
  ASSERT_FALSE(exeDir.IsEmpty());
  EXPECT_EQ(exeDir.Text().back(), u'\\');
  // A folder ending with a backslash is its own parent: the file lies beside the program.
  EXPECT_EQ(Util::FS::GetParentDir(exeDir).Text(), exeDir.Text());
  EXPECT_EQ(Util::FS::GetParentDir(u"\\a\\b\\c.txt").Text(), u"\\a\\b\\");
  EXPECT_EQ(Util::FS::GetParentDir(u"plain").Text(), u"");

  // Missing file: the program folder's layout\ and res\.
  IKwCore* pCore = nullptr;
  ASSERT_EQ(Util::Com::CreateObjectFromDllFile(u"Basalt.dll", CLSID_KwCore, IID_IKwCore,
                                               reinterpret_cast<void**>(&pCore), nullptr),
            S_OK);
  std::u16string missing = test_files::WindowsFromPosix(m_root) + u"\\none\\Harborlight.tpc";
  EXPECT_FALSE(Util::CoreCenter::InitPlatform(CKwBSTR(missing.c_str())));
  Util::Boot::InitPlatformFileSystem();
  EXPECT_EQ(Folder(&IKwCore::GetLayoutFolder, pCore), exeDir.Text() + u"layout\\");
  EXPECT_EQ(Folder(&IKwCore::GetResourceFolder, pCore), exeDir.Text() + u"res\\");

  // Given: absolute as written, relative from the file's folder, a separator added.
  test_files::WriteWholeFile(m_root + "/cfg/Harborlight.tpc",
                             "# folders\nlayout = \\opt\\hl\\skins\r\nres=art\nother=1\n");
  std::u16string config = test_files::WindowsFromPosix(m_root + "/cfg/Harborlight.tpc");
  EXPECT_TRUE(Util::CoreCenter::InitPlatform(CKwBSTR(config.c_str())));
  Util::Boot::InitPlatformFileSystem();
  EXPECT_EQ(Folder(&IKwCore::GetLayoutFolder, pCore), u"\\opt\\hl\\skins\\");
  EXPECT_EQ(Folder(&IKwCore::GetResourceFolder, pCore),
            test_files::WindowsFromPosix(m_root + "/cfg/art/"));
  pCore->Release();
}

TEST_F(BasaltTest, BootExitAndPluginCallsAreRecordedInOrder) {
  Util::Misc::SetMainAndLogicThreadId(77, 0);
  EXPECT_EQ(Util::Misc::GetMainThreadId(), 77u);
  EXPECT_TRUE(Util::Boot::InitPlatformI18NConfig());
  EXPECT_TRUE(Util::CoreCenter::AddPlugin(u"tips", nullptr));
  IKwPluginCore* pPlugin = nullptr;
  EXPECT_TRUE(Util::CoreCenter::QueryPluginCore(u"tips", &pPlugin));
  ASSERT_NE(pPlugin, nullptr);
  BSTR name = nullptr;
  pPlugin->GetName(&name);
  EXPECT_EQ(ToU16(name), u"tips");
  SysFreeString(name);
  pPlugin->Release();
  EXPECT_TRUE(Util::CoreCenter::EnablePlugin(u"tips"));
  EXPECT_TRUE(Util::Boot::InitPluginModeConfig(u"tips"));
  Util::Misc::OnExitCoreCenter();
  Util::Misc::OnExitWinMain();
  Util::Misc::OnUninitCom();
  EXPECT_EQ(
      BasaltTesting::Calls(),
      (std::vector<std::string>{"SetMainAndLogicThreadId", "InitPlatformI18NConfig", "AddPlugin",
                                "QueryPluginCore", "EnablePlugin", "InitPluginModeConfig",
                                "OnExitCoreCenter", "OnExitWinMain", "OnUninitCom"}));
}

// --- Files ---

TEST_F(BasaltTest, FileHashIsMd5AndExistenceMeansAFile) {
  test_files::WriteWholeFile(m_root + "/abc.txt", "abc");
  std::u16string path = test_files::WindowsFromPosix(m_root + "/abc.txt");
  CKwBuffer hash;
  uint64_t size = 0;
  ASSERT_TRUE(Util::FS::GetFileHash(path.c_str(), hash, size));
  EXPECT_EQ(size, 3u);
  const BYTE* pDigest = nullptr;
  DWORD length = 0;
  hash.Get()->GetData(&pDigest);
  hash.Get()->GetSize(&length);
  ASSERT_EQ(length, 16u);
  const BYTE kMd5Abc[16] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                            0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
  EXPECT_EQ(std::memcmp(pDigest, kMd5Abc, 16), 0);
  EXPECT_FALSE(Util::FS::GetFileHash((path + u"x").c_str(), hash, size));

  EXPECT_TRUE(Util::FS::IsFileExist(path.c_str()));
  EXPECT_FALSE(Util::FS::IsFileExist(test_files::WindowsFromPosix(m_root).c_str()));
  EXPECT_FALSE(Util::FS::IsFileExist((path + u"x").c_str()));
}

// --- Diagnostics ---

TEST_F(BasaltTest, AssertLogsCountsAndReturnsAndSlowTransactionsAreLogged) {
  KwAssert("! L\"CreateObject时Util::Core::GetCurrentCore失败.\"", "UtilCore", 103);
  KwAssert("false", "Application.cpp", 160);
  EXPECT_EQ(BasaltTesting::AssertCount(), 2);
  EXPECT_EQ(BasaltTesting::LastAssert(), "false (Application.cpp:160)");

  uint64_t fast = Util::Perf::RecordTransBegin("ITimer", 52, 2, "OnTimer", u"x.Begin");
  EXPECT_NE(fast, 0u);
  Util::Perf::RecordTransEnd(fast, "ITimer", 52, 2, "OnTimer", u"x.End", 50);
  EXPECT_EQ(BasaltTesting::SlowTransactionCount(), 0);
  uint64_t slow = Util::Perf::RecordTransBegin("ILqEvent", 47, 2, "OnLqEvent", u"y.Begin");
  std::this_thread::sleep_for(std::chrono::milliseconds(15));
  Util::Perf::RecordTransEnd(slow, "ILqEvent", 47, 2, "OnLqEvent", u"y.End", 5);
  EXPECT_EQ(BasaltTesting::SlowTransactionCount(), 1);

  std::string log =
      test_files::ReadWholeFile(test_files::PosixFromWindows(BasaltTesting::LogPath()));
  EXPECT_NE(log.find("KwAssert: failed: ! L\"CreateObject时Util::Core::GetCurrentCore失败.\" "
                     "(UtilCore:103)"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Perf: OnLqEvent y.End took "), std::string::npos) << log;
  EXPECT_EQ(BasaltTesting::LogPath().find(test_files::WindowsFromPosix(m_root + "/logs/")), 0u);
}

}  // namespace
