// The "My Computer" entry and the folder decoration: every registry row as written, the files
// in the folder, and register/unregister leaving nothing behind; the store's folder change
// moving the decoration.

#include <filesystem>
#include <string>
#include <vector>

#include "Logic/DriveEntry.h"
#include "Logic/PhotoDb.h"
#include "Logic/PhotoDevice.h"
#include "LogicTestSupport.h"
#include "win32/registry.h"

namespace {

using logic_test::ReadWholeFile;
using logic_test::WindowsFromPosix;

constexpr char16_t kClassKey[] = u"CLSID\\{3ED1E910-D951-4c15-AC9C-8B24B6C1E04E}";
constexpr char16_t kNameSpaceKey[] =
    u"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MyComputer\\NameSpace\\"
    u"{3ED1E910-D951-4c15-AC9C-8B24B6C1E04E}";

bool KeyExists(win32::HKEY hRoot, const std::u16string& path) {
  win32::HKEY hKey = nullptr;
  if (win32::RegOpenKeyExW(hRoot, path.c_str(), 0, win32::KEY_READ, &hKey) !=
      win32::ERROR_SUCCESS) {
    return false;
  }
  win32::RegCloseKey(hKey);
  return true;
}

// The value's type and raw bytes; type REG_NONE with no bytes when it cannot be read.
struct RegValue {
  win32::DWORD type = win32::REG_NONE;
  std::string bytes;
};

RegValue ReadValue(win32::HKEY hRoot, const std::u16string& path, const char16_t* pName) {
  RegValue value;
  win32::HKEY hKey = nullptr;
  if (win32::RegOpenKeyExW(hRoot, path.c_str(), 0, win32::KEY_READ, &hKey) !=
      win32::ERROR_SUCCESS) {
    return value;
  }
  win32::DWORD size = 0;
  win32::DWORD type = 0;
  if (win32::RegQueryValueExW(hKey, pName, nullptr, &type, nullptr, &size) ==
      win32::ERROR_SUCCESS) {
    value.bytes.resize(size);
    win32::RegQueryValueExW(hKey, pName, nullptr, &type,
                            reinterpret_cast<win32::BYTE*>(value.bytes.data()), &size);
    value.type = type;
  }
  win32::RegCloseKey(hKey);
  return value;
}

// A REG_SZ as written: UTF-16 with its closing NUL.
std::string StringBytes(const std::u16string& text) {
  return std::string(reinterpret_cast<const char*>(text.c_str()),
                     (text.size() + 1) * sizeof(char16_t));
}

class CDriveEntryTest : public logic_test::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    CDriveEntry::Unregister();
    CPhotoDb::Instance()->ResetForTesting();
    m_folder = Root() + "/Backup";
  }
  void TearDown() override {
    CDriveEntry::Unregister();
    CPhotoDb::Instance()->ResetForTesting();
    SandboxTest::TearDown();
  }

  static bool ClassRowsGone() {
    return !KeyExists(win32::HKEY_CLASSES_ROOT, kClassKey) &&
           !KeyExists(win32::HKEY_LOCAL_MACHINE, kNameSpaceKey);
  }
  static bool HasDecoration(const std::string& folder) {
    return std::filesystem::exists(folder + "/.private/folder.ico") ||
           std::filesystem::exists(folder + "/.private") ||
           std::filesystem::exists(folder + "/desktop.ini");
  }

  std::string m_folder;
};

TEST_F(CDriveEntryTest, RegisterWritesEveryRowAndDecoratesTheFolder) {
  const std::u16string folder = WindowsFromPosix(m_folder);
  EXPECT_FALSE(CDriveEntry::IsRegistered());
  ASSERT_EQ(CDriveEntry::Register(folder), win32::S_OK);
  EXPECT_TRUE(CDriveEntry::IsRegistered());

  const std::u16string key = kClassKey;
  const win32::HKEY hcr = win32::HKEY_CLASSES_ROOT;
  struct Row {
    std::u16string subKey;
    const char16_t* pName;
    std::u16string text;
  };
  const std::vector<Row> rows = {
      {key, nullptr, u"Lumidock"},
      {key, u"InfoTip", u"打开照片备份位置"},
      {key + u"\\DefaultIcon", nullptr, CDriveEntry::IconSourcePath() + u",0"},
      {key + u"\\InProcServer32", nullptr, u"shdocvw.dll"},
      {key + u"\\InProcServer32", u"ThreadingModel", u"ApartMent"},
      {key + u"\\Instance", u"CLSID", u"{0AFACED1-E828-11D1-9187-B532F1E9575D}"},
      {key + u"\\Instance\\InitPropertyBag", u"Target", folder},
      {key + u"\\ShellFolder", u"WantsFORPARSING", u""},
      {key + u"\\ShellFolder", u"PinToNameSpaceTree", u""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(WideToUtf8(row.subKey) + " " + (row.pName ? WideToUtf8(row.pName) : "@"));
    RegValue value = ReadValue(hcr, row.subKey, row.pName);
    EXPECT_EQ(value.type, win32::REG_SZ);
    EXPECT_EQ(value.bytes, StringBytes(row.text));
  }
  RegValue attributes = ReadValue(hcr, key + u"\\ShellFolder", u"Attributes");
  EXPECT_EQ(attributes.type, win32::REG_DWORD);
  const uint32_t expected = 0xF8801108;
  EXPECT_EQ(attributes.bytes, std::string(reinterpret_cast<const char*>(&expected), 4));
  EXPECT_TRUE(KeyExists(hcr, key + u"\\shell"));
  EXPECT_TRUE(KeyExists(hcr, key + u"\\shellex\\PropertySheetHandlers\\"
                                   u"{3ED1E910-D951-4c15-AC9C-8B24B6C1E04E}"));
  RegValue entry = ReadValue(win32::HKEY_LOCAL_MACHINE, kNameSpaceKey, nullptr);
  EXPECT_EQ(entry.bytes, StringBytes(u"Lumidock"));

  // The folder: the icon copied from beside the module, desktop.ini as the shell writes it.
  EXPECT_TRUE(CDriveEntry::IsDecorated(folder));
  const std::string iconSource = logic_test::PosixFromWindows(CDriveEntry::IconSourcePath());
  ASSERT_TRUE(std::filesystem::exists(iconSource)) << iconSource;
  EXPECT_EQ(ReadWholeFile(m_folder + "/.private/folder.ico"), ReadWholeFile(iconSource));
  const std::string ini = ReadWholeFile(m_folder + "/desktop.ini");
  EXPECT_NE(ini.find("[.ShellClassInfo]"), std::string::npos) << ini;
  EXPECT_NE(ini.find("IconResource=.private\\folder.ico,0"), std::string::npos) << ini;
  EXPECT_NE(ini.find("IconFile=.private\\folder.ico"), std::string::npos) << ini;
  EXPECT_NE(ini.find("IconIndex=0"), std::string::npos) << ini;
  EXPECT_NE(ini.find("InfoTip="), std::string::npos) << ini;
}

// The generated icon: one 32x32 image of 32 bits per pixel.
TEST_F(CDriveEntryTest, BuiltIconIsA32By32TrueColourIcon) {
  const std::string icon = ReadWholeFile(std::string(LUMIDOCK_BIN_DIR) + "/folder.ico");
  ASSERT_EQ(icon.size(), 22u + 40u + 32u * 32u * 4u + 32u * 4u);
  EXPECT_EQ(icon.substr(0, 6), std::string("\0\0\1\0\1\0", 6));
  EXPECT_EQ(static_cast<uint8_t>(icon[6]), 32);
  EXPECT_EQ(static_cast<uint8_t>(icon[7]), 32);
  EXPECT_EQ(static_cast<uint8_t>(icon[12]), 32);  // bits per pixel
}

TEST_F(CDriveEntryTest, RegisteringTwiceKeepsOneEntryWithTheSecondTarget) {
  const std::u16string first = WindowsFromPosix(m_folder);
  const std::u16string second = WindowsFromPosix(Root() + "/Other");
  ASSERT_EQ(CDriveEntry::Register(first), win32::S_OK);
  ASSERT_EQ(CDriveEntry::Register(second), win32::S_OK);
  RegValue target =
      ReadValue(win32::HKEY_CLASSES_ROOT,
                std::u16string(kClassKey) + u"\\Instance\\InitPropertyBag", u"Target");
  EXPECT_EQ(target.bytes, StringBytes(second));
  win32::HKEY hNameSpace = nullptr;
  ASSERT_EQ(win32::RegOpenKeyExW(
                win32::HKEY_LOCAL_MACHINE,
                u"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MyComputer\\NameSpace", 0,
                win32::KEY_READ, &hNameSpace),
            win32::ERROR_SUCCESS);
  win32::WCHAR name[256];
  win32::DWORD length = 256;
  EXPECT_EQ(win32::RegEnumKeyExW(hNameSpace, 0, name, &length, nullptr, nullptr, nullptr, nullptr),
            win32::ERROR_SUCCESS);
  length = 256;
  EXPECT_EQ(win32::RegEnumKeyExW(hNameSpace, 1, name, &length, nullptr, nullptr, nullptr, nullptr),
            win32::ERROR_NO_MORE_ITEMS);
  win32::RegCloseKey(hNameSpace);
}

// Unregistering
TEST_F(CDriveEntryTest, UnregisterDriveLeavesNoRowAndNoDecoration) {
  const std::u16string folder = WindowsFromPosix(m_folder);
  CPhotoDb::Instance()->SetDeviceId(5);
  ASSERT_EQ(CPhotoDb::Instance()->SetWorkDir(folder.c_str()), win32::S_OK);
  ASSERT_EQ(CPhotoDb::Instance()->Save(), 1);
  logic_test::WriteWholeFile(m_folder + "/IMG_0001.jpg", "photo");
  // A key the entry did not write itself goes with the tree as well.
  win32::HKEY hExtra = nullptr;
  ASSERT_EQ(win32::RegCreateKeyExW(win32::HKEY_CLASSES_ROOT,
                                   (std::u16string(kClassKey) + u"\\shell\\open\\command").c_str(),
                                   0, nullptr, 0, win32::KEY_WRITE, nullptr, &hExtra, nullptr),
            win32::ERROR_SUCCESS);
  win32::RegCloseKey(hExtra);

  CDriveEntry::UnregisterDrive();
  EXPECT_TRUE(ClassRowsGone());
  EXPECT_FALSE(CDriveEntry::IsRegistered());
  EXPECT_FALSE(HasDecoration(m_folder));
  EXPECT_EQ(ReadWholeFile(m_folder + "/IMG_0001.jpg"), "photo");  // the photos stay
  EXPECT_TRUE(KeyExists(win32::HKEY_CLASSES_ROOT, u"CLSID"));     // only our tree went
}

TEST_F(CDriveEntryTest, UnregisterDriveWithoutSettingsFileTouchesNoFolder) {
  ASSERT_EQ(CDriveEntry::Register(WindowsFromPosix(m_folder)), win32::S_OK);
  CDriveEntry::UnregisterDrive();
  EXPECT_TRUE(ClassRowsGone());
  EXPECT_TRUE(std::filesystem::exists(m_folder + "/.private/folder.ico"));
  EXPECT_TRUE(std::filesystem::exists(m_folder + "/desktop.ini"));
  CDriveEntry::Unregister();  // nothing left to remove: still fine
}

TEST_F(CDriveEntryTest, DecorateRefusesAPathItCannotCreate) {
  EXPECT_FALSE(CDriveEntry::Decorate(u""));
  EXPECT_FALSE(CDriveEntry::Decorate(u"relative\\folder"));
  EXPECT_FALSE(std::filesystem::exists("relative"));
  EXPECT_FALSE(std::filesystem::exists(".private"));
  EXPECT_FALSE(CDriveEntry::IsDecorated(u""));
}

// The store's folder change
TEST_F(CDriveEntryTest, ChangingTheWorkFolderMovesTheDecoration) {
  CPhotoDb* pDb = CPhotoDb::Instance();
  const std::string first = Root() + "/Photos";
  const std::string second = Root() + "/photos";  // another folder here: names are exact
  logic_test::WriteWholeFile(
      logic_test::SandboxTest::SettingsPath(),
      "[Basic]\r\nDeviceId=1\r\nWorkDir=" + WideToUtf8(WindowsFromPosix(first)) +
          "\r\nDeviceCount=1\r\n[PhotoDevice0]\r\nId=2\r\n"
          "Key=0123456789abcdef\r\n");
  ASSERT_EQ(pDb->Open(), 1);
  EXPECT_TRUE(CDriveEntry::IsDecorated(WindowsFromPosix(first)));
  EXPECT_TRUE(CDriveEntry::IsRegistered());

  ASSERT_EQ(pDb->SetWorkDir(WindowsFromPosix(second).c_str()), win32::S_OK);
  EXPECT_FALSE(HasDecoration(first));
  EXPECT_TRUE(CDriveEntry::IsDecorated(WindowsFromPosix(second)));
  RegValue target =
      ReadValue(win32::HKEY_CLASSES_ROOT,
                std::u16string(kClassKey) + u"\\Instance\\InitPropertyBag", u"Target");
  EXPECT_EQ(target.bytes, StringBytes(WindowsFromPosix(second)));

  // The same folder again keeps its decoration and re-registers.
  ASSERT_EQ(pDb->SetWorkDir(WindowsFromPosix(second).c_str()), win32::S_OK);
  EXPECT_TRUE(CDriveEntry::IsDecorated(WindowsFromPosix(second)));
  EXPECT_TRUE(CDriveEntry::IsRegistered());
}

TEST_F(CDriveEntryTest, OpenWithoutDevicesLeavesTheFolderAlone) {
  const std::string folder = Root() + "/Photos";
  logic_test::WriteWholeFile(SettingsPath(), "[Basic]\r\nDeviceId=1\r\nWorkDir=" +
                                                 WideToUtf8(WindowsFromPosix(folder)) + "\r\n");
  ASSERT_EQ(CPhotoDb::Instance()->Open(), 1);
  EXPECT_FALSE(HasDecoration(folder));
  EXPECT_FALSE(CDriveEntry::IsRegistered());
}

}  // namespace
