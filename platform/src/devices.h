#pragma once
// Device names ("\\.\PhysicalDrive0", "\\.\Scsi0:") and the system-file root shared by the
// machine-identity readers. CreateFileW asks OpenDeviceByName first, before it touches a path.

#include <string>
#include <string_view>

#include "win32/base.h"

namespace win32::detail {

// nullptr: not a "\\.\" name, the caller opens a file. INVALID_HANDLE_VALUE: a device name that
// cannot be opened (the last error says why). Otherwise a handle that DeviceIoControl accepts.
HANDLE OpenDeviceByName(std::u16string_view name, DWORD desiredAccess);

// Where the readers find "/sys" and "/run/udev": the absolute path itself, or under the fake root
// named by LUMIDOCK_SYSFS_ROOT (which stands for "/"), so tests can describe any machine.
std::string SystemFilePath(std::string_view absolutePath);

}  // namespace win32::detail
