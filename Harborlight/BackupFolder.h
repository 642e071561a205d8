#pragma once
// How received files are laid out below the backup folder: the cleaning every phone-given name
// goes through before it becomes a folder or file name, and the making of folders. The upload
// assistant names files with them; the photo page finds a phone's folder with them.

#include <cstddef>
#include <string>
#include <string_view>

namespace backup_folder {

// Longest name of one folder or file in UTF-8 bytes (the file systems' limit).
inline constexpr size_t kMaxNameBytes = 255;

// One phone-given name as a single folder or file name; empty when nothing usable is left ("",
// ".", ".."). It is first cut, in one pass, to kMaxNameBytes less `reserve` (room kept for what
// a caller appends), keeping a short extension; then NULs and bidirectional controls go, and
// separators, drive colons, control characters and the other characters no Windows name may
// hold become "_".
std::u16string CleanName(std::u16string_view name, size_t reserve);

// The folder below the backup folder that a phone's files go under: its display name, cleaned,
// with a name of only "." or ".." given as many "_". Empty when the name leaves nothing usable.
std::u16string PhoneFolderName(std::u16string_view displayName);

// The phone's folder, the one its files are written to and its photos shown from: the backup
// folder (without the separators it ends in) + "\" + PhoneFolderName. Empty when the backup
// folder is not absolute ("X:\..." or rooted "\..."), is the file system's root, or the name
// gives no folder: such a phone has no folder, and nothing is written or walked for it.
std::u16string PhoneFolder(std::u16string_view workDir, std::u16string_view displayName);

// Whether the path starts at a drive ("X:\") or at the root ("\"), either separator counting.
bool IsAbsolute(std::u16string_view path);

// Makes the folder and every missing parent. True when the path is a folder afterwards (an
// existing folder counts); false when a file holds the path or a part of it, or a creation
// failed, with the reason as the last error. Either separator counts.
bool CreateDirectoryTree(const std::u16string& path);

}  // namespace backup_folder
