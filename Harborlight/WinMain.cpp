// The program's entry. Process-wide objects of the program, in their construction order: the
// library binding and the task-thread tables (with fixed priorities, so they go last), the
// thread-registry lock, the channel-log lock and the core-log switch (the machine identity's),
// the application module below, and the generated protocol classes.

#include <sys/resource.h>

#include "Application.h"
#include "CrashReporting.h"
#include "win32/environment.h"
#include "win32/module.h"

using namespace win32;

namespace {

constexpr int kShowDefault = 10;

CApplication g_application;

// As many descriptors as the system allows: every phone connection and file in flight needs
// some.
void RaiseDescriptorLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

int wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  InitCrashReporting(u"Harborlight");
  return g_application.Run();
}

}  // namespace

int main() {
  RaiseDescriptorLimit();
  return wWinMain(GetModuleHandleW(nullptr), nullptr, GetCommandLineW(), kShowDefault);
}
