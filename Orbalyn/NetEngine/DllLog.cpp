#include "NetEngine/DllLog.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Common/LogHook.h"
#include "NetEngine/NetHelpers.h"
#include "win32/file.h"
#include "win32/module_name.h"
#include "win32/strings.h"
#include "win32/sync.h"
#include "win32/thread.h"
#include "win32/time.h"

using namespace win32;

namespace {

// A line (prefix and message, without the line end) is at most kLineSize - 1 bytes.
constexpr size_t kLineSize = 4096;
constexpr DWORD kModulePathChars = 512;

struct LogState {
  LogState() { InitializeCriticalSection(&lock); }

  // Plain, unlike the engine's sections; always the innermost lock.
  CRITICAL_SECTION lock;
  bool opened = false;
  HANDLE hFile = INVALID_HANDLE_VALUE;
  std::u16string path;
  std::u16string modulePathOverride;
};

// Never destroyed: singletons destroyed at exit may still log.
LogState& State() {
  static LogState* const pState = new LogState();
  return *pState;
}

const char* SourceName(const char* pSourcePath) {
  if (!pSourcePath) return "";
  const char* pSlash = strrchr(pSourcePath, '\\');
  return pSlash ? pSlash + 1 : pSourcePath;
}

// The full path of the module holding this code; empty when it cannot be had whole.
std::u16string OwnModulePath() {
  HMODULE hModule = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&OwnModulePath), &hModule)) {
    return {};
  }
  WCHAR path[kModulePathChars] = {};
  DWORD length = GetModuleFileNameW(hModule, path, kModulePathChars);
  // A cut path would name a file in some other folder.
  if (length == 0 || length >= kModulePathChars) return {};
  return std::u16string(path, length);
}

// Where the log goes when the library's folder is not writable: the sandbox's log folder, else
// the user's state folder. Windows form; empty when there is no home either.
std::u16string StateFolder() {
  std::string folder;
  if (const char* pRoot = getenv("LUMIDOCK_ROOT"); pRoot && *pRoot) {
    folder = std::string(pRoot) + "/logs";
  } else if (const char* pState = getenv("XDG_STATE_HOME"); pState && *pState) {
    folder = std::string(pState) + "/lumidock";
  } else if (const char* pHome = getenv("HOME"); pHome && *pHome) {
    folder = std::string(pHome) + "/.local/state/lumidock";
  } else {
    return {};
  }
  for (char& c : folder) {
    if (c == '/') c = '\\';
  }
  return Utf8ToWide(folder);
}

void CreateFolders(const std::u16string& folder) {
  for (size_t pos = folder.find(u'\\', 1); pos != std::u16string::npos;
       pos = folder.find(u'\\', pos + 1)) {
    CreateDirectoryW(folder.substr(0, pos).c_str(), nullptr);
  }
  CreateDirectoryW(folder.c_str(), nullptr);
}

HANDLE CreateLogFile(const std::u16string& path) {
  return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// base + "-MM.DD-hh.mm.ss.log"; when that name is taken (another process of the same second holds
// it open), base + "-MM.DD-hh.mm.ss-<pid>.log".
HANDLE OpenLogBeside(const std::u16string& base, const SYSTEMTIME& time, std::u16string* pPath) {
  char suffix[64];
  snprintf(suffix, sizeof(suffix), "-%02d.%02d-%02d.%02d.%02d.log", int{time.wMonth},
           int{time.wDay}, int{time.wHour}, int{time.wMinute}, int{time.wSecond});
  std::u16string path = base + Utf8ToWide(suffix);
  HANDLE hFile = CreateLogFile(path);
  if (hFile == INVALID_HANDLE_VALUE) {
    snprintf(suffix, sizeof(suffix), "-%02d.%02d-%02d.%02d.%02d-%04u.log", int{time.wMonth},
             int{time.wDay}, int{time.wHour}, int{time.wMinute}, int{time.wSecond},
             unsigned{GetCurrentProcessId()});
    path = base + Utf8ToWide(suffix);
    hFile = CreateLogFile(path);
    if (hFile != INVALID_HANDLE_VALUE) SetFilePointer(hFile, 0, nullptr, FILE_END);
  }
  if (hFile != INVALID_HANDLE_VALUE) *pPath = path;
  return hFile;
}

HANDLE OpenDllLogFile(const std::u16string& modulePathOverride, std::u16string* pPath) {
  std::u16string modulePath = modulePathOverride.empty() ? OwnModulePath() : modulePathOverride;
  SYSTEMTIME time;
  GetLocalTime(&time);

  HANDLE hFile = INVALID_HANDLE_VALUE;
  if (!modulePath.empty()) hFile = OpenLogBeside(modulePath, time, pPath);
  if (hFile != INVALID_HANDLE_VALUE) return hFile;

  // The library's folder is not writable (an installed location): the user's state folder.
  std::u16string folder = StateFolder();
  if (folder.empty()) return INVALID_HANDLE_VALUE;
  CreateFolders(folder);
  size_t slash = modulePath.rfind(u'\\');
  std::u16string name = modulePath.empty()              ? std::u16string(u"Orbalyn")
                        : slash == std::u16string::npos ? modulePath
                                                        : modulePath.substr(slash + 1);
  return OpenLogBeside(folder + u"\\" + name, time, pPath);
}

void WriteCommonLine(const char* pSourceName, const char* pMessage) {
  WriteDllLog(pSourceName, "%s", pMessage);
}

// Whatever links the library log also takes the lines of the shared code in Common/.
[[maybe_unused]] const bool g_commonLogHooked = (SetCommonLogWriter(&WriteCommonLine), true);

}  // namespace

void WriteDllLog(const char* pSourcePath, const char* pFormat, ...) {
  char line[kLineSize] = {};
  SYSTEMTIME time;
  GetLocalTime(&time);
  int prefix = snprintf(
      line, kLineSize, "[%u][%u][%02u:%02u:%02u.%03u] %s: ", unsigned{GetCurrentProcessId()},
      unsigned{GetCurrentThreadId()}, unsigned{time.wHour}, unsigned{time.wMinute},
      unsigned{time.wSecond}, unsigned{time.wMilliseconds}, SourceName(pSourcePath));
  if (prefix < 0) prefix = 0;
  if (static_cast<size_t>(prefix) > kLineSize - 1) prefix = kLineSize - 1;

  va_list args;
  va_start(args, pFormat);
  vsnprintf(line + prefix, kLineSize - prefix, pFormat, args);
  va_end(args);

  WriteDllLogLine(line);
}

void WriteDllLogLine(const char* pLine) {
  LogState& state = State();
  EnterCriticalSection(&state.lock);
  if (!state.opened) {
    state.opened = true;
    state.hFile = OpenDllLogFile(state.modulePathOverride, &state.path);
  }
  if (state.hFile != INVALID_HANDLE_VALUE) {
    // Each line is handed to the kernel at once, so a killed process loses nothing: one write
    // with its line end (two for a line longer than the formatter makes). No disk flush per
    // line: that would put a disk round trip on the I/O thread for every logged connection and
    // file.
    DWORD written = 0;
    const size_t length = strlen(pLine);
    char withEnd[kLineSize + 2];
    if (length <= kLineSize) {
      memcpy(withEnd, pLine, length);
      memcpy(withEnd + length, "\r\n", 2);
      WriteFile(state.hFile, withEnd, static_cast<DWORD>(length + 2), &written, nullptr);
    } else {
      WriteFile(state.hFile, pLine, static_cast<DWORD>(length), &written, nullptr);
      WriteFile(state.hFile, "\r\n", 2, &written, nullptr);
    }
  }
  LeaveCriticalSection(&state.lock);
}

std::u16string DllLogPathForTesting() {
  LogState& state = State();
  EnterCriticalSection(&state.lock);
  std::u16string path = state.hFile != INVALID_HANDLE_VALUE ? state.path : std::u16string();
  LeaveCriticalSection(&state.lock);
  return path;
}

void ResetDllLogForTesting() {
  LogState& state = State();
  EnterCriticalSection(&state.lock);
  if (state.hFile != INVALID_HANDLE_VALUE) CloseHandle(state.hFile);
  state.hFile = INVALID_HANDLE_VALUE;
  state.opened = false;
  state.path.clear();
  LeaveCriticalSection(&state.lock);
}

void SetDllLogModulePathForTesting(const std::u16string& modulePath) {
  LogState& state = State();
  EnterCriticalSection(&state.lock);
  state.modulePathOverride = modulePath;
  LeaveCriticalSection(&state.lock);
}
