#include "GuidCacheFile.h"

#include <strings.h>

#include "win32/file.h"
#include "win32/profile.h"
#include "win32/shell.h"

using namespace win32;

namespace ZyMacID {

namespace {

// Big enough that a value longer than its expected 32 characters is seen whole, not cut to a
// length that would pass.
constexpr DWORD kValueBufferSize = 256;

bool CreateFolder(const std::string& path) {
  if (CreateDirectoryA(path.c_str(), nullptr)) return true;
  DWORD error = GetLastError();
  return error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED;
}

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string ReadValue(const char* key, const std::string& path) {
  char value[kValueBufferSize] = {};
  DWORD length =
      GetPrivateProfileStringA("Profile", key, "", value, kValueBufferSize, path.c_str());
  return std::string(value, length);
}

OVERLAPPED WholeFileRange() {
  OVERLAPPED range = {};
  range.Offset = 0;
  range.OffsetHigh = 0;
  return range;
}

}  // namespace

CGuidCacheFile::CGuidCacheFile() : m_hFile(INVALID_HANDLE_VALUE) {}

CGuidCacheFile::~CGuidCacheFile() { Close(); }

bool CGuidCacheFile::Open() {
  char appData[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathA(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr,
                              SHGFP_TYPE_CURRENT, appData)) ||
      appData[0] == 0) {
    return false;
  }
  std::string folder = std::string(appData) + "\\Corvane";
  if (!CreateFolder(folder)) return false;
  folder += "\\Hearthsync";
  if (!CreateFolder(folder)) return false;
  m_path = folder + "\\GlobalMgr.db";

  HANDLE file =
      CreateFileA(m_path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool openedExisting = GetLastError() == ERROR_ALREADY_EXISTS;

  OVERLAPPED range = WholeFileRange();
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 0xFFFFFFFF, 0xFFFFFFFF, &range)) {
    CloseHandle(file);
    return false;
  }
  m_hFile = file;
  // A file this call created may have been filled by another deriver that locked it first;
  // that content must be validated, not overwritten with a different derivation.
  DWORD sizeHigh = 0;
  DWORD sizeLow = GetFileSize(file, &sizeHigh);
  bool hasData = (sizeLow != INVALID_FILE_SIZE || GetLastError() == ERROR_SUCCESS) &&
                 (sizeLow != 0 || sizeHigh != 0);
  m_existed = openedExisting || hasData;
  return true;
}

CacheValues CGuidCacheFile::Read() const {
  CacheValues values;
  values.config1 = ReadValue("config1", m_path);
  values.config2 = ReadValue("config2", m_path);
  values.config3 = ReadValue("config3", m_path);
  values.config4 = ReadValue("config4", m_path);
  values.config5 = static_cast<int>(GetPrivateProfileIntA("Profile", "config5", 0, m_path.c_str()));
  return values;
}

bool CGuidCacheFile::Rewrite(const uint8_t guid[16], const CacheHashes& hashes) {
  if (m_hFile == INVALID_HANDLE_VALUE) return false;
  static const char kDigits[] = "0123456789abcdef";
  std::string guidHex;
  for (int i = 0; i < 16; ++i) {
    guidHex += kDigits[guid[i] >> 4];
    guidHex += kDigits[guid[i] & 0x0F];
  }
  std::string content = "[Profile]\r\n";
  content += "config1=" + guidHex + "\r\n";
  content += "config2=" + hashes.address + "\r\n";
  content += "config3=" + hashes.disk + "\r\n";
  content += "config4=" + hashes.processor + "\r\n";
  content += "config5=1\r\n";

  HANDLE target = m_hFile;
  bool ownTarget = false;
  SetFilePointer(m_hFile, 0, nullptr, FILE_BEGIN);
  SetEndOfFile(m_hFile);
  DWORD sizeHigh = 0;
  DWORD sizeLow = GetFileSize(m_hFile, &sizeHigh);
  if (sizeLow != 0 || sizeHigh != 0) {
    target = CreateFileA(m_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (target == INVALID_HANDLE_VALUE) return false;
    ownTarget = true;
  }
  DWORD written = 0;
  BOOL ok =
      WriteFile(target, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  if (ownTarget) CloseHandle(target);
  return ok && written == content.size();
}

void CGuidCacheFile::Close() {
  if (m_hFile == INVALID_HANDLE_VALUE) return;
  OVERLAPPED range = WholeFileRange();
  UnlockFileEx(m_hFile, 0, 0xFFFFFFFF, 0xFFFFFFFF, &range);
  CloseHandle(m_hFile);
  m_hFile = INVALID_HANDLE_VALUE;
}

CacheVerdict CGuidCacheFile::Validate(const CacheValues& values, const CacheHashes& hashes,
                                      bool diskOk, bool brandOk) {
  CacheVerdict verdict;
  bool match = EqualIgnoringCase(values.config4, hashes.processor) &&
               (EqualIgnoringCase(values.config2, hashes.address) ||
                EqualIgnoringCase(values.config3, hashes.disk));
  if (values.config1.size() != 32) return verdict;
  if (match) {
    // Other programs write this file too: anything but 32 hex digits is no GUID.
    for (int i = 0; i < 16; ++i) {
      int high = HexDigit(values.config1[2 * i]);
      int low = HexDigit(values.config1[2 * i + 1]);
      if (high < 0 || low < 0) return verdict;
      verdict.guid[i] = static_cast<uint8_t>(high << 4 | low);
    }
  }
  int inputsNow = 1 + (diskOk ? 1 : 0) + (brandOk ? 1 : 0);
  int inputsCached = (values.config2.empty() ? 0 : 1) + (values.config3.empty() ? 0 : 1) +
                     (values.config4.empty() ? 0 : 1);
  if (inputsCached < inputsNow) return verdict;
  if (values.config5 == 0 && brandOk && (values.config2.empty() || values.config3.empty()) &&
      inputsNow != 3 && inputsNow >= inputsCached) {
    verdict.raiseProcessor = true;
    return verdict;
  }
  verdict.valid = match;
  return verdict;
}

}  // namespace ZyMacID
