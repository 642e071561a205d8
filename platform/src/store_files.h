#pragma once
// File helpers shared by the layer's own stores (registry hives, profile files, shell folders):
// folder creation, whole-file reads, and atomic whole-file replacement.

#include <sys/stat.h>

#include <string>

#include "win32/base.h"

namespace win32::detail {

// mkdir -p; new folders get `mode` (the umask applies).
// Returns 0, or the Win32 error of the component that failed (a file in the way gives 183).
DWORD MakeDirectories(const std::string& posixPath, mode_t mode);

// Reads the whole file. Returns 0, or the Win32 error (2 when it does not exist).
DWORD ReadWholeFile(const std::string& posixPath, std::string* pContent, struct stat* pStat);

// Replaces the file's content atomically: writes a temporary file beside it and renames it over
// the original, so a reader sees the old or the new content, never a mix. A symbolic link is
// replaced at its target. The original's permission bits are kept. Returns 0, or the Win32 error
// (3 when the folder does not exist).
DWORD ReplaceFileContent(const std::string& posixPath, const std::string& content);

// $HOME when set and absolute, else the password entry's home folder.
std::string HomeFolder();

// An XDG base folder: $<variable> when it is set and absolute, else $HOME/<fallback>.
std::string XdgFolder(const char* variable, const char* homeFallback);

}  // namespace win32::detail
