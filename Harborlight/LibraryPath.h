#pragma once
// Where the program loads its libraries from.

#include <string>

#include "win32/base.h"

// The folder (a backslash added when it has none), or for a null or empty folder the program's
// own folder (its path cut after the last backslash; nothing when there is none), followed by
// `pFileName`.
std::u16string LibraryPathInFolder(const win32::WCHAR* pFolder, const win32::WCHAR* pFileName);
