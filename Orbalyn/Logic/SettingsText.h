#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// The settings file's text held in memory and changed the way the profile writer changes the
// file on disk, key by key, so that a whole save is built here and the file is replaced once:
// a kill can then never leave half a save behind, and the cost grows with the file, not with
// its square. Lines the writes do not touch (other sections and keys, comments, blank lines,
// sections beyond the device count) stay as they were.
// Names compare as the profile functions compare them: blanks trimmed, letter case ignored,
// the first section and key of a name win.
// Threading: none; the store uses one at a time under its lock.
class CSettingsText {
 public:
  // UTF-8 (a BOM is skipped) or UTF-16LE with a BOM; "\r\n" or "\n" line ends.
  void Parse(std::string_view bytes);
  // Replaces the key's line, else adds "key=value" behind the section's last non-blank line,
  // else appends "[section]" and the line at the end. CR, LF and NUL become spaces, so no
  // value can start a line of its own.
  void SetValue(std::u16string_view section, std::u16string_view key, std::u16string_view value);
  // UTF-8 without BOM, every line ended by "\r\n".
  std::string ToText() const;

 private:
  struct Section {
    // The header first; the lines above the first header form a section without one.
    std::vector<std::u16string> lines;
    // Upper-cased key name -> its first line, and the last non-blank line; made on first use.
    std::unordered_map<std::u16string, size_t> keys;
    size_t lastFilled = 0;
    bool indexed = false;
  };

  void AddLine(std::u16string line);
  void IndexKeys(Section* pSection);

  std::vector<Section> m_sections;
  // Upper-cased section name -> the first section of that name.
  std::unordered_map<std::u16string, size_t> m_sectionIndex;
};
