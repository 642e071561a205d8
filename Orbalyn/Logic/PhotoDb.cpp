#include "Logic/PhotoDb.h"

#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

#include "Logic/DriveEntry.h"
#include "Logic/PhotoDevice.h"
#include "Logic/PhotoDeviceContainer.h"
#include "Logic/SettingsText.h"
#include "NetEngine/DllLog.h"
#include "Common/Lock.h"
#include "NetEngine/NetHelpers.h"
#include "machine-identity/SeqIDGenerator.h"
#include "win32/file.h"
#include "win32/module_name.h"
#include "win32/profile.h"
#include "win32/shell.h"
#include "win32/strings.h"

using namespace win32;

namespace {

constexpr WCHAR kSettingsFolder[] = u"\\Corvane";
constexpr WCHAR kSettingsSubFolder[] = u"\\Corvane\\Orbalyn";
constexpr WCHAR kSettingsFile[] = u"\\Corvane\\Orbalyn\\Orbalyn.dat";
// Temporary files of a save, beside the settings file: "<prefix><pid>-<n>".
constexpr WCHAR kTempPrefix[] = u"\\.Orbalyn.dat.tmp-";
constexpr WCHAR kBasic[] = u"Basic";
constexpr size_t kKeyLength = 16;
constexpr size_t kPcGuidLength = 32;

bool AppDataFolder(std::u16string* pFolder) {
  WCHAR folder[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr,
                              SHGFP_TYPE_CURRENT, folder))) {
    return false;
  }
  *pFolder = folder;
  return true;
}

// Leading blanks, an optional sign and decimal digits, as the file's numbers were written.
int64_t ParseInt64(const std::u16string& text) {
  std::string narrow = WideToAnsi(text);
  return strtoll(narrow.c_str(), nullptr, 10);
}

std::u16string Int64Text(int64_t value) { return FormatW(u"%lld", static_cast<long long>(value)); }

std::u16string DeviceSection(int index) { return FormatW(u"PhotoDevice%d", index); }

// The whole settings file; a missing one reads as empty.
DWORD ReadSettingsFile(const std::u16string& path, std::string* pBytes) {
  pBytes->clear();
  HANDLE hFile = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (hFile == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ERROR_SUCCESS : error;
  }
  DWORD error = ERROR_SUCCESS;
  char buffer[16384];
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(hFile, buffer, sizeof(buffer), &read, nullptr)) {
      error = GetLastError();
      break;
    }
    if (read == 0) break;
    pBytes->append(buffer, read);
  }
  CloseHandle(hFile);
  return error;
}

// Writes the text to a temporary file beside the settings file, flushes it and renames it over
// the settings file. The temporary name carries the process id, so a later start can tell the
// leftovers of a killed process from a save in progress.
DWORD ReplaceSettingsFile(const std::u16string& folder, const std::u16string& path,
                          const std::string& text) {
  static std::atomic<unsigned> s_counter{0};
  const std::u16string temp =
      folder + kTempPrefix + FormatW(u"%u-%u", GetCurrentProcessId(), s_counter.fetch_add(1));
  HANDLE hFile = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  if (hFile == INVALID_HANDLE_VALUE) return GetLastError();
  DWORD error = ERROR_SUCCESS;
  DWORD written = 0;
  if (!WriteFile(hFile, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
      written != text.size() || !FlushFileBuffers(hFile)) {
    error = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_WRITE_FAULT;
  }
  CloseHandle(hFile);
  if (error == ERROR_SUCCESS && !MoveFileExW(temp.c_str(), path.c_str(),
                                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = GetLastError();
  }
  if (error != ERROR_SUCCESS) DeleteFileW(temp.c_str());
  return error;
}

// The process that made a temporary file, from its name; 0 when the name is not one of ours.
DWORD TempFileOwner(const std::u16string& name) {
  const std::u16string prefix(kTempPrefix + 1);  // without the separator
  if (name.compare(0, prefix.size(), prefix) != 0) return 0;
  const std::string rest = WideToAnsi(name.substr(prefix.size()));
  char* pEnd = nullptr;
  const unsigned long pid = strtoul(rest.c_str(), &pEnd, 10);
  return pEnd != rest.c_str() && *pEnd == '-' ? static_cast<DWORD>(pid) : 0;
}

}  // namespace

CPhotoDb::CPhotoDb() { InitCriticalSection(&m_lock); }

CPhotoDb::~CPhotoDb() {
  ClearDevices();
  DeleteCriticalSection(&m_lock);
}

HRESULT CPhotoDb::QueryInterface(REFIID riid, void** ppObject) {
  if (!ppObject) return E_INVALIDARG;
  if (riid != IID_IUnknown && riid != IID_IOrbalynDB) return E_NOINTERFACE;
  *ppObject = static_cast<IOrbalynDB*>(this);  // static: no reference
  return S_OK;
}

ULONG CPhotoDb::AddRef() { return 1; }

ULONG CPhotoDb::Release() { return 1; }

HRESULT CPhotoDb::SetWorkDir(const WCHAR* pDir) {
  if (!pDir) return E_INVALIDARG;
  std::u16string dir(pDir);
  std::u16string old = WorkDir();
  // Exact comparison: the file systems here tell letter case apart, so "Photos" and "photos"
  // are two folders and the old one must lose its decoration.
  if (!old.empty() && !PathsEqual(old.c_str(), dir.c_str())) {
    CDriveEntry::Unregister();
    CDriveEntry::Undecorate(old);
  }
  CDriveEntry::Register(dir);
  ScopedLock lock(&m_lock);
  m_workDir.swap(dir);
  return S_OK;
}

HRESULT CPhotoDb::GetWorkDir(BSTR* pDir) {
  if (!pDir) return E_INVALIDARG;
  ScopedLock lock(&m_lock);
  *pDir = SysAllocStringLen(m_workDir.data(), static_cast<UINT>(m_workDir.size()));
  return S_OK;
}

HRESULT CPhotoDb::GetDeviceId(int64_t* pId) {
  if (!pId) return E_INVALIDARG;
  *pId = DeviceId();
  return S_OK;
}

HRESULT CPhotoDb::FindDevice(int64_t id, IOrbalynDevice** ppDevice) {
  if (!ppDevice) return E_INVALIDARG;
  CPhotoDevice* pDevice = FindOrCreateDevice(id, false);
  *ppDevice = pDevice;  // the caller's reference
  return pDevice ? S_OK : S_FALSE;
}

HRESULT CPhotoDb::GetBoundDevices(IOrbalynDeviceContainer** ppDevices) {
  if (!ppDevices) return E_INVALIDARG;
  *ppDevices = MakeContainer(true);
  return *ppDevices ? S_OK : E_OUTOFMEMORY;
}

HRESULT CPhotoDb::GetAllDevices(IOrbalynDeviceContainer** ppDevices) {
  if (!ppDevices) return E_INVALIDARG;
  *ppDevices = MakeContainer(false);
  return *ppDevices ? S_OK : E_OUTOFMEMORY;
}

HRESULT CPhotoDb::AutoRenameDevice(int64_t id, BSTR* pName) {
  if (pName) *pName = nullptr;
  ScopedLock lock(&m_lock);
  auto it = m_devices.find(id);
  if (it == m_devices.end()) return E_FAIL;
  int result = AutoRenameLocked(it->second);
  if (pName) {
    std::u16string name = it->second->Name();
    *pName = SysAllocStringLen(name.data(), static_cast<UINT>(name.size()));
  }
  return result == 0 ? E_FAIL : S_OK;
}

HRESULT CPhotoDb::GetMatchDeviceId(int64_t id, int64_t* pMatchId) {
  if (!pMatchId) return E_INVALIDARG;
  *pMatchId = 0;
  ScopedLock lock(&m_lock);
  auto it = m_devices.find(id);
  if (it == m_devices.end()) return E_FAIL;
  CPhotoDevice* pMatch = FindMatchDeviceLocked(it->second);
  if (!pMatch) return E_FAIL;
  *pMatchId = pMatch->Id();
  pMatch->Release();
  return S_OK;
}

int CPhotoDb::Open() {
  RemoveStaleTempFiles();
  int result = Load();
  std::u16string workDir;
  bool haveDevices;
  {
    ScopedLock lock(&m_lock);
    workDir = m_workDir;
    haveDevices = !m_devices.empty();
  }
  if (haveDevices && !workDir.empty()) {
    if (!CDriveEntry::IsDecorated(workDir)) CDriveEntry::Decorate(workDir);
    if (!CDriveEntry::IsRegistered()) CDriveEntry::Register(workDir);
  }
  return result;
}

int CPhotoDb::Load() {
  ScopedLock lock(&m_lock);
  std::u16string path;
  if (!SettingsFilePath(&path)) return 0;
  m_deviceId = ParseInt64(ReadValue(path, kBasic, u"DeviceId", u"0"));
  if (m_deviceId == 0) {
    // An unregistered file owns nothing an earlier load in this process may have read.
    m_idKey.clear();
    m_workDir.clear();
    m_pcGuid.clear();
    return 1;
  }

  m_idKey = WideToAnsi(ReadValue(path, kBasic, u"DeviceIdKey", u""));
  bool tooLong = false;
  std::u16string workDir = ReadValue(path, kBasic, u"WorkDir", u"", &tooLong);
  if (tooLong) {
    // A cut path names another folder; better no folder than the wrong one.
    DLL_LOG("CPhotoDb[%p]::Load WorkDir longer than %u characters, ignored",
            static_cast<void*>(this), kReadBufferChars - 1);
  } else {
    m_workDir.swap(workDir);
  }
  m_pcGuid = WideToAnsi(ReadValue(path, kBasic, u"GUID", u""));

  int count = static_cast<int>(GetPrivateProfileIntW(kBasic, u"DeviceCount", 0, path.c_str()));
  if (count > kMaxDeviceSections) {
    DLL_LOG("CPhotoDb[%p]::Load DeviceCount %d, reading only %d sections", static_cast<void*>(this),
            count, kMaxDeviceSections);
    count = kMaxDeviceSections;
  }
  for (int i = 0; i < count; ++i) {
    std::u16string section = DeviceSection(i);
    int64_t id = ParseInt64(ReadValue(path, section.c_str(), u"Id", u"0"));
    if (id == 0) continue;
    std::string key = WideToAnsi(ReadValue(path, section.c_str(), u"Key", u""));
    if (key.size() != kKeyLength) continue;
    CPhotoDevice* pDevice = FindOrCreateDeviceLocked(id, true);
    if (!pDevice) continue;
    pDevice->SetKey(key);
    pDevice->SetBindState(CPhotoDevice::kBindLoaded);
    pDevice->SetName(ReadValue(path, section.c_str(), u"Name", u""));
    pDevice->SetGuid(ReadValue(path, section.c_str(), u"Guid", u""));
    pDevice->SetZelid(ReadValue(path, section.c_str(), u"Zelid", u""));
    pDevice->Release();
  }
  return 1;
}

int CPhotoDb::Save() {
  ScopedLock lock(&m_lock);
  std::u16string appData;
  if (!AppDataFolder(&appData)) return 0;
  CreateDirectoryW((appData + kSettingsFolder).c_str(), nullptr);
  CreateDirectoryW((appData + kSettingsSubFolder).c_str(), nullptr);
  const std::u16string path = appData + kSettingsFile;

  // The writes of a save, made on the file's text in memory, then one replace: the file on
  // disk is always a whole save, the one before or this one.
  CSettingsText text;
  std::string bytes;
  DWORD error = ReadSettingsFile(path, &bytes);
  if (error == ERROR_SUCCESS) {
    text.Parse(bytes);
    text.SetValue(kBasic, u"DeviceId", Int64Text(m_deviceId));
    text.SetValue(kBasic, u"DeviceIdKey", AnsiToWide(m_idKey));
    text.SetValue(kBasic, u"WorkDir", m_workDir);
    text.SetValue(kBasic, u"GUID", AnsiToWide(m_pcGuid));
    int count = 0;
    for (const auto& [id, pDevice] : m_devices) {
      if (!pDevice->IsBound()) continue;
      std::string key = pDevice->Key();
      if (key.size() != kKeyLength) continue;
      const std::u16string section = DeviceSection(count);
      text.SetValue(section, u"Id", Int64Text(id));
      text.SetValue(section, u"Key", AnsiToWide(key));
      text.SetValue(section, u"Name", pDevice->Name());
      text.SetValue(section, u"Guid", pDevice->Guid());
      text.SetValue(section, u"Zelid", pDevice->Zelid());
      ++count;
    }
    text.SetValue(kBasic, u"DeviceCount", FormatW(u"%d", count));
    error = ReplaceSettingsFile(appData + kSettingsSubFolder, path, text.ToText());
  }
  if (error != ERROR_SUCCESS) {
    DLL_LOG("CPhotoDb[%p]::Save failed: %u", static_cast<void*>(this), error);
  }
  return 1;
}

CPhotoDevice* CPhotoDb::FindOrCreateDevice(int64_t id, bool create) {
  ScopedLock lock(&m_lock);
  return FindOrCreateDeviceLocked(id, create);
}

bool CPhotoDb::RemoveDevice(int64_t id) {
  CPhotoDevice* pDevice;
  {
    ScopedLock lock(&m_lock);
    auto it = m_devices.find(id);
    if (it == m_devices.end()) return false;
    pDevice = it->second;
    m_devices.erase(it);
  }
  pDevice->Release();  // the map's
  return true;
}

void CPhotoDb::ClearDevices() {
  std::map<int64_t, CPhotoDevice*> devices;
  {
    ScopedLock lock(&m_lock);
    devices.swap(m_devices);
  }
  for (const auto& entry : devices) entry.second->Release();
}

int CPhotoDb::DeviceCount() {
  ScopedLock lock(&m_lock);
  return static_cast<int>(m_devices.size());
}

int64_t CPhotoDb::DeviceId() {
  ScopedLock lock(&m_lock);
  return m_deviceId;
}

void CPhotoDb::SetDeviceId(int64_t id) {
  ScopedLock lock(&m_lock);
  m_deviceId = id;
}

std::string CPhotoDb::IdKey() {
  ScopedLock lock(&m_lock);
  return m_idKey;
}

void CPhotoDb::SetIdKey(const std::string& key) {
  ScopedLock lock(&m_lock);
  m_idKey = key;
}

std::string CPhotoDb::SessionKey() {
  ScopedLock lock(&m_lock);
  return m_sessionKey;
}

void CPhotoDb::SetSessionKey(const std::string& key) {
  ScopedLock lock(&m_lock);
  m_sessionKey = key;
}

std::u16string CPhotoDb::WorkDir() {
  ScopedLock lock(&m_lock);
  return m_workDir;
}

std::string CPhotoDb::BindKey(bool create) {
  ScopedLock lock(&m_lock);
  if (m_bindKey.size() != kKeyLength && create) m_bindKey = MakeRandomKey();
  return m_bindKey;
}

std::string CPhotoDb::PcGuid() {
  ScopedLock lock(&m_lock);
  if (m_pcGuid.size() != kPcGuidLength) {
    uint8_t guid[16];
    m_pcGuid = ZyMacID::GetMachineGuid(guid) ? BytesToHex(guid, sizeof(guid)) : std::string();
  }
  return m_pcGuid;
}

bool CPhotoDb::SettingsFilePath(std::u16string* pPath) {
  std::u16string appData;
  if (!AppDataFolder(&appData)) return false;
  *pPath = appData + kSettingsFile;
  return true;
}

std::u16string CPhotoDb::ReadValue(const std::u16string& path, const WCHAR* pSection,
                                   const WCHAR* pKey, const WCHAR* pDefault, bool* pTooLong) {
  std::vector<WCHAR> buffer(kReadBufferChars);
  DWORD length = GetPrivateProfileStringW(pSection, pKey, pDefault, buffer.data(), kReadBufferChars,
                                          path.c_str());
  if (pTooLong) *pTooLong = length >= kReadBufferChars - 1;
  return std::u16string(buffer.data(), length);
}

void CPhotoDb::RemoveStaleTempFiles() {
  std::u16string appData;
  if (!AppDataFolder(&appData)) return;
  const std::u16string folder = appData + kSettingsSubFolder;
  WIN32_FIND_DATAW data;
  HANDLE hFind = FindFirstFileW((folder + kTempPrefix + u"*").c_str(), &data);
  if (hFind == INVALID_HANDLE_VALUE) return;
  do {
    const std::u16string name = data.cFileName;
    const DWORD owner = TempFileOwner(name);
    // A process that still runs may be in the middle of its save.
    if (owner == 0 || owner == GetCurrentProcessId() || kill(static_cast<pid_t>(owner), 0) == 0 ||
        errno != ESRCH) {
      continue;
    }
    const bool removed = DeleteFileW((folder + u"\\" + name).c_str());
    DLL_LOG("CPhotoDb::RemoveStaleTempFiles %s: %s", WideToAnsi(name).c_str(),
            removed ? "removed" : "not removed");
  } while (FindNextFileW(hFind, &data));
  FindClose(hFind);
}

void CPhotoDb::ResetForTesting() {
  ClearDevices();
  ScopedLock lock(&m_lock);
  m_sessionKey.clear();
  m_idKey.clear();
  m_bindKey.clear();
  m_deviceId = 0;
  m_pcGuid.clear();
  m_workDir.clear();
}

CPhotoDevice* CPhotoDb::FindOrCreateDeviceLocked(int64_t id, bool create) {
  auto it = m_devices.find(id);
  if (it != m_devices.end()) {
    it->second->AddRef();  // the caller's
    return it->second;
  }
  if (!create) return nullptr;
  CPhotoDevice* pDevice = new (std::nothrow) CPhotoDevice(id);  // its first reference: the map's
  if (!pDevice) return nullptr;
  m_devices.emplace(id, pDevice);
  pDevice->AddRef();  // the caller's
  return pDevice;
}

CPhotoDeviceContainer* CPhotoDb::MakeContainer(bool boundOnly) {
  CPhotoDeviceContainer* pContainer = new (std::nothrow) CPhotoDeviceContainer();
  if (!pContainer) return nullptr;
  ScopedLock lock(&m_lock);
  for (const auto& entry : m_devices) {
    if (!boundOnly || entry.second->IsBound()) pContainer->Add(entry.second);
  }
  return pContainer;
}

int CPhotoDb::AutoRenameLocked(CPhotoDevice* pDevice) {
  const std::u16string name = pDevice->Name();
  if (!IsNameTakenLocked(pDevice, name, "AutoRename")) return 0;
  for (int i = 1; i < 100; ++i) {
    std::u16string candidate = FormatW(u"%s-%d", name.c_str(), i);
    if (!IsNameTakenLocked(pDevice, candidate, "AutoRename")) {
      pDevice->SetName(candidate);
      return 1;
    }
  }
  return 255;
}

bool CPhotoDb::IsNameTakenLocked(CPhotoDevice* pDevice, const std::u16string& name,
                                 const char* pCaller) {
  for (const auto& [id, pOther] : m_devices) {
    if (pOther == pDevice) continue;
    if (id == pDevice->Id()) {
      DLL_LOG("Error: %s found same device id[%" PRId64 "] in two object!", pCaller, id);
      continue;
    }
    if (pOther->Name() == name) return true;
  }
  return false;
}

CPhotoDevice* CPhotoDb::FindMatchDeviceLocked(CPhotoDevice* pDevice) {
  const std::u16string name = pDevice->Name();
  const std::u16string guid = pDevice->Guid();
  for (const auto& [id, pOther] : m_devices) {
    if (pOther == pDevice) continue;
    if (id == pDevice->Id()) {
      DLL_LOG("Error: FindMatchDevice found same device id[%" PRId64 "] in two object!", id);
      continue;
    }
    if (pOther->Name() == name && pOther->Guid() == guid) {
      pOther->AddRef();  // the caller's
      return pOther;
    }
  }
  return nullptr;
}
