#include "Logic/DriveEntry.h"

#include <vector>

#include "Logic/PhotoDb.h"
#include "NetEngine/DllLog.h"
#include "win32/file.h"
#include "win32/module_name.h"
#include "win32/registry.h"
#include "win32/shell.h"
#include "win32/shell_custom.h"

using namespace win32;

namespace {

constexpr WCHAR kEntryClsid[] = u"{3ED1E910-D951-4c15-AC9C-8B24B6C1E04E}";
constexpr WCHAR kClsidKey[] = u"CLSID\\{3ED1E910-D951-4c15-AC9C-8B24B6C1E04E}";
constexpr WCHAR kNameSpaceParent[] =
    u"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MyComputer\\NameSpace";
constexpr WCHAR kNameSpaceKey[] =
    u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\MyComputer\\NameSpace\\"
    u"{3ED1E910-D951-4c15-AC9C-8B24B6C1E04E}";
constexpr WCHAR kDisplayName[] = u"Lumidock";
constexpr WCHAR kPrivateFolder[] = u".private";
constexpr WCHAR kIconFile[] = u".private\\folder.ico";
constexpr WCHAR kDesktopIni[] = u"desktop.ini";
constexpr WCHAR kIconSourceName[] = u"folder.ico";
// Registry key names are at most 255 characters.
constexpr DWORD kKeyNameChars = 256;
constexpr DWORD kModulePathChars = 32768;

// One registry row: a value under a subkey of the entry's class key (empty: the key itself),
// or just the subkey when `type` is REG_NONE.
struct RegistryRow {
  const WCHAR* pSubKey;
  const WCHAR* pValueName;  // null: the default value
  DWORD type;
  std::u16string text;
  DWORD number;
};

std::u16string WithTrailingBackslash(const std::u16string& folder) {
  if (!folder.empty() && folder.back() == u'\\') return folder;
  return folder + u'\\';
}

LSTATUS WriteRow(HKEY hKey, const RegistryRow& row) {
  HKEY hSubKey = nullptr;
  LSTATUS error = RegCreateKeyExW(hKey, row.pSubKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_WRITE | KEY_WOW64_64KEY, nullptr, &hSubKey, nullptr);
  if (error != ERROR_SUCCESS) return error;
  if (row.type == REG_SZ) {
    // With the closing NUL.
    error = RegSetValueExW(hSubKey, row.pValueName, 0, REG_SZ,
                           reinterpret_cast<const BYTE*>(row.text.c_str()),
                           static_cast<DWORD>((row.text.size() + 1) * sizeof(WCHAR)));
  } else if (row.type == REG_DWORD) {
    error = RegSetValueExW(hSubKey, row.pValueName, 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&row.number), sizeof(row.number));
  }
  RegCloseKey(hSubKey);
  return error;
}

// Deletes `name` under `hParent` with everything below it. A subkey that cannot be deleted
// stops the walk: it would otherwise come back as the first subkey forever.
bool DeleteKeyTree(HKEY hParent, const WCHAR* pName) {
  HKEY hKey = nullptr;
  if (RegOpenKeyExW(hParent, pName, 0,
                    KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE | KEY_WOW64_64KEY,
                    &hKey) == ERROR_SUCCESS) {
    for (;;) {
      WCHAR child[kKeyNameChars];
      DWORD length = kKeyNameChars;
      if (RegEnumKeyExW(hKey, 0, child, &length, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS) {
        break;
      }
      if (!DeleteKeyTree(hKey, child)) break;
    }
    RegCloseKey(hKey);
  }
  return RegDeleteKeyW(hParent, pName) == ERROR_SUCCESS;
}

void DeleteKeyTreeUnder(HKEY hRoot, const WCHAR* pParentPath) {
  HKEY hParent = nullptr;
  if (RegOpenKeyExW(hRoot, pParentPath, 0,
                    KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE | KEY_WOW64_64KEY,
                    &hParent) != ERROR_SUCCESS) {
    return;
  }
  DeleteKeyTree(hParent, kEntryClsid);
  RegCloseKey(hParent);
}

void RefreshShell() {
  PIDLIST_ABSOLUTE pidl = nullptr;
  if (SUCCEEDED(SHGetSpecialFolderLocation(nullptr, CSIDL_DRIVES, &pidl)) && pidl) {
    SHChangeNotify(SHCNE_UPDATEITEM, SHCNF_IDLIST | SHCNF_FLUSH, pidl, nullptr);
    ILFree(pidl);
  }
}

}  // namespace

HRESULT CDriveEntry::Register(const std::u16string& folder) {
  if (!IsDecorated(folder)) Decorate(folder);

  HKEY hClass = nullptr;
  LSTATUS error = RegCreateKeyExW(HKEY_CLASSES_ROOT, kClsidKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_WRITE | KEY_WOW64_64KEY, nullptr, &hClass, nullptr);
  if (error != ERROR_SUCCESS) return HRESULT_FROM_WIN32(error);
  const RegistryRow rows[] = {
      {u"", nullptr, REG_SZ, kDisplayName, 0},
      {u"", u"InfoTip", REG_SZ, u"打开照片备份位置", 0},
      {u"DefaultIcon", nullptr, REG_SZ, IconSourcePath() + u",0", 0},
      {u"InProcServer32", nullptr, REG_SZ, u"shdocvw.dll", 0},
      {u"InProcServer32", u"ThreadingModel", REG_SZ, u"ApartMent", 0},
      {u"Instance", u"CLSID", REG_SZ, u"{0AFACED1-E828-11D1-9187-B532F1E9575D}", 0},
      {u"Instance\\InitPropertyBag", u"Target", REG_SZ, folder, 0},
      {u"shell", nullptr, REG_NONE, u"", 0},
      {u"shellex\\PropertySheetHandlers\\{3ED1E910-D951-4c15-AC9C-8B24B6C1E04E}", nullptr, REG_NONE,
       u"", 0},
      {u"ShellFolder", u"Attributes", REG_DWORD, u"", 0xF8801108},
      {u"ShellFolder", u"WantsFORPARSING", REG_SZ, u"", 0},
      {u"ShellFolder", u"PinToNameSpaceTree", REG_SZ, u"", 0},
  };
  for (const RegistryRow& row : rows) {
    error = WriteRow(hClass, row);
    if (error != ERROR_SUCCESS) break;
  }
  RegCloseKey(hClass);
  if (error != ERROR_SUCCESS) {
    DLL_LOG("CDriveEntry::Register class rows failed: %d", error);
    return HRESULT_FROM_WIN32(static_cast<DWORD>(error));
  }

  error = WriteRow(HKEY_LOCAL_MACHINE, {kNameSpaceKey, nullptr, REG_SZ, kDisplayName, 0});
  if (error != ERROR_SUCCESS) {
    DLL_LOG("CDriveEntry::Register namespace row failed: %d", error);
    return HRESULT_FROM_WIN32(static_cast<DWORD>(error));
  }
  RefreshShell();
  return S_OK;
}

bool CDriveEntry::IsRegistered() {
  std::u16string path = std::u16string(kNameSpaceParent) + u"\\" + kEntryClsid;
  HKEY hKey = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &hKey) !=
      ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(hKey);
  return true;
}

void CDriveEntry::Unregister() {
  DeleteKeyTreeUnder(HKEY_CLASSES_ROOT, u"CLSID");
  DeleteKeyTreeUnder(HKEY_LOCAL_MACHINE, kNameSpaceParent);
  RefreshShell();
}

bool CDriveEntry::Decorate(const std::u16string& folder) {
  // Without the folder nothing below has a place to go, and a relative or empty path would
  // decorate whatever folder it happens to resolve to.
  int created = SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
  if (created != ERROR_SUCCESS && created != static_cast<int>(ERROR_ALREADY_EXISTS)) {
    DLL_LOG("CDriveEntry::Decorate cannot create the folder: %d", created);
    return false;
  }
  const std::u16string base = WithTrailingBackslash(folder);

  const std::u16string privateFolder = base + kPrivateFolder;
  CreateDirectoryW(privateFolder.c_str(), nullptr);
  DWORD attributes = GetFileAttributesW(privateFolder.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    SetFileAttributesW(privateFolder.c_str(), attributes | FILE_ATTRIBUTE_HIDDEN);
  }

  // A missing icon source leaves the folder without its icon, still with its desktop.ini.
  CopyFileW(IconSourcePath().c_str(), (base + kIconFile).c_str(), FALSE);

  DeleteFileW((base + kDesktopIni).c_str());
  std::u16string iconFile = kIconFile;
  std::u16string infoTip;
  SHFOLDERCUSTOMSETTINGS settings{};
  settings.dwSize = sizeof(settings);
  settings.dwMask = FCSM_ICONFILE | FCSM_INFOTIP;
  settings.pszIconFile = iconFile.data();
  settings.iIconIndex = 0;
  settings.pszInfoTip = infoTip.data();
  return SUCCEEDED(SHGetSetFolderCustomSettings(&settings, folder.c_str(), FCS_FORCEWRITE));
}

void CDriveEntry::Undecorate(const std::u16string& folder) {
  if (folder.empty()) return;
  const std::u16string base = WithTrailingBackslash(folder);
  DeleteFileW((base + kIconFile).c_str());
  RemoveDirectoryW((base + kPrivateFolder).c_str());
  DeleteFileW((base + kDesktopIni).c_str());
}

bool CDriveEntry::IsDecorated(const std::u16string& folder) {
  if (folder.empty()) return false;
  return PathFileExistsW((WithTrailingBackslash(folder) + kIconFile).c_str()) != FALSE;
}

void CDriveEntry::UnregisterDrive() {
  Unregister();
  std::u16string path;
  std::u16string workDir;
  bool tooLong = false;
  if (CPhotoDb::SettingsFilePath(&path)) {
    workDir = CPhotoDb::ReadValue(path, u"Basic", u"WorkDir", u"", &tooLong);
  }
  if (!tooLong) Undecorate(workDir);
}

std::u16string CDriveEntry::IconSourcePath() {
  HMODULE hModule = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&CDriveEntry::IconSourcePath), &hModule);
  std::vector<WCHAR> buffer(kModulePathChars);
  DWORD length = hModule ? GetModuleFileNameW(hModule, buffer.data(), kModulePathChars) : 0;
  std::u16string modulePath(buffer.data(), length < kModulePathChars ? length : 0);
  size_t slash = modulePath.rfind(u'\\');
  std::u16string folder =
      slash == std::u16string::npos ? std::u16string() : modulePath.substr(0, slash + 1);
  return folder + kIconSourceName;
}
