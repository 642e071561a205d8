#include "win32/exception.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "win32/thread.h"

namespace win32 {
namespace {

// The kernel's limit for a thread name, without the NUL.
constexpr size_t kThreadNameBytes = 15;

std::string KernelThreadName(LPCSTR name) {
  std::string text(name, strnlen(name, 256));
  if (text.size() <= kThreadNameBytes) return text;
  size_t cut = kThreadNameBytes;
  // Never keep half of a UTF-8 character.
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut);
}

void NameThread(const THREADNAME_INFO& info) {
  if (info.dwType != 0x1000 || !info.szName) return;
  std::string name = KernelThreadName(info.szName);
  DWORD threadId = info.dwThreadID;
  if (threadId == static_cast<DWORD>(-1) || threadId == GetCurrentThreadId()) {
    pthread_setname_np(pthread_self(), name.c_str());
    return;
  }
  // Another thread of this process: its comm file takes the same name (a missing task folder
  // means the id is not ours, and nothing happens).
  std::ofstream comm("/proc/self/task/" + std::to_string(threadId) + "/comm");
  if (comm) comm << name;
}

}  // namespace

void RaiseException(DWORD code, DWORD flags, DWORD numberOfArguments, const ULONG_PTR* arguments) {
  if (code == MS_VC_EXCEPTION) {
    if (arguments && numberOfArguments * sizeof(ULONG_PTR) >= sizeof(THREADNAME_INFO)) {
      THREADNAME_INFO info;
      std::memcpy(&info, arguments, sizeof(info));
      NameThread(info);
    }
    return;
  }
  std::fprintf(stderr, "RaiseException 0x%08X (flags %u, %u arguments) in thread %u: unhandled\n",
               code, flags, numberOfArguments, GetCurrentThreadId());
  std::fflush(stderr);
  std::abort();
}

}  // namespace win32
