#include "BackupFolder.h"

#include <algorithm>
#include <vector>

#include "Orbalyn/Interface/UploadFiles.h"
#include "win32/file.h"

using namespace win32;

namespace backup_folder {
namespace {

// An extension longer than this is not worth keeping when a name must be shortened.
constexpr size_t kMaxKeptExtensionBytes = 32;

bool IsForbidden(char16_t c) {
  return c < 0x20 || c == 0x7F || c == u'\\' || c == u'/' || c == u':' || c == u'*' || c == u'?' ||
         c == u'"' || c == u'<' || c == u'>' || c == u'|';
}

// UTF-8 bytes of one UTF-16 unit; a surrogate pair counts 4 on its first unit, 0 on its second.
size_t Utf8Bytes(char16_t c, char16_t next) {
  if (c < 0x80) return 1;
  if (c < 0x800) return 2;
  if (c >= 0xD800 && c <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) return 4;
  if (c >= 0xDC00 && c <= 0xDFFF) return 0;
  return 3;
}

size_t Utf8Length(std::u16string_view text) {
  size_t bytes = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    bytes += Utf8Bytes(text[i], i + 1 < text.size() ? text[i + 1] : 0);
  }
  return bytes;
}

// The longest start of `text` whose UTF-8 form fits; never half a surrogate pair.
std::u16string_view CutToBytes(std::u16string_view text, size_t maxBytes) {
  size_t bytes = 0;
  size_t i = 0;
  while (i < text.size()) {
    const size_t unit = Utf8Bytes(text[i], i + 1 < text.size() ? text[i + 1] : 0);
    if (bytes + unit > maxBytes) break;
    bytes += unit;
    i += unit == 4 ? 2 : 1;
  }
  return text.substr(0, i);
}

// CreateDirectoryW, where a folder already there counts as made.
bool MakeOne(const std::u16string& path) {
  return CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

}  // namespace

std::u16string CleanName(std::u16string_view name, size_t reserve) {
  // Cut first, so that a hostile length costs nothing further: the stem is shortened and a
  // short extension kept.
  const size_t limit = kMaxNameBytes - std::min(reserve, kMaxNameBytes);
  std::u16string clean(name);
  if (Utf8Length(name) > limit) {
    size_t dot = name.find_last_of(u'.');
    if (dot == std::u16string_view::npos || dot == 0 ||
        Utf8Length(name.substr(dot)) > std::min(kMaxKeptExtensionBytes, limit)) {
      dot = name.size();
    }
    const std::u16string_view extension = name.substr(dot);
    clean = std::u16string(CutToBytes(name.substr(0, dot), limit - Utf8Length(extension)));
    clean += extension;
  }
  std::erase_if(clean, upload_files::IsDroppedFromNames);
  std::replace_if(clean.begin(), clean.end(), IsForbidden, u'_');
  if (clean == u"." || clean == u"..") clean.clear();
  return clean;
}

std::u16string PhoneFolderName(std::u16string_view displayName) {
  std::u16string folder = CleanName(displayName, 0);
  if (!folder.empty()) return folder;
  // "." and ".." are legal phone names, but as folders they would be the backup folder itself or
  // its parent, and the Windows shell keeps no trailing dot, so a name of dots alone is nothing
  // there. Each dot becomes "_", as every other character a name may not hold does; names that
  // were usable before keep their folders, so stored backups are still found.
  std::u16string kept(displayName);
  std::erase_if(kept, upload_files::IsDroppedFromNames);
  if (kept == u"." || kept == u"..") folder.assign(kept.size(), u'_');
  return folder;
}

std::u16string PhoneFolder(std::u16string_view workDir, std::u16string_view displayName) {
  if (!IsAbsolute(workDir)) return std::u16string();
  while (!workDir.empty() && (workDir.back() == u'\\' || workDir.back() == u'/')) {
    workDir.remove_suffix(1);
  }
  const std::u16string name = PhoneFolderName(displayName);
  if (workDir.empty() || name.empty()) return std::u16string();
  std::u16string folder(workDir);
  folder += u'\\';
  folder += name;
  return folder;
}

bool IsAbsolute(std::u16string_view path) {
  auto isSeparator = [](char16_t c) { return c == u'\\' || c == u'/'; };
  if (path.size() >= 3 && path[1] == u':' && isSeparator(path[2])) return true;
  return !path.empty() && isSeparator(path[0]);
}

// The recursive rule (a folder there is made; a file there fails; else make the parent, then
// this), walked as a loop so that a path of many parts costs no deep stack.
bool CreateDirectoryTree(const std::u16string& path) {
  std::vector<size_t> pending;  // lengths of the parts still to make, deepest first
  size_t length = path.size();
  for (;;) {
    const std::u16string part = path.substr(0, length);
    const DWORD attributes = GetFileAttributesW(part.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return false;
      }
      break;
    }
    if (MakeOne(part)) break;
    const size_t cut = part.find_last_of(u"\\/");
    if (cut == std::u16string::npos) return false;
    pending.push_back(length);
    length = cut;
  }
  for (auto it = pending.rbegin(); it != pending.rend(); ++it) {
    if (!MakeOne(path.substr(0, *it))) return false;
  }
  return true;
}

}  // namespace backup_folder
