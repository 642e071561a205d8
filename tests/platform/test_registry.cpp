#include "win32/registry.h"

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "handles.h"

using namespace win32;

namespace {

std::string g_root;

class SandboxEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/lumidock-registry-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    g_root = pattern;
    setenv("LUMIDOCK_ROOT", pattern, 1);
  }
  void TearDown() override { std::filesystem::remove_all(g_root); }
};

[[maybe_unused]] ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new SandboxEnvironment);

std::string HivePath(const char* file) { return g_root + "/registry/" + file; }

// Runs fn in a forked child (a second process sharing the hive files); returns its exit code.
int RunInChild(const std::function<int()>& fn) {
  pid_t pid = fork();
  if (pid == 0) _exit(fn());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

std::vector<BYTE> Bytes(std::u16string_view text) {
  std::vector<BYTE> bytes((text.size() + 1) * 2);
  memcpy(bytes.data(), text.data(), text.size() * 2);
  return bytes;
}

class RegistryTest : public ::testing::Test {
 protected:
  static constexpr const WCHAR* kBase = u"Software\\LumidockRegistryTest";

  void TearDown() override {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kBase);
    RegDeleteTreeW(HKEY_CURRENT_USER, kBase);
    RegDeleteTreeW(HKEY_CLASSES_ROOT, u"CLSID");
    EXPECT_EQ(detail::OpenHandleCountForTesting(), m_handlesAtStart);
  }

  HKEY Create(HKEY root, std::u16string_view subKey, DWORD* pDisposition = nullptr) {
    std::u16string path = std::u16string(kBase) + u"\\" + std::u16string(subKey);
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              pDisposition),
              ERROR_SUCCESS);
    return key;
  }

  LSTATUS Open(HKEY root, std::u16string_view subKey, REGSAM access, HKEY* pKey) {
    std::u16string path = std::u16string(kBase) + u"\\" + std::u16string(subKey);
    return RegOpenKeyExW(root, path.c_str(), 0, access, pKey);
  }

  size_t m_handlesAtStart = detail::OpenHandleCountForTesting();
};

// Keys: intermediate keys are created, the disposition tells new from existing, and names
// compare ignoring case while keeping the case they were created with.
TEST_F(RegistryTest, CreateMakesIntermediateKeysAndReportsDisposition) {
  DWORD disposition = 0;
  HKEY key = Create(HKEY_LOCAL_MACHINE, u"Outer\\Inner", &disposition);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  RegCloseKey(key);
  key = Create(HKEY_LOCAL_MACHINE, u"OUTER\\inner", &disposition);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  RegCloseKey(key);

  HKEY outer = nullptr;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"outer", KEY_READ, &outer), ERROR_SUCCESS);
  WCHAR name[64];
  DWORD cch = 64;
  ASSERT_EQ(RegEnumKeyExW(outer, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(name), u"Inner");
  EXPECT_EQ(cch, 5u);
  RegCloseKey(outer);

  HKEY missing = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"Outer\\Absent", KEY_READ, &missing), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing, nullptr);
}

// Values: raw bytes plus type; size queries, short buffers and missing values.
TEST_F(RegistryTest, QueryFollowsTheSizeContract) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, u"Values");
  std::vector<BYTE> text = Bytes(u"Lumidock");
  ASSERT_EQ(RegSetValueExW(key, nullptr, 0, REG_SZ, text.data(), text.size()), ERROR_SUCCESS);
  DWORD number = 0xF8801108;
  ASSERT_EQ(RegSetValueExW(key, u"Attributes", 0, REG_DWORD, reinterpret_cast<BYTE*>(&number), 4),
            ERROR_SUCCESS);

  DWORD type = 0;
  DWORD size = 0;
  ASSERT_EQ(RegQueryValueExW(key, u"", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 18u);  // the closing NUL was written, so it reads back

  BYTE shortBuffer[8];
  memset(shortBuffer, 0xAB, sizeof shortBuffer);
  size = sizeof shortBuffer;
  EXPECT_EQ(RegQueryValueExW(key, nullptr, nullptr, &type, shortBuffer, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 18u);
  EXPECT_EQ(shortBuffer[0], 0xAB);

  WCHAR buffer[16];
  size = sizeof buffer;
  ASSERT_EQ(
      RegQueryValueExW(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size),
      ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(buffer), u"Lumidock");

  DWORD read = 0;
  size = sizeof read;
  ASSERT_EQ(
      RegQueryValueExW(key, u"ATTRIBUTES", nullptr, &type, reinterpret_cast<BYTE*>(&read), &size),
      ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(read, 0xF8801108u);

  size = sizeof read;
  EXPECT_EQ(RegQueryValueExW(key, u"Absent", nullptr, &type, reinterpret_cast<BYTE*>(&read), &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteValueW(key, u"attributes"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueW(key, u"Attributes"), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
}

// The A variants carry strings as UTF-8 and store UTF-16.
TEST_F(RegistryTest, NarrowVariantsConvertStrings) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, u"Narrow");
  const char value[] = "PCI\\VEN_8086 \xE6\x97\xA0";
  ASSERT_EQ(RegSetValueExA(key, "PnpInstanceID", 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                           sizeof value),
            ERROR_SUCCESS);
  WCHAR wide[64];
  DWORD size = sizeof wide;
  ASSERT_EQ(RegQueryValueExW(key, u"pnpinstanceid", nullptr, nullptr, reinterpret_cast<BYTE*>(wide),
                             &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(wide), u"PCI\\VEN_8086 \u65E0");
  EXPECT_EQ(size, 2u * 15);

  char narrow[259];
  size = sizeof narrow;
  DWORD type = 0;
  ASSERT_EQ(RegQueryValueExA(key, "PnpInstanceID", nullptr, &type, reinterpret_cast<BYTE*>(narrow),
                             &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, sizeof value);
  EXPECT_STREQ(narrow, value);
  RegCloseKey(key);
}

// Enumeration runs in case-insensitive name order and ends with 259.
TEST_F(RegistryTest, EnumerationIsOrderedAndEndsWith259) {
  RegCloseKey(Create(HKEY_LOCAL_MACHINE, u"Enum\\b"));
  RegCloseKey(Create(HKEY_LOCAL_MACHINE, u"Enum\\A"));
  RegCloseKey(Create(HKEY_LOCAL_MACHINE, u"Enum\\c"));
  HKEY key = nullptr;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"Enum", KEY_READ, &key), ERROR_SUCCESS);
  std::vector<std::u16string> names;
  for (DWORD i = 0;; ++i) {
    WCHAR name[256];
    DWORD cch = 256;
    LSTATUS status = RegEnumKeyExW(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(status, ERROR_SUCCESS);
    names.emplace_back(name);
  }
  EXPECT_EQ(names, (std::vector<std::u16string>{u"A", u"b", u"c"}));
  WCHAR tiny[1];
  DWORD cch = 1;
  EXPECT_EQ(RegEnumKeyExW(key, 0, tiny, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  RegCloseKey(key);
}

// Deleting: a key with sub-keys is refused, so callers delete bottom-up or use the tree call.
TEST_F(RegistryTest, DeleteRefusesKeysWithSubKeys) {
  RegCloseKey(Create(HKEY_LOCAL_MACHINE, u"Tree\\Child\\Grandchild"));
  HKEY base = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kBase, 0, KEY_READ, &base), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(base, u"Tree"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(base, u"Tree\\Child\\Grandchild"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(base, u"Tree\\Child\\Grandchild"), ERROR_FILE_NOT_FOUND);

  // Bottom-up removal by repeatedly taking the first sub-key.
  RegCloseKey(Create(HKEY_LOCAL_MACHINE, u"Tree\\Child\\X"));
  RegCloseKey(Create(HKEY_LOCAL_MACHINE, u"Tree\\Other"));
  HKEY tree = nullptr;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"Tree", KEY_READ, &tree), ERROR_SUCCESS);
  std::function<void(HKEY, const std::u16string&)> deleteTree = [&](HKEY parent,
                                                                    const std::u16string& name) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(parent, name.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
    WCHAR child[256];
    DWORD cch = 256;
    while (RegEnumKeyExW(key, 0, child, &cch, nullptr, nullptr, nullptr, nullptr) ==
           ERROR_SUCCESS) {
      deleteTree(key, child);
      cch = 256;
    }
    RegCloseKey(key);
    ASSERT_EQ(RegDeleteKeyW(parent, name.c_str()), ERROR_SUCCESS);
  };
  deleteTree(base, u"Tree");
  // The handle to the deleted key now reports it.
  WCHAR child[256];
  DWORD cch = 256;
  EXPECT_EQ(RegEnumKeyExW(tree, 0, child, &cch, nullptr, nullptr, nullptr, nullptr),
            ERROR_KEY_DELETED);
  RegCloseKey(tree);

  RegCloseKey(Create(HKEY_LOCAL_MACHINE, u"Tree2\\A\\B"));
  EXPECT_EQ(RegDeleteTreeW(base, u"tree2"), ERROR_SUCCESS);
  HKEY gone = nullptr;
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"Tree2", KEY_READ, &gone), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u""), ERROR_ACCESS_DENIED);
  RegCloseKey(base);
}

// Access rights and handles: read-only handles refuse writes; closed handles are stale.
TEST_F(RegistryTest, ReadOnlyAndStaleHandlesAreRefused) {
  RegCloseKey(Create(HKEY_LOCAL_MACHINE, u"Access"));
  HKEY key = nullptr;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"Access", KEY_READ | KEY_WOW64_64KEY, &key), ERROR_SUCCESS);
  DWORD one = 1;
  EXPECT_EQ(RegSetValueExW(key, u"V", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4),
            ERROR_ACCESS_DENIED);
  HKEY sub = nullptr;
  EXPECT_EQ(RegCreateKeyExW(key, u"Sub", 0, nullptr, 0, KEY_READ, nullptr, &sub, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  DWORD size = 4;
  EXPECT_EQ(RegQueryValueExW(key, u"V", nullptr, nullptr, reinterpret_cast<BYTE*>(&one), &size),
            ERROR_INVALID_HANDLE);
}

// HKEY_CLASSES_ROOT is HKLM\Software\Classes; HKCU is a hive of its own.
TEST_F(RegistryTest, ClassesRootAliasesMachineClassesAndUserIsSeparate) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, u"CLSID\\{3ED1E910-D951-4c15-AC9C-8B24B6C1E04E}", 0,
                            nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  std::vector<BYTE> text = Bytes(u"Lumidock");
  ASSERT_EQ(RegSetValueExW(key, nullptr, 0, REG_SZ, text.data(), text.size()), ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                          u"SOFTWARE\\Classes\\clsid\\{3ED1E910-D951-4C15-AC9C-8B24B6C1E04E}", 0,
                          KEY_READ, &key),
            ERROR_SUCCESS);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key, nullptr, nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, text.size());
  RegCloseKey(key);

  RegCloseKey(Create(HKEY_CURRENT_USER, u"UserOnly"));
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"UserOnly", KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(std::filesystem::exists(HivePath("HKCU.reg")));
}

// Persistence: every change is in the hive file at once, and another process sees it; writers in
// two processes do not lose each other's values.
TEST_F(RegistryTest, ChangesPersistAndReachOtherProcesses) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, u"Shared");
  DWORD before = 1;
  ASSERT_EQ(RegSetValueExW(key, u"Before", 0, REG_DWORD, reinterpret_cast<BYTE*>(&before), 4),
            ERROR_SUCCESS);
  RegCloseKey(key);

  // The child sees the parent's value, then adds its own.
  ASSERT_EQ(RunInChild([this] {
              HKEY childKey = nullptr;
              if (Open(HKEY_LOCAL_MACHINE, u"shared", KEY_ALL_ACCESS, &childKey)) return 1;
              DWORD value = 0;
              DWORD size = 4;
              if (RegQueryValueExW(childKey, u"Before", nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(&value), &size) ||
                  value != 1)
                return 2;
              DWORD after = 2;
              return RegSetValueExW(childKey, u"After", 0, REG_DWORD,
                                    reinterpret_cast<BYTE*>(&after), 4) == ERROR_SUCCESS
                         ? 0
                         : 3;
            }),
            0);
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"Shared", KEY_READ, &key), ERROR_SUCCESS);
  DWORD after = 0;
  DWORD size = 4;
  EXPECT_EQ(
      RegQueryValueExW(key, u"After", nullptr, nullptr, reinterpret_cast<BYTE*>(&after), &size),
      ERROR_SUCCESS);
  EXPECT_EQ(after, 2u);
  RegCloseKey(key);

  // Two processes writing at once.
  auto writer = [this](int first) {
    return [this, first] {
      for (int i = first; i < first + 40; ++i) {
        HKEY k = nullptr;
        if (Open(HKEY_LOCAL_MACHINE, u"Shared", KEY_SET_VALUE, &k)) return 1;
        std::u16string name = u"N" + std::u16string(1, static_cast<char16_t>(u'A' + i / 26)) +
                              std::u16string(1, static_cast<char16_t>(u'a' + i % 26));
        DWORD v = static_cast<DWORD>(i);
        if (RegSetValueExW(k, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4)) return 2;
        RegCloseKey(k);
      }
      return 0;
    };
  };
  pid_t a = fork();
  if (a == 0) _exit(writer(0)());
  pid_t b = fork();
  if (b == 0) _exit(writer(40)());
  int statusA = 0;
  int statusB = 0;
  waitpid(a, &statusA, 0);
  waitpid(b, &statusB, 0);
  ASSERT_TRUE(WIFEXITED(statusA) && WEXITSTATUS(statusA) == 0);
  ASSERT_TRUE(WIFEXITED(statusB) && WEXITSTATUS(statusB) == 0);
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"Shared", KEY_READ, &key), ERROR_SUCCESS);
  for (int i = 0; i < 80; ++i) {
    std::u16string name = u"N" + std::u16string(1, static_cast<char16_t>(u'A' + i / 26)) +
                          std::u16string(1, static_cast<char16_t>(u'a' + i % 26));
    DWORD v = 0;
    size = 4;
    ASSERT_EQ(
        RegQueryValueExW(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &size),
        ERROR_SUCCESS)
        << i;
    EXPECT_EQ(v, static_cast<DWORD>(i));
  }
  RegCloseKey(key);
}

// Names and data that look like the file's own syntax survive a fresh read of the file.
TEST_F(RegistryTest, AwkwardNamesAndDataSurviveTheFile) {
  HKEY key = Create(HKEY_LOCAL_MACHINE, u"Odd]\\[Name%41");
  const std::u16string valueName = u"\"quoted\" 100% [x]\r\nnext";
  const BYTE blob[] = {0, '\n', '%', '"', 0xFF, ']'};
  ASSERT_EQ(RegSetValueExW(key, valueName.c_str(), 0, REG_BINARY, blob, sizeof blob),
            ERROR_SUCCESS);
  std::vector<BYTE> text = Bytes(u"line1\nline2 \"%20\" \U0001F600");
  ASSERT_EQ(RegSetValueExW(key, u"Text", 0, REG_EXPAND_SZ, text.data(), text.size()),
            ERROR_SUCCESS);
  const BYTE lone[] = {0x00, 0xD8, 0x41, 0x00};  // a lone surrogate, not NUL-terminated
  ASSERT_EQ(RegSetValueExW(key, u"Lone", 0, REG_SZ, lone, sizeof lone), ERROR_SUCCESS);
  RegCloseKey(key);

  ASSERT_EQ(RunInChild([&] {
              HKEY k = nullptr;
              if (Open(HKEY_LOCAL_MACHINE, u"odd]\\[name%41", KEY_READ, &k)) return 1;
              BYTE data[64];
              DWORD type = 0;
              DWORD size = sizeof data;
              if (RegQueryValueExW(k, valueName.c_str(), nullptr, &type, data, &size) ||
                  type != REG_BINARY || size != sizeof blob || memcmp(data, blob, size) != 0)
                return 2;
              size = sizeof data;
              if (RegQueryValueExW(k, u"Text", nullptr, &type, data, &size) ||
                  type != REG_EXPAND_SZ || size != text.size() || memcmp(data, text.data(), size))
                return 3;
              size = sizeof data;
              if (RegQueryValueExW(k, u"Lone", nullptr, &type, data, &size) || type != REG_SZ ||
                  size != sizeof lone || memcmp(data, lone, size))
                return 4;
              return 0;
            }),
            0);
}

// A damaged hive costs the damaged lines only.
TEST_F(RegistryTest, DamagedLinesAreSkipped) {
  RegCloseKey(Create(HKEY_CURRENT_USER, u"Seed"));
  std::string path = HivePath("HKCU.reg");
  std::string damaged =
      "LUMIDOCK-REGISTRY 1\n"
      "[Software\\LumidockRegistryTest\\Damaged]\n"
      "\"Good\"=dword:0000002a\n"
      "\"Bad\"=dword:zz\n"
      "\"Half\"=hex(3):0\n"
      "garbage without form\n"
      "\"Str\"=str(1):\"ok\"\n";
  std::string temp = path + ".new";
  std::ofstream(temp, std::ios::binary) << damaged;
  std::filesystem::rename(temp, path);

  HKEY key = nullptr;
  ASSERT_EQ(Open(HKEY_CURRENT_USER, u"Damaged", KEY_READ, &key), ERROR_SUCCESS);
  DWORD value = 0;
  DWORD size = 4;
  EXPECT_EQ(
      RegQueryValueExW(key, u"Good", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
      ERROR_SUCCESS);
  EXPECT_EQ(value, 42u);
  size = 4;
  EXPECT_EQ(RegQueryValueExW(key, u"Bad", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExW(key, u"Half", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  WCHAR text[8];
  size = sizeof text;
  EXPECT_EQ(RegQueryValueExW(key, u"Str", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(text), u"ok");
  RegCloseKey(key);
}

}  // namespace
