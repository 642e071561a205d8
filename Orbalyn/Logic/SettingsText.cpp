#include "Logic/SettingsText.h"

#include <utility>

#include "win32/strings.h"

namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view Trim(std::u16string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// The profile functions' case folding: ASCII and the Latin-1 letters.
std::u16string Folded(std::u16string_view name) {
  std::u16string folded(name);
  for (char16_t& c : folded) {
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) c -= 0x20;
  }
  return folded;
}

// The name of a "[name]" header line; false for any other line.
bool HeaderName(std::u16string_view line, std::u16string_view* pName) {
  line = Trim(line);
  if (line.empty() || line.front() != u'[') return false;
  const size_t close = line.find(u']');
  *pName = Trim(line.substr(1, close == std::u16string_view::npos ? close : close - 1));
  return true;
}

// The key of an entry line (everything before '=', or the whole line); false for blank lines
// and comments. Headers never reach here.
bool KeyName(std::u16string_view line, std::u16string_view* pName) {
  line = Trim(line);
  if (line.empty() || line.front() == u';') return false;
  *pName = Trim(line.substr(0, line.find(u'=')));
  return true;
}

std::u16string Sanitized(std::u16string_view text) {
  std::u16string clean(text);
  for (char16_t& c : clean) {
    if (c == u'\r' || c == u'\n' || c == u'\0') c = u' ';
  }
  return clean;
}

}  // namespace

void CSettingsText::Parse(std::string_view bytes) {
  m_sections.clear();
  m_sectionIndex.clear();
  m_sections.emplace_back();  // the lines above the first header
  std::u16string text;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                           (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    }
  } else {
    if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
    text = win32::Utf8ToUtf16(bytes);
  }
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find(u'\n', pos);
    if (end == std::u16string::npos) end = text.size();
    size_t length = end - pos;
    if (length > 0 && text[end - 1] == u'\r') --length;
    AddLine(text.substr(pos, length));
    pos = end + 1;
  }
}

void CSettingsText::SetValue(std::u16string_view section, std::u16string_view key,
                             std::u16string_view value) {
  const std::u16string cleanSection = Sanitized(section);
  const std::u16string cleanKey = Sanitized(key);
  const std::u16string cleanValue = Sanitized(value);
  if (m_sections.empty()) m_sections.emplace_back();
  auto found = m_sectionIndex.find(Folded(cleanSection));
  if (found == m_sectionIndex.end()) {
    AddLine(u"[" + cleanSection + u"]");
    AddLine(cleanKey + u"=" + cleanValue);
    return;
  }
  Section& target = m_sections[found->second];
  IndexKeys(&target);
  auto line = target.keys.find(Folded(cleanKey));
  if (line != target.keys.end()) {
    std::u16string_view name;
    KeyName(target.lines[line->second], &name);
    target.lines[line->second] = std::u16string(name) + u"=" + cleanValue;
    return;
  }
  // Only blank lines follow the last filled one, so no indexed line moves.
  const size_t at = target.lastFilled + 1;
  target.lines.insert(target.lines.begin() + static_cast<ptrdiff_t>(at),
                      cleanKey + u"=" + cleanValue);
  target.keys.emplace(Folded(Trim(cleanKey)), at);
  target.lastFilled = at;
}

std::string CSettingsText::ToText() const {
  std::string text;
  for (const Section& section : m_sections) {
    for (const std::u16string& line : section.lines) {
      text += win32::Utf16ToUtf8(line);
      text += "\r\n";
    }
  }
  return text;
}

void CSettingsText::AddLine(std::u16string line) {
  std::u16string_view name;
  if (HeaderName(line, &name)) {
    m_sectionIndex.emplace(Folded(name), m_sections.size());
    m_sections.emplace_back();
  }
  Section& last = m_sections.back();
  last.lines.push_back(std::move(line));
  // A section still growing is indexed again when a write first needs it.
  last.indexed = false;
  last.keys.clear();
}

void CSettingsText::IndexKeys(Section* pSection) {
  if (pSection->indexed) return;
  const bool hasHeader = &m_sections.front() != pSection;
  pSection->lastFilled = 0;
  for (size_t i = hasHeader ? 1 : 0; i < pSection->lines.size(); ++i) {
    std::u16string_view name;
    if (KeyName(pSection->lines[i], &name)) pSection->keys.emplace(Folded(name), i);
    if (!Trim(pSection->lines[i]).empty()) pSection->lastFilled = i;
  }
  pSection->indexed = true;
}
