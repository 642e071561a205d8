#pragma once
// Starting programs without a handle to them (ShellExecuteW).

#include <string>
#include <string_view>
#include <vector>

#include "win32/base.h"

namespace win32::detail {

// argv for `program` (a POSIX path) with `parameters` split by the Windows rules for arguments.
std::vector<std::string> ProgramArguments(const std::string& program,
                                          std::u16string_view parameters);
// posix_spawn without a shell, reaped in the background. Returns 0 or the Win32 error.
DWORD StartDetached(const std::vector<std::string>& argv);

}  // namespace win32::detail
