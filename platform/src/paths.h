#pragma once
// Windows-form <-> POSIX path conversion, used by every layer call that touches the file system.

#include <string>
#include <string_view>

#include "win32/base.h"

namespace win32::detail {

// The virtual system folder GetSystemDirectoryW reports. Nothing exists under it except the
// hosts file, which ToPosixPath maps to /etc/hosts (or $LUMIDOCK_HOSTS_FILE); the module loader
// may recognise its DLL names.
inline constexpr std::u16string_view kSystemDirectory = u"\\Windows\\System32";

// "\home\u\x" or "/home/u/x" (or mixed) -> "/home/u/x"; "D:\x" -> <folder of drive D>/x through
// the drive table (win32/drive.h); the system folder under any letter stays letterless. A
// "\\?\" prefix is dropped. Returns false for an empty path, one holding a NUL, "X:rel", and a
// letter that names no drive.
bool ToPosixPath(std::u16string_view windowsPath, std::string* pPosix);
bool ToPosixPath(std::string_view windowsPathUtf8, std::string* pPosix);
// "/home/u/x" -> u"\home\u\x".
std::u16string FromPosixPath(std::string_view posixPath);
std::string FromPosixPathUtf8(std::string_view posixPath);

// Sandbox and test overrides, read from the environment on every call (LUMIDOCK_ROOT and
// friends), so a test may set them before or after the layer's first use. Empty when unset.
std::string SandboxRoot();

// Writes every byte that `plain(byte, index)` does not keep as %XX (upper-case hex).
std::string PercentEncode(std::string_view text, bool (*plain)(unsigned char c, size_t index));

// Copies `value` into dst (cch characters) with Windows truncation: cut, NUL-terminate, and
// report the cut through the return value (chars written, or cch when cut).
DWORD CopyOut(std::u16string_view value, WCHAR* dst, DWORD cch, bool* pTruncated);

}  // namespace win32::detail
