// A second process for the named-object tests. Commands (argv):
//   race <name> <go-file>   waits for <go-file>, creates the mutex, prints "won" or "lost";
//                           a winner then holds it until its standard input closes
//   map <name> <value>      creates the 4-byte mapping, writes <value>, prints "ready", holds it
//                           until its standard input closes
//   hold <name>             creates the mutex, prints "held", starts `sleep 30` with
//                           CreateProcessW, prints the child's pid, and holds until stdin closes

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "win32/mapping.h"
#include "win32/process.h"
#include "win32/strings.h"
#include "win32/sync.h"

using namespace win32;

namespace {

void WaitForStdinToClose() {
  char buffer[64];
  while (read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string command = argv[1];
  const std::u16string name = Utf8ToUtf16(argv[2]);
  if (command == "race" && argc == 4) {
    while (access(argv[3], F_OK) != 0) usleep(200);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    bool won = mutex && GetLastError() == ERROR_SUCCESS;
    printf("%s\n", won ? "won" : "lost");
    fflush(stdout);
    if (won) WaitForStdinToClose();
    return 0;
  }
  if (command == "map" && argc == 4) {
    HANDLE mapping =
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4, name.c_str());
    if (!mapping) return 1;
    auto* pView = static_cast<uint32_t*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 4));
    if (!pView) return 1;
    *pView = static_cast<uint32_t>(strtoul(argv[3], nullptr, 0));
    UnmapViewOfFile(pView);
    printf("ready\n");
    fflush(stdout);
    WaitForStdinToClose();
    return 0;
  }
  if (command == "hold") {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    if (!mutex || GetLastError() != ERROR_SUCCESS) return 1;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::u16string line = u"/bin/sleep 30";
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
      return 1;
    }
    printf("held %u\n", process.dwProcessId);
    fflush(stdout);
    WaitForStdinToClose();
    return 0;
  }
  return 2;
}
