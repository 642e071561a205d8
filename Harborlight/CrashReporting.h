#pragma once
// Crash reporting's set-up, the first thing the program does: the program's own version resource
// handed to the platform library.

#include "win32/base.h"

struct FileVersion {
  win32::WORD major;
  win32::WORD minor;
  win32::DWORD build;
};

// "major.minor.build[.anything]": each number read up to its dot (or the end for the build).
// An empty text, or one with fewer than two dots, gives 1, 0, 0.
FileVersion ParseFileVersion(const win32::WCHAR* pText);

// Reads the version resource of the program (missing: empty texts) and sets crash reporting up
// under `pName`. Returns 1.
int InitCrashReporting(const win32::WCHAR* pName);
