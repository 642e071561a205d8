#include "paths.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "drives.h"
#include "win32/strings.h"

namespace win32::detail {
namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x += 0x20;
    if (y >= 'A' && y <= 'Z') y += 0x20;
    if (x != y) return false;
  }
  return true;
}

// The one virtualised file: <system folder>\drivers\etc\hosts, compared without regard to case
// as Windows would.
bool IsVirtualHostsFile(std::string_view posix) {
  std::string hosts = Utf16ToUtf8(kSystemDirectory);
  std::replace(hosts.begin(), hosts.end(), '\\', '/');
  hosts += "/drivers/etc/hosts";
  return EqualsIgnoringAsciiCase(posix, hosts);
}

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// "X:\Windows\System32" with any letter, or the rooted form: the layer's own folder, which
// lies on no drive.
bool IsInSystemFolder(std::string_view path) {
  if (path.size() >= 2 && path[1] == ':' && IsAsciiLetter(path[0])) path.remove_prefix(2);
  std::string folder = Utf16ToUtf8(kSystemDirectory);
  if (path.size() < folder.size()) return false;
  std::string head(path.substr(0, folder.size()));
  std::replace(head.begin(), head.end(), '/', '\\');
  return EqualsIgnoringAsciiCase(head, folder) &&
         (path.size() == folder.size() || IsSeparator(path[folder.size()]));
}

// "rest" of "X:\rest" on the drive's folder, with "." and ".." resolved so that nothing climbs
// above the drive's root (as Windows treats "X:\..").
bool MapDrivePath(char letter, std::string_view rest, std::string* pPosix) {
  Drive drive;
  if (!FindDrive(letter, &drive)) return false;
  std::vector<std::string_view> parts;
  while (!rest.empty()) {
    size_t cut = rest.find_first_of("\\/");
    std::string_view part = rest.substr(0, cut);
    rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string posix = drive.folder;
  for (std::string_view part : parts) {
    if (posix.back() != '/') posix += '/';
    posix += part;
  }
  *pPosix = std::move(posix);
  return true;
}

}  // namespace

bool ToPosixPath(std::u16string_view windowsPath, std::string* pPosix) {
  return ToPosixPath(std::string_view(Utf16ToUtf8(windowsPath)), pPosix);
}

bool ToPosixPath(std::string_view path, std::string* pPosix) {
  pPosix->clear();
  if (path.empty() || path.find('\0') != std::string_view::npos) return false;
  // "\\?\C:\x" is the long-path spelling of "C:\x".
  if (path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) && path[2] == '?' &&
      IsSeparator(path[3])) {
    path.remove_prefix(4);
  }
  if (path.size() >= 2 && path[1] == ':' && IsAsciiLetter(path[0])) {
    if (IsInSystemFolder(path)) {
      path.remove_prefix(2);
    } else {
      // "X:rel" is relative to a per-drive current folder, which nothing here keeps.
      if (path.size() < 3 || !IsSeparator(path[2])) return false;
      return MapDrivePath(path[0], path.substr(3), pPosix);
    }
  }
  if (path.empty()) return false;
  std::string posix(path);
  // Every backslash is a separator, so no POSIX name with a backslash is ever created.
  std::replace(posix.begin(), posix.end(), '\\', '/');
  if (IsVirtualHostsFile(posix)) {
    const char* hostsOverride = getenv("LUMIDOCK_HOSTS_FILE");
    posix = (hostsOverride && *hostsOverride) ? hostsOverride : "/etc/hosts";
  }
  *pPosix = std::move(posix);
  return true;
}

std::u16string FromPosixPath(std::string_view posixPath) {
  std::u16string path = Utf8ToUtf16(posixPath);
  std::replace(path.begin(), path.end(), u'/', u'\\');
  return path;
}

std::string FromPosixPathUtf8(std::string_view posixPath) {
  std::string path(posixPath);
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

std::string SandboxRoot() {
  const char* root = getenv("LUMIDOCK_ROOT");
  return root ? std::string(root) : std::string();
}

std::string PercentEncode(std::string_view text, bool (*plain)(unsigned char c, size_t index)) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (plain(c, i)) {
      encoded.push_back(static_cast<char>(c));
    } else {
      encoded.push_back('%');
      encoded.push_back(kHex[c >> 4]);
      encoded.push_back(kHex[c & 15]);
    }
  }
  return encoded;
}

DWORD CopyOut(std::u16string_view value, WCHAR* dst, DWORD cch, bool* pTruncated) {
  if (value.size() < cch) {
    std::copy(value.begin(), value.end(), dst);
    dst[value.size()] = 0;
    if (pTruncated) *pTruncated = false;
    return static_cast<DWORD>(value.size());
  }
  if (cch > 0) {
    std::copy(value.begin(), value.begin() + (cch - 1), dst);
    dst[cch - 1] = 0;
  }
  if (pTruncated) *pTruncated = true;
  return cch;
}

}  // namespace win32::detail
