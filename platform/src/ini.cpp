#include "ini.h"

#include "win32/strings.h"

namespace win32::detail {
namespace {

enum class LineKind { kOther, kSection, kEntry };

struct LineInfo {
  LineKind kind = LineKind::kOther;
  std::u16string_view name;   // section or key
  std::u16string_view value;  // entries only: trimmed, quotes removed
};

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view Trim(std::u16string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

LineInfo Classify(std::u16string_view line) {
  LineInfo info;
  line = Trim(line);
  if (line.empty() || line.front() == u';') return info;
  if (line.front() == u'[') {
    size_t close = line.find(u']');
    info.kind = LineKind::kSection;
    info.name = Trim(line.substr(1, close == std::u16string_view::npos ? close : close - 1));
    return info;
  }
  info.kind = LineKind::kEntry;
  size_t equals = line.find(u'=');
  if (equals == std::u16string_view::npos) {
    info.name = line;
    return info;
  }
  info.name = Trim(line.substr(0, equals));
  std::u16string_view value = Trim(line.substr(equals + 1));
  if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  info.value = value;
  return info;
}

char16_t Upper(char16_t c) {
  if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) return c - 0x20;
  return c;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Upper(a[i]) != Upper(b[i])) return false;
  }
  return true;
}

}  // namespace

void IniDocument::Parse(std::string_view bytes) {
  m_lines.clear();
  std::u16string text;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                           (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    }
  } else {
    if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
    text = Utf8ToUtf16(bytes);
  }
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find(u'\n', pos);
    if (end == std::u16string::npos) end = text.size();
    std::u16string line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == u'\r') line.pop_back();
    m_lines.push_back(std::move(line));
    pos = end + 1;
  }
}

std::string IniDocument::ToText() const {
  std::string text;
  for (const std::u16string& line : m_lines) {
    text += Utf16ToUtf8(line);
    text += "\r\n";
  }
  return text;
}

bool IniDocument::FindValue(std::u16string_view section, std::u16string_view key,
                            std::u16string* pValue) const {
  size_t end;
  size_t start = FindSection(section, &end);
  if (start == std::u16string::npos) return false;
  for (size_t i = start + 1; i < end; ++i) {
    LineInfo info = Classify(m_lines[i]);
    if (info.kind == LineKind::kEntry && SameName(info.name, key)) {
      pValue->assign(info.value);
      return true;
    }
  }
  return false;
}

std::vector<std::u16string> IniDocument::SectionNames() const {
  std::vector<std::u16string> names;
  for (const std::u16string& line : m_lines) {
    LineInfo info = Classify(line);
    if (info.kind == LineKind::kSection) names.emplace_back(info.name);
  }
  return names;
}

std::vector<std::u16string> IniDocument::KeyNames(std::u16string_view section) const {
  std::vector<std::u16string> names;
  size_t end;
  size_t start = FindSection(section, &end);
  if (start == std::u16string::npos) return names;
  for (size_t i = start + 1; i < end; ++i) {
    LineInfo info = Classify(m_lines[i]);
    if (info.kind == LineKind::kEntry) names.emplace_back(info.name);
  }
  return names;
}

void IniDocument::SetValue(std::u16string_view section, std::u16string_view key,
                           std::u16string_view value) {
  size_t end;
  size_t start = FindSection(section, &end);
  if (start == std::u16string::npos) {
    m_lines.push_back(u"[" + std::u16string(section) + u"]");
    m_lines.push_back(std::u16string(key) + u"=" + std::u16string(value));
    return;
  }
  size_t lastFilled = start;
  for (size_t i = start + 1; i < end; ++i) {
    LineInfo info = Classify(m_lines[i]);
    if (info.kind == LineKind::kEntry && SameName(info.name, key)) {
      m_lines[i] = std::u16string(info.name) + u"=" + std::u16string(value);
      return;
    }
    if (!Trim(m_lines[i]).empty()) lastFilled = i;
  }
  m_lines.insert(m_lines.begin() + static_cast<ptrdiff_t>(lastFilled + 1),
                 std::u16string(key) + u"=" + std::u16string(value));
}

bool IniDocument::DeleteKey(std::u16string_view section, std::u16string_view key) {
  bool removed = false;
  size_t end;
  size_t start = FindSection(section, &end);
  if (start == std::u16string::npos) return false;
  for (size_t i = start + 1; i < end;) {
    LineInfo info = Classify(m_lines[i]);
    if (info.kind == LineKind::kEntry && SameName(info.name, key)) {
      m_lines.erase(m_lines.begin() + static_cast<ptrdiff_t>(i));
      --end;
      removed = true;
    } else {
      ++i;
    }
  }
  return removed;
}

bool IniDocument::DeleteSection(std::u16string_view section) {
  bool removed = false;
  size_t end;
  size_t start;
  while ((start = FindSection(section, &end)) != std::u16string::npos) {
    m_lines.erase(m_lines.begin() + static_cast<ptrdiff_t>(start),
                  m_lines.begin() + static_cast<ptrdiff_t>(end));
    removed = true;
  }
  return removed;
}

size_t IniDocument::FindSection(std::u16string_view section, size_t* pEnd) const {
  for (size_t i = 0; i < m_lines.size(); ++i) {
    LineInfo info = Classify(m_lines[i]);
    if (info.kind != LineKind::kSection || !SameName(info.name, section)) continue;
    size_t end = i + 1;
    while (end < m_lines.size() && Classify(m_lines[end]).kind != LineKind::kSection) ++end;
    *pEnd = end;
    return i;
  }
  return std::u16string::npos;
}

}  // namespace win32::detail
