#pragma once
// The drive table behind drive letters (see win32/drive.h for the rules).

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "win32/base.h"

namespace win32::detail {

struct Drive {
  char letter;         // 'C'..'Z'
  std::string folder;  // POSIX, no trailing '/' (except "/" itself)
  bool hasFreeOverride;
  uint64_t freeBytes;  // LUMIDOCK_DRIVES "free=" value
};

// The table as it stands now (re-read when the environment or the mounts changed), letters in
// order.
std::vector<Drive> CurrentDrives();
// The drive of an upper- or lower-case letter; false when the letter names nothing.
bool FindDrive(char letter, Drive* pDrive);
// "/x/d/sub" -> "D:\sub" when /x/d is drive D's folder (the longest such folder wins);
// false when the path lies on no drive.
bool DrivePathFromPosix(std::string_view posixPath, std::u16string* pWindowsPath);

}  // namespace win32::detail
