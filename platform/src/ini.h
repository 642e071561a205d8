#pragma once
// The INI engine behind the profile functions: a document held as its lines, so a rewrite keeps
// every line it does not touch (comments, order, spacing).

#include <string>
#include <string_view>
#include <vector>

namespace win32::detail {

// Reading follows the Windows profile rules: section and key names compare ignoring case,
// white space around names and values is trimmed, a value in matching quotes loses them, lines
// starting with ';' are comments, and the first matching section and key win.
// Threading: none; the profile functions serialise all use under one lock.
class IniDocument {
 public:
  // UTF-8 (a BOM is skipped) or UTF-16LE with a BOM; "\r\n" or "\n" line ends.
  void Parse(std::string_view bytes);
  // UTF-8 without BOM, each line ended by "\r\n".
  std::string ToText() const;

  bool FindValue(std::u16string_view section, std::u16string_view key,
                 std::u16string* pValue) const;
  std::vector<std::u16string> SectionNames() const;
  // The keys of the first matching section, in file order; empty when there is no such section.
  std::vector<std::u16string> KeyNames(std::u16string_view section) const;

  // Replaces the first matching key's line in place, else adds "key=value" after the last
  // non-blank line of the section, else appends the section at the end. Written as "key=value".
  void SetValue(std::u16string_view section, std::u16string_view key, std::u16string_view value);
  // Each returns whether anything was removed. Every matching key line of the section, or every
  // matching section, goes, so a duplicate never resurfaces after a delete.
  bool DeleteKey(std::u16string_view section, std::u16string_view key);
  bool DeleteSection(std::u16string_view section);

 private:
  // Index of the first matching section's header, or npos; *pEnd is one past its last line.
  size_t FindSection(std::u16string_view section, size_t* pEnd) const;

  std::vector<std::u16string> m_lines;
};

}  // namespace win32::detail
