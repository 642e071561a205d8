#include "JsonLine.h"

#include <cstdio>

namespace lq {

namespace {

void SkipSpace(const std::string& text, size_t* pAt) {
  while (*pAt < text.size() && (text[*pAt] == ' ' || text[*pAt] == '\t' || text[*pAt] == '\r')) {
    ++*pAt;
  }
}

void AppendUtf8(unsigned code, std::string* pOut) {
  if (code < 0x80) {
    pOut->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    pOut->push_back(static_cast<char>(0xC0 | (code >> 6)));
    pOut->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    pOut->push_back(static_cast<char>(0xE0 | (code >> 12)));
    pOut->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    pOut->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    pOut->push_back(static_cast<char>(0xF0 | (code >> 18)));
    pOut->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    pOut->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    pOut->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

bool ReadHex4(const std::string& text, size_t at, unsigned* pValue) {
  if (at + 4 > text.size()) return false;
  *pValue = 0;
  for (size_t i = at; i < at + 4; ++i) {
    char c = text[i];
    int digit = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
    if (digit < 0) return false;
    *pValue = *pValue * 16 + static_cast<unsigned>(digit);
  }
  return true;
}

bool ReadString(const std::string& text, size_t* pAt, std::string* pOut) {
  if (*pAt >= text.size() || text[*pAt] != '"') return false;
  ++*pAt;
  pOut->clear();
  while (*pAt < text.size()) {
    char c = text[(*pAt)++];
    if (c == '"') return true;
    if (static_cast<unsigned char>(c) < 0x20) return false;
    if (c != '\\') {
      pOut->push_back(c);
      continue;
    }
    if (*pAt >= text.size()) return false;
    char escape = text[(*pAt)++];
    switch (escape) {
      case '"': case '\\': case '/': pOut->push_back(escape); break;
      case 'b': pOut->push_back('\b'); break;
      case 'f': pOut->push_back('\f'); break;
      case 'n': pOut->push_back('\n'); break;
      case 'r': pOut->push_back('\r'); break;
      case 't': pOut->push_back('\t'); break;
      case 'u': {
        unsigned code = 0;
        if (!ReadHex4(text, *pAt, &code)) return false;
        *pAt += 4;
        if (code >= 0xD800 && code <= 0xDBFF) {
          unsigned low = 0;
          if (*pAt + 6 > text.size() || text[*pAt] != '\\' || text[*pAt + 1] != 'u' ||
              !ReadHex4(text, *pAt + 2, &low) || low < 0xDC00 || low > 0xDFFF) {
            return false;
          }
          *pAt += 6;
          code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        } else if (code >= 0xDC00 && code <= 0xDFFF) {
          return false;
        }
        AppendUtf8(code, pOut);
        break;
      }
      default:
        return false;
    }
  }
  return false;
}

}  // namespace

bool ParseJsonLine(const std::string& line, std::map<std::string, std::string>* pMembers) {
  pMembers->clear();
  size_t at = 0;
  SkipSpace(line, &at);
  if (at >= line.size() || line[at++] != '{') return false;
  SkipSpace(line, &at);
  if (at < line.size() && line[at] == '}') {
    ++at;
  } else {
    for (;;) {
      std::string key;
      std::string value;
      SkipSpace(line, &at);
      if (!ReadString(line, &at, &key)) return false;
      SkipSpace(line, &at);
      if (at >= line.size() || line[at++] != ':') return false;
      SkipSpace(line, &at);
      if (at < line.size() && line[at] == '"') {
        if (!ReadString(line, &at, &value)) return false;
      } else {
        size_t start = at;
        while (at < line.size() && line[at] != ',' && line[at] != '}' && line[at] != ' ') ++at;
        value = line.substr(start, at - start);
        bool number = !value.empty() && value.find_first_not_of("-0123456789") == std::string::npos;
        if (!number && value != "true" && value != "false") return false;
      }
      (*pMembers)[key] = value;
      SkipSpace(line, &at);
      if (at >= line.size()) return false;
      char c = line[at++];
      if (c == '}') break;
      if (c != ',') return false;
    }
  }
  SkipSpace(line, &at);
  return at == line.size();
}

CJsonWriter& CJsonWriter::Raw(const std::string& text) {
  m_text += text;
  m_first = false;
  return *this;
}

CJsonWriter& CJsonWriter::String(const std::string& text) {
  m_text.push_back('"');
  for (unsigned char c : text) {
    switch (c) {
      case '"': m_text += "\\\""; break;
      case '\\': m_text += "\\\\"; break;
      case '\n': m_text += "\\n"; break;
      case '\r': m_text += "\\r"; break;
      case '\t': m_text += "\\t"; break;
      default:
        if (c < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof(escape), "\\u%04x", c);
          m_text += escape;
        } else {
          m_text.push_back(static_cast<char>(c));
        }
    }
  }
  m_text.push_back('"');
  m_first = false;
  return *this;
}

CJsonWriter& CJsonWriter::Key(const char* pKey) {
  if (!m_first) m_text.push_back(',');
  String(pKey);
  m_text.push_back(':');
  return *this;
}

CJsonWriter& CJsonWriter::Number(long long value) {
  m_text += std::to_string(value);
  m_first = false;
  return *this;
}

CJsonWriter& CJsonWriter::Bool(bool value) {
  m_text += value ? "true" : "false";
  m_first = false;
  return *this;
}

CJsonWriter& CJsonWriter::BeginObject() {
  m_text.push_back('{');
  m_first = true;
  return *this;
}

CJsonWriter& CJsonWriter::EndObject() {
  m_text.push_back('}');
  m_first = false;
  return *this;
}

CJsonWriter& CJsonWriter::BeginArray() {
  m_text.push_back('[');
  m_first = true;
  return *this;
}

CJsonWriter& CJsonWriter::EndArray() {
  m_text.push_back(']');
  m_first = false;
  return *this;
}

CJsonWriter& CJsonWriter::Item() {
  if (!m_first) m_text.push_back(',');
  m_first = true;
  return *this;
}

}  // namespace lq
