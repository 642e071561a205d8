#include "ChannelLog.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "AutoLock.h"
#include "win32/file.h"
#include "win32/registry.h"
#include "win32/shell.h"
#include "win32/strings.h"
#include "win32/time.h"

using namespace win32;

namespace {

const char16_t* const kChannelNames[CChannelLog::kChannelCount] = {
    u"Common",   u"Channel1", u"Channel2", u"Channel3",
    u"Channel4", u"Channel5", u"Channel6", u"Channel7"};

// The lock exists from load to exit, before and after any lazily built state.
class CChannelLogLock {
 public:
  CChannelLogLock() { InitializeCriticalSection(&m_section); }
  CChannelLogLock(const CChannelLogLock&) = delete;
  CChannelLogLock& operator=(const CChannelLogLock&) = delete;
  ~CChannelLogLock() { DeleteCriticalSection(&m_section); }
  CRITICAL_SECTION* Get() { return &m_section; }

 private:
  CRITICAL_SECTION m_section;
};

int ReadCoreLogSwitch() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Corvane\\Harborkeep", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return 0;
  }
  // Raw 4 bytes whatever the value's type, as the other products of the suite read it.
  DWORD value = 0;
  DWORD size = sizeof(value);
  if (RegQueryValueExW(key, u"EnableCoreLog", nullptr, nullptr, reinterpret_cast<BYTE*>(&value),
                       &size) != ERROR_SUCCESS) {
    value = 0;
  }
  RegCloseKey(key);
  return static_cast<int>(value);
}

// Static initialisation order of this file: the lock, then the switch.
CChannelLogLock g_channelLogLock;
const int g_coreLogSwitch = ReadCoreLogSwitch();

}  // namespace

int GetCoreLogSwitch() { return g_coreLogSwitch; }

void WriteChannelLog(int channel, const WCHAR* pFormat, ...) {
  WCHAR wide[4096];
  va_list args;
  va_start(args, pFormat);
  int length = VFormatW(wide, sizeof(wide) / sizeof(wide[0]), pFormat, args);
  va_end(args);
  if (length < 0) length = lstrlenW(wide);  // cut: keep what fitted

  std::string text = Utf16ToUtf8(std::u16string_view(wide, static_cast<size_t>(length)));

  SYSTEMTIME now;
  GetLocalTime(&now);
  char prefix[64];
  snprintf(prefix, sizeof(prefix), "[%d%.2d%.2d %.2d:%.2d:%.2d %.3d]: ", now.wYear, now.wMonth,
           now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
  std::string line = prefix + text;
  if (text.empty() || text.back() != '\n') line += '\n';

  CAutoLock lock(g_channelLogLock.Get());
  std::u16string path = CChannelLog::Get().ChannelPathLocked(channel);
  if (path.empty()) return;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  if (SetFilePointer(file, 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER ||
      GetLastError() == ERROR_SUCCESS) {
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  }
  CloseHandle(file);
}

CChannelLog& CChannelLog::Get() {
  static CChannelLog log;
  return log;
}

std::u16string CChannelLog::ChannelPathLocked(int channel) {
  if (channel < 0 || channel >= kChannelCount) return std::u16string();
  if (m_pathKnown[channel]) return m_paths[channel];

  const std::u16string& folder = FolderLocked();
  if (folder.empty()) return std::u16string();
  std::u16string path = folder + kChannelNames[channel] + u".log";
  WIN32_FILE_ATTRIBUTE_DATA info;
  if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &info) &&
      (info.nFileSizeHigh != 0 || info.nFileSizeLow > kRotateSize)) {
    std::u16string backup = folder + kChannelNames[channel] + u"_backup.log";
    DeleteFileW(backup.c_str());
    MoveFileW(path.c_str(), backup.c_str());
  }
  m_paths[channel] = path;
  m_pathKnown[channel] = true;
  return path;
}

void CChannelLog::ResetForTesting() {
  CAutoLock lock(g_channelLogLock.Get());
  CChannelLog& log = Get();
  log.m_folderKnown = false;
  log.m_folder.clear();
  for (int i = 0; i < kChannelCount; ++i) {
    log.m_pathKnown[i] = false;
    log.m_paths[i].clear();
  }
}

const std::u16string& CChannelLog::FolderLocked() {
  if (m_folderKnown) return m_folder;
  m_folderKnown = true;
  WCHAR common[MAX_PATH] = {};
  if (!SHGetSpecialFolderPathW(nullptr, common, CSIDL_COMMON_APPDATA, FALSE)) return m_folder;
  std::u16string folder = common;
  if (folder.empty()) return m_folder;
  if (folder.back() != u'\\') folder += u'\\';
  folder += u"Corvane\\Harborkeep\\Log";
  SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
  m_folder = folder + u'\\';
  return m_folder;
}
