// A second program image for the machine-identity tests: each run is one process of this image,
// so several runs share (or, in turn, recreate) its GUID section.
//   guid               print the machine GUID and exit
//   hold               print the machine GUID, then keep running until standard input closes
//   die-deriving       take the section's lock as a deriver, then die by SIGKILL
//   set-core-log <n>   store EnableCoreLog = n in the sandbox's registry
//   core-log-switch    print the core-log switch as this image read it at load

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ChannelLog.h"
#include "Md5.h"
#include "SeqIDGenerator.h"
#include "SharedGuidSection.h"
#include "win32/registry.h"

namespace {

void PrintGuid() {
  uint8_t guid[16];
  ZyMacID::GetMachineGuid(guid);
  printf("%s\n", ZyMacID::CMd5::ToHex(guid).c_str());
  fflush(stdout);
}

int SetCoreLog(win32::DWORD value) {
  win32::HKEY key = nullptr;
  if (win32::RegCreateKeyExW(win32::HKEY_LOCAL_MACHINE, u"Software\\Corvane\\Harborkeep", 0,
                             nullptr, 0, win32::KEY_ALL_ACCESS, nullptr, &key,
                             nullptr) != win32::ERROR_SUCCESS) {
    return 1;
  }
  win32::LSTATUS status =
      win32::RegSetValueExW(key, u"EnableCoreLog", 0, win32::REG_DWORD,
                            reinterpret_cast<const win32::BYTE*>(&value), sizeof(value));
  win32::RegCloseKey(key);
  if (status != win32::ERROR_SUCCESS) return 1;
  printf("ok\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  if (strcmp(argv[1], "guid") == 0) {
    PrintGuid();
    return 0;
  }
  if (strcmp(argv[1], "hold") == 0) {
    PrintGuid();
    char c;
    while (read(0, &c, 1) > 0) {
    }
    return 0;
  }
  if (strcmp(argv[1], "die-deriving") == 0) {
    ZyMacID::CSharedGuidSection::Get().BeginDeriveForTesting();
    printf("locked\n");
    fflush(stdout);
    raise(SIGKILL);
    return 1;
  }
  if (strcmp(argv[1], "set-core-log") == 0 && argc > 2) {
    return SetCoreLog(static_cast<win32::DWORD>(strtoul(argv[2], nullptr, 10)));
  }
  if (strcmp(argv[1], "core-log-switch") == 0) {
    printf("%d\n", GetCoreLogSwitch());
    return 0;
  }
  return 2;
}
