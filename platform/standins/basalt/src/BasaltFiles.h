#pragma once
// Reading a whole file through the layer (Windows-form paths, drive letters included).

#include <functional>
#include <string>

#include "win32/base.h"

// Hands the file's bytes to `consume` in chunks; false when it cannot be opened or read.
bool ReadFileChunks(const win32::WCHAR* pPath,
                    const std::function<void(const win32::BYTE*, size_t)>& consume);
