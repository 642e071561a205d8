// KwAssert, the platform log and Util::Perf.

#include "Basalt/KwDiag.h"

#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>

#include "Basalt/BasaltTesting.h"
#include "Basalt/Util.h"
#include "CBasaltState.h"
#include "win32/module_name.h"
#include "win32/strings.h"
#include "win32/thread.h"

using namespace win32;

namespace {

std::mutex g_logLock;

std::string ProgramName() {
  char path[4096];
  DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
  std::string name(path, length < sizeof(path) ? length : 0);
  name.erase(0, name.find_last_of("\\/") + 1);
  return name.empty() ? std::string("basalt") : name;
}

// The sandbox's log folder, else the user's state folder (POSIX form); empty without a home.
std::string LogFolder() {
  if (const char* pRoot = getenv("LUMIDOCK_ROOT"); pRoot && *pRoot) {
    return std::string(pRoot) + "/logs";
  }
  if (const char* pState = getenv("XDG_STATE_HOME"); pState && *pState) {
    return std::string(pState) + "/lumidock";
  }
  if (const char* pHome = getenv("HOME"); pHome && *pHome) {
    return std::string(pHome) + "/.local/state/lumidock";
  }
  return {};
}

std::string LogFilePath() {
  std::string folder = LogFolder();
  return folder.empty() ? folder : folder + "/" + ProgramName() + ".log";
}

void WriteLine(const std::u16string& module, const std::u16string& text) {
  std::string path = LogFilePath();
  if (path.empty()) return;
  timeval now;
  gettimeofday(&now, nullptr);
  tm local;
  localtime_r(&now.tv_sec, &local);
  std::lock_guard<std::mutex> guard(g_logLock);
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
  // Opened per line: lines are rare (assertions, slow transactions) and several processes share
  // the folder.
  std::FILE* pFile = std::fopen(path.c_str(), "a");
  if (!pFile) return;
  std::fprintf(pFile, "[%u][%u][%02d:%02d:%02d.%03d] %s: %s\n", static_cast<unsigned>(getpid()),
               GetCurrentThreadId(), local.tm_hour, local.tm_min, local.tm_sec,
               static_cast<int>(now.tv_usec / 1000), Utf16ToUtf8(module).c_str(),
               Utf16ToUtf8(text).c_str());
  std::fclose(pFile);
}

uint64_t NowMicroseconds() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

}  // namespace

void KwAssert(const char* pExpression, const char* pFile, int line) {
  std::string text = std::string(pExpression ? pExpression : "") + " (" + (pFile ? pFile : "") +
                     ":" + std::to_string(line) + ")";
  CBasaltState::Get().NoteAssert(text);
  std::fprintf(stderr, "KwAssert failed: %s\n", text.c_str());
  KwLogW(u"KwAssert", u"failed: %hs", text.c_str());
}

void KwLog_DoKwLogVW(void*, const WCHAR* pModule, const WCHAR* pFormat, va_list args) {
  WriteLine(pModule ? pModule : u"", VFormatW(pFormat, args));
}

void KwLogW(const WCHAR* pModule, const WCHAR* pFormat, ...) {
  va_list args;
  va_start(args, pFormat);
  KwLog_DoKwLogVW(nullptr, pModule, pFormat, args);
  va_end(args);
}

namespace Util {

uint64_t Perf::RecordTransBegin(const char*, int, int, const char*, const WCHAR*) {
  // The start time, one past the clock so it is never 0.
  return NowMicroseconds() + 1;
}

void Perf::RecordTransEnd(uint64_t handle, const char* pFile, int line, int, const char* pFunction,
                          const WCHAR* pText, DWORD thresholdMs) {
  if (handle == 0) return;
  uint64_t elapsedMs = (NowMicroseconds() + 1 - handle) / 1000;
  if (elapsedMs <= thresholdMs) return;
  CBasaltState::Get().NoteSlowTransaction();
  KwLogW(u"Perf", u"%hs %s took %u ms (over %u) at %hs:%d", pFunction ? pFunction : "",
         pText ? pText : u"", static_cast<DWORD>(elapsedMs), thresholdMs, pFile ? pFile : "", line);
}

}  // namespace Util

std::u16string BasaltTesting::LogPath() {
  std::string path = LogFilePath();
  std::u16string windows = Utf8ToUtf16(path);
  for (char16_t& c : windows) {
    if (c == u'/') c = u'\\';
  }
  return windows;
}
