#include "Common/LogHook.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {

constexpr size_t kMessageSize = 4096;

std::atomic<CommonLogWriter> g_writer{nullptr};

}  // namespace

void SetCommonLogWriter(CommonLogWriter writer) { g_writer.store(writer); }

void WriteCommonLog(const char* pSourceName, const char* pFormat, ...) {
  CommonLogWriter writer = g_writer.load();
  if (!writer) return;
  char message[kMessageSize] = {};
  va_list args;
  va_start(args, pFormat);
  vsnprintf(message, kMessageSize, pFormat, args);
  va_end(args);
  writer(pSourceName, message);
}
