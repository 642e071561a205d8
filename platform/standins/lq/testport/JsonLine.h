#pragma once
// The test port's wire form: one JSON object per line. Requests are flat objects of strings,
// numbers and booleans; replies are written with CJsonWriter. Nothing here is a general JSON
// library: nested requests are refused.

#include <map>
#include <string>

namespace lq {

// A flat request: each member's value as text (strings unescaped, numbers and true/false as
// written). False for anything else, or for malformed text.
bool ParseJsonLine(const std::string& line, std::map<std::string, std::string>* pMembers);

// Builds one JSON value; the caller puts commas with Next() between members or items.
class CJsonWriter {
 public:
  CJsonWriter& Raw(const std::string& text);
  CJsonWriter& String(const std::string& text);
  CJsonWriter& Key(const char* pKey);  // "key": (a comma first unless it opens the object)
  CJsonWriter& Number(long long value);
  CJsonWriter& Bool(bool value);
  CJsonWriter& BeginObject();
  CJsonWriter& EndObject();
  CJsonWriter& BeginArray();
  CJsonWriter& EndArray();
  // A comma before the next array item (not for the first).
  CJsonWriter& Item();
  const std::string& Text() const { return m_text; }

 private:
  std::string m_text;
  bool m_first = true;  // nothing written yet in the innermost object or array
};

}  // namespace lq
