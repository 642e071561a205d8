// What runs when the host loads the library, and its four exports.
//
// Static set-up happens in the translation units that own each piece, in link order: the
// library log's lock, the msg.proto and uimsg.proto descriptors, the channel log's lock and the
// core-log switch. This file is linked last, so its process-attach step runs after all of them,
// as a library entry runs after the runtime's static initialisation. The module is linked with
// -z nodelete: FreeLibrary only drops the count, and every exit destructor runs at process exit
// in the reverse order of construction.

#include "LibraryEntry.h"

#include <atomic>
#include <type_traits>

#include "Common/ObjectLifecycleMgr.h"
#include "InstallReport.h"
#include "Logic/DriveEntry.h"
#include "NetEngine/DllLog.h"
#include "NetEngine/IOOperation.h"
#include "Orbalyn.h"
#include "win32/winsock.h"

using namespace win32;

#define ORBALYN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr WORD kWinsockVersion = 0x0202;

// Whether process attach succeeded. A dlopen cannot be refused from here the way a failed
// library entry refuses a load, so a library that could not start Winsock hands out no root.
std::atomic<bool> g_attached{false};

__attribute__((constructor)) void OnProcessAttach() {
  WSADATA data{};
  int error = WSAStartup(kWinsockVersion, &data);
  if (error != 0) {
    DLL_LOG("Orbalyn load refused: WSAStartup failed: %d", error);
    return;
  }
  // Built first so that they are destroyed last: every handler and operation relies on them.
  CObjectLifecycleMgr::Instance();
  CIOOperation::Allocator::Instance();
  g_attached.store(true);
}

}  // namespace

ORBALYN_EXPORT IOrbalyn* GetIOrbalyn() {
  if (!g_attached.load()) return nullptr;
  return COrbalyn::Instance();
}

ORBALYN_EXPORT void UnregisterDrive() { CDriveEntry::UnregisterDrive(); }

ORBALYN_EXPORT void DoInstallReport() { CInstallReport::DoInstallReport(); }

ORBALYN_EXPORT void DoUninstallReport() { CInstallReport::DoUninstallReport(); }

// The callers' view of the exports (LibraryEntry.h) and the definitions cannot drift apart.
static_assert(std::is_same_v<decltype(&GetIOrbalyn), GetIOrbalynFn>);
static_assert(std::is_same_v<decltype(&UnregisterDrive), UnregisterDriveFn>);
static_assert(std::is_same_v<decltype(&DoInstallReport), DoInstallReportFn>);
static_assert(std::is_same_v<decltype(&DoUninstallReport), DoUninstallReportFn>);
