// The settings and device store: the file round trip (hostile phone texts included), the load
// rules for malformed and oversized input, renaming and matching, the lists it hands out.

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "Logic/DriveEntry.h"
#include "Logic/PhotoDb.h"
#include "Logic/PhotoDevice.h"
#include "LogicTestSupport.h"
#include "win32/oleauto.h"

namespace {

using logic_test::ReadWholeFile;
using logic_test::WindowsFromPosix;
using logic_test::WriteWholeFile;

constexpr char kKey[] = "0123456789abcdef";

class CPhotoDbTest : public logic_test::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    Db()->ResetForTesting();
  }
  void TearDown() override {
    Db()->ResetForTesting();
    CDriveEntry::Unregister();
    SandboxTest::TearDown();
  }

  static CPhotoDb* Db() { return CPhotoDb::Instance(); }

  static void AddDevice(int64_t id, const std::u16string& name, int bindState,
                        const std::string& key = kKey, const std::u16string& guid = u"") {
    CPhotoDevice* pDevice = Db()->FindOrCreateDevice(id, true);
    pDevice->SetKey(key);
    pDevice->SetName(name);
    pDevice->SetGuid(guid);
    pDevice->SetBindState(bindState);
    pDevice->Release();
  }

  static std::vector<int64_t> AllIds() {
    IOrbalynDeviceContainer* pList = nullptr;
    EXPECT_EQ(Db()->GetAllDevices(&pList), win32::S_OK);
    std::vector<int64_t> ids;
    int count = 0;
    pList->GetCount(&count);
    for (int i = 0; i < count; ++i) {
      IOrbalynDevice* pDevice = nullptr;
      pList->GetAt(i, &pDevice);
      int64_t id = 0;
      pDevice->GetId(&id);
      ids.push_back(id);
      pDevice->Release();
    }
    pList->Release();
    return ids;
  }

  static std::u16string NameOf(int64_t id) {
    CPhotoDevice* pDevice = Db()->FindOrCreateDevice(id, false);
    if (!pDevice) return u"<none>";
    std::u16string name = pDevice->Name();
    pDevice->Release();
    return name;
  }

  void WriteSettings(const std::string& text) { WriteWholeFile(SettingsPath(), text); }
};

// The file round trip
TEST_F(CPhotoDbTest, SaveThenLoadGivesBackIdentityFolderAndBoundDevices) {
  const std::u16string workDir = WindowsFromPosix(Root() + "/Photos");
  Db()->SetDeviceId(123456789012345);
  Db()->SetIdKey("id-key");
  ASSERT_EQ(Db()->SetWorkDir(workDir.c_str()), win32::S_OK);
  AddDevice(5, u"Phone A", CPhotoDevice::kBindBound, kKey, u"guid-a");
  // A hostile phone tries to plant keys and sections through its texts.
  AddDevice(7, u"x\r\n[Basic]\r\nDeviceId=99\r\n[PhotoDevice0]\r\nId=1\nKey=fedcba9876543210",
            CPhotoDevice::kBindLoaded, "fedcba9876543210", u"g\r\n[PhotoDevice1]");
  AddDevice(9, u"unbound", CPhotoDevice::kBindWaiting);
  AddDevice(11, u"short key", CPhotoDevice::kBindBound, "0123456789abcde");
  ASSERT_EQ(Db()->Save(), 1);

  std::string text = ReadWholeFile(SettingsPath());
  // No line was planted: the sections are the three written, and no key stands alone.
  EXPECT_EQ(text.rfind("[Basic]", 0), 0u) << text;
  EXPECT_EQ(text.find("\n[Basic]"), std::string::npos) << text;
  EXPECT_EQ(text.find("\nDeviceId=99"), std::string::npos) << text;
  EXPECT_EQ(text.find("\nId=1\r"), std::string::npos) << text;
  EXPECT_NE(text.find("\n[PhotoDevice1]"), std::string::npos) << text;
  EXPECT_EQ(text.find("\n[PhotoDevice2]"), std::string::npos) << text;
  EXPECT_NE(text.find("DeviceCount=2"), std::string::npos);

  Db()->ResetForTesting();
  ASSERT_EQ(Db()->Load(), 1);
  EXPECT_EQ(Db()->DeviceId(), 123456789012345);
  EXPECT_EQ(Db()->IdKey(), "id-key");
  EXPECT_EQ(Db()->WorkDir(), workDir);
  EXPECT_EQ(Db()->BindKey(false), "");  // never saved
  EXPECT_EQ(AllIds(), (std::vector<int64_t>{5, 7}));
  EXPECT_EQ(NameOf(5), u"Phone A");
  EXPECT_EQ(NameOf(7), u"x  [Basic]  DeviceId=99  [PhotoDevice0]  Id=1 Key=fedcba9876543210");
  CPhotoDevice* pDevice = Db()->FindOrCreateDevice(7, false);
  ASSERT_NE(pDevice, nullptr);
  EXPECT_EQ(pDevice->Key(), "fedcba9876543210");
  EXPECT_EQ(pDevice->Guid(), u"g  [PhotoDevice1]");
  EXPECT_EQ(pDevice->BindState(), CPhotoDevice::kBindLoaded);
  pDevice->Release();
}

TEST_F(CPhotoDbTest, PcGuidAndIdKeySurviveARoundTripFromTheFile) {
  WriteSettings(
      "[Basic]\r\nDeviceId=-42\r\nDeviceIdKey=k1\r\nGUID=00112233445566778899aabbccddeeff\r\n");
  ASSERT_EQ(Db()->Load(), 1);
  EXPECT_EQ(Db()->DeviceId(), -42);
  EXPECT_EQ(Db()->PcGuid(), "00112233445566778899aabbccddeeff");
  ASSERT_EQ(Db()->Save(), 1);
  Db()->ResetForTesting();
  ASSERT_EQ(Db()->Load(), 1);
  EXPECT_EQ(Db()->IdKey(), "k1");
  EXPECT_EQ(Db()->PcGuid(), "00112233445566778899aabbccddeeff");
}

// Load rules
TEST_F(CPhotoDbTest, WithoutDeviceIdNothingElseIsLoaded) {
  EXPECT_EQ(Db()->Load(), 1);  // no file at all
  EXPECT_EQ(Db()->DeviceId(), 0);
  WriteSettings(
      "[Basic]\r\nDeviceId=0\r\nWorkDir=\\x\r\nDeviceCount=1\r\n"
      "[PhotoDevice0]\r\nId=5\r\nKey=0123456789abcdef\r\n");
  EXPECT_EQ(Db()->Load(), 1);
  EXPECT_EQ(Db()->WorkDir(), u"");
  EXPECT_EQ(Db()->DeviceCount(), 0);
}

TEST_F(CPhotoDbTest, WithoutDeviceIdAnEarlierLoadIsForgotten) {
  const std::string guid = "00112233445566778899aabbccddeeff";
  WriteSettings("[Basic]\r\nDeviceId=77\r\nDeviceIdKey=0123456789abcdef\r\nWorkDir=\\x\r\nGUID=" +
                guid + "\r\n");
  ASSERT_EQ(Db()->Load(), 1);
  ASSERT_EQ(Db()->IdKey(), "0123456789abcdef");
  // The file is replaced (deleted, or another user's) within the same process.
  WriteSettings("[Basic]\r\nDeviceId=0\r\n");
  ASSERT_EQ(Db()->Load(), 1);
  EXPECT_EQ(Db()->DeviceId(), 0);
  EXPECT_EQ(Db()->IdKey(), "");
  EXPECT_EQ(Db()->WorkDir(), u"");
  EXPECT_NE(Db()->PcGuid(), guid);
}

TEST_F(CPhotoDbTest, MalformedSectionsAreSkippedAndDroppedAtTheNextSave) {
  WriteSettings(
      "[Basic]\r\nDeviceId=1\r\nDeviceCount=6\r\n"
      "[PhotoDevice0]\r\nId=0\r\nKey=0123456789abcdef\r\n"
      "[PhotoDevice1]\r\nId=11\r\nKey=0123456789abcde\r\n"
      "[PhotoDevice2]\r\nId=12\r\nKey=0123456789abcdef0\r\n"
      "[PhotoDevice3]\r\nId=13\r\nKey=0123456789abcdef\r\nName=ok\r\n"
      "[PhotoDevice5]\r\nId=15\r\nKey=fedcba9876543210\r\n");
  ASSERT_EQ(Db()->Load(), 1);
  EXPECT_EQ(AllIds(), (std::vector<int64_t>{13, 15}));
  EXPECT_EQ(NameOf(13), u"ok");
  ASSERT_EQ(Db()->Save(), 1);
  EXPECT_NE(ReadWholeFile(SettingsPath()).find("DeviceCount=2"), std::string::npos);
  Db()->ResetForTesting();
  ASSERT_EQ(Db()->Load(), 1);
  EXPECT_EQ(AllIds(), (std::vector<int64_t>{13, 15}));
}

// DeviceCount bounds a loop of file reads at start-up; a hostile or corrupted count must not
// hang it, and a negative one reads nothing.
TEST_F(CPhotoDbTest, DeviceCountIsBounded) {
  const std::string sections =
      "[PhotoDevice0]\r\nId=1\r\nKey=0123456789abcdef\r\n"
      "[PhotoDevice1]\r\nId=2\r\nKey=0123456789abcdef\r\n";
  for (const char* count : {"2147483647", "99999999999999999999", "4294967295", "-5"}) {
    SCOPED_TRACE(count);
    Db()->ResetForTesting();
    WriteSettings("[Basic]\r\nDeviceId=1\r\nDeviceCount=" + std::string(count) + "\r\n" + sections);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Db()->Load(), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    if (count[0] == '-' || std::string(count) == "4294967295") {
      EXPECT_EQ(Db()->DeviceCount(), 0);
    } else if (std::string(count) == "2147483647") {
      EXPECT_EQ(Db()->DeviceCount(), 2);
    }
  }
}

// A folder longer than the classic 260-character buffer loads whole: a cut path would name a
// different folder.
TEST_F(CPhotoDbTest, LongWorkDirIsNotCut) {
  std::u16string longDir = u"\\photos";
  while (longDir.size() < 700) longDir += u"\\a-rather-long-folder-name";
  WriteSettings("[Basic]\r\nDeviceId=1\r\nWorkDir=" + WideToUtf8(longDir) + "\r\n");
  ASSERT_EQ(Db()->Load(), 1);
  EXPECT_EQ(Db()->WorkDir(), longDir);

  Db()->ResetForTesting();
  WriteSettings("[Basic]\r\nDeviceId=1\r\nWorkDir=\\" + std::string(40000, 'x') + "\r\n");
  ASSERT_EQ(Db()->Load(), 1);
  EXPECT_EQ(Db()->WorkDir(), u"");  // too long even for the large buffer: refused, not cut
}

TEST_F(CPhotoDbTest, SectionsBeyondTheCountStayStale) {
  Db()->SetDeviceId(1);
  AddDevice(1, u"a", CPhotoDevice::kBindBound);
  AddDevice(2, u"b", CPhotoDevice::kBindBound);
  AddDevice(3, u"c", CPhotoDevice::kBindBound);
  ASSERT_EQ(Db()->Save(), 1);
  EXPECT_TRUE(Db()->RemoveDevice(1));
  EXPECT_FALSE(Db()->RemoveDevice(1));
  ASSERT_EQ(Db()->Save(), 1);
  const std::u16string path = WindowsFromPosix(SettingsPath());
  EXPECT_EQ(CPhotoDb::ReadValue(path, u"Basic", u"DeviceCount", u""), u"2");
  EXPECT_EQ(CPhotoDb::ReadValue(path, u"PhotoDevice0", u"Id", u""), u"2");
  EXPECT_EQ(CPhotoDb::ReadValue(path, u"PhotoDevice1", u"Id", u""), u"3");
  EXPECT_EQ(CPhotoDb::ReadValue(path, u"PhotoDevice2", u"Id", u""), u"3");  // stale
}

// Renaming and matching
TEST_F(CPhotoDbTest, AutoRenameNumbersClashingNames) {
  AddDevice(1, u"N", CPhotoDevice::kBindBound);
  AddDevice(2, u"N", CPhotoDevice::kBindBound);
  AddDevice(3, u"N", CPhotoDevice::kBindBound);
  win32::BSTR name = nullptr;
  EXPECT_EQ(Db()->AutoRenameDevice(1, &name), win32::S_OK);
  EXPECT_EQ(std::u16string(name), u"N-1");
  win32::SysFreeString(name);
  EXPECT_EQ(Db()->AutoRenameDevice(2, &name), win32::S_OK);
  EXPECT_EQ(std::u16string(name), u"N-2");
  win32::SysFreeString(name);
  EXPECT_EQ(Db()->AutoRenameDevice(3, &name), win32::E_FAIL);  // already unique
  EXPECT_EQ(std::u16string(name), u"N");
  win32::SysFreeString(name);
  EXPECT_EQ(Db()->AutoRenameDevice(3, nullptr), win32::E_FAIL);  // a null name is fine

  name = reinterpret_cast<win32::BSTR>(0x1);
  EXPECT_EQ(Db()->AutoRenameDevice(99, &name), win32::E_FAIL);
  EXPECT_EQ(name, nullptr);
}

TEST_F(CPhotoDbTest, AutoRenameGivesUpAfterNinetyNineTries) {
  AddDevice(1, u"N", CPhotoDevice::kBindBound);
  AddDevice(2, u"N", CPhotoDevice::kBindBound);
  for (int i = 1; i < 100; ++i) {
    AddDevice(100 + i, u"N-" + Utf8ToWide(std::to_string(i)), CPhotoDevice::kBindBound);
  }
  EXPECT_EQ(Db()->AutoRenameDevice(1, nullptr), win32::S_OK);
  EXPECT_EQ(NameOf(1), u"N");
}

TEST_F(CPhotoDbTest, MatchDeviceNeedsSameNameAndGuid) {
  AddDevice(4, u"P", CPhotoDevice::kBindBound, kKey, u"G");
  AddDevice(6, u"P", CPhotoDevice::kBindBound, kKey, u"H");
  AddDevice(8, u"P", CPhotoDevice::kBindNone, kKey, u"G");
  int64_t match = -1;
  EXPECT_EQ(Db()->GetMatchDeviceId(4, &match), win32::S_OK);
  EXPECT_EQ(match, 8);
  EXPECT_EQ(Db()->GetMatchDeviceId(8, &match), win32::S_OK);
  EXPECT_EQ(match, 4);
  EXPECT_EQ(Db()->GetMatchDeviceId(6, &match), win32::E_FAIL);
  EXPECT_EQ(match, 0);
  match = -1;
  EXPECT_EQ(Db()->GetMatchDeviceId(5, &match), win32::E_FAIL);
  EXPECT_EQ(match, 0);
}

// Lists and lookups
TEST_F(CPhotoDbTest, ListsAreAscendingAndBoundListHoldsOnlyBound) {
  AddDevice(30, u"c", CPhotoDevice::kBindLoaded);
  AddDevice(10, u"a", CPhotoDevice::kBindBound);
  AddDevice(20, u"b", CPhotoDevice::kBindWaiting);
  EXPECT_EQ(AllIds(), (std::vector<int64_t>{10, 20, 30}));
  IOrbalynDeviceContainer* pBound = nullptr;
  ASSERT_EQ(Db()->GetBoundDevices(&pBound), win32::S_OK);
  int count = 0;
  pBound->GetCount(&count);
  ASSERT_EQ(count, 2);
  IOrbalynDevice* pDevice = nullptr;
  pBound->GetAt(1, &pDevice);
  int64_t id = 0;
  pDevice->GetId(&id);
  EXPECT_EQ(id, 30);
  pDevice->Release();
  pBound->Release();

  pDevice = reinterpret_cast<IOrbalynDevice*>(0x1);
  EXPECT_EQ(Db()->FindDevice(15, &pDevice), win32::S_FALSE);
  EXPECT_EQ(pDevice, nullptr);
  ASSERT_EQ(Db()->FindDevice(20, &pDevice), win32::S_OK);
  pDevice->Release();
}

TEST_F(CPhotoDbTest, BindKeyIsMadeOncePerRun) {
  EXPECT_EQ(Db()->BindKey(false), "");
  std::string key = Db()->BindKey(true);
  EXPECT_EQ(key.size(), 16u);
  EXPECT_EQ(key.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(Db()->BindKey(true), key);
  EXPECT_EQ(Db()->BindKey(false), key);
}

}  // namespace
