#pragma once
// What the stand-in records, for tests: boot, exit and plug-in calls in order, assertions, slow
// performance transactions and the crash-report set-up.

#include <string>
#include <vector>

#include "win32/base.h"

namespace BasaltTesting {

struct BugReport {
  std::u16string name;
  std::u16string description;
  std::u16string modulePath;
  std::u16string commandLine;
  win32::WORD major = 0;
  win32::WORD minor = 0;
  win32::DWORD build = 0;
  int flag1 = 0;
  int flag2 = 0;
  win32::WORD language = 0;
  int reserved = 0;
  bool noCallback = false;
  win32::DWORD uin = 0;
  bool validated = false;
};

// Calls by name ("InitPlatform", "CreateObjectFromDllFile", "Shutdown", ...), oldest first.
std::vector<std::string> Calls();
int AssertCount();
std::string LastAssert();
int SlowTransactionCount();
BugReport LastBugReport();
std::u16string LogPath();
// Forgets the records, the running core, the configuration and the factory.
void Reset();

}  // namespace BasaltTesting
