#include "cmdline.h"

namespace win32::detail {
namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

bool NeedsQuotes(std::u16string_view word) {
  return word.empty() || word.find_first_of(u" \t\"") != std::u16string_view::npos;
}

// Backslashes stay literal unless a quote follows them, so only runs before a quote (and before
// the closing quote) are doubled.
void AppendQuotedWord(std::u16string* pLine, std::u16string_view word) {
  if (!NeedsQuotes(word)) {
    pLine->append(word);
    return;
  }
  pLine->push_back(u'"');
  size_t backslashes = 0;
  for (char16_t c : word) {
    if (c == u'\\') {
      ++backslashes;
      continue;
    }
    if (c == u'"') {
      pLine->append(backslashes * 2 + 1, u'\\');
    } else {
      pLine->append(backslashes, u'\\');
    }
    backslashes = 0;
    pLine->push_back(c);
  }
  pLine->append(backslashes * 2, u'\\');
  pLine->push_back(u'"');
}

}  // namespace

std::vector<std::u16string> SplitCommandLine(std::u16string_view line) {
  std::vector<std::u16string> words;
  size_t i = 0;
  std::u16string first;
  if (i < line.size() && line[i] == u'"') {
    size_t end = line.find(u'"', i + 1);
    if (end == std::u16string_view::npos) end = line.size();
    first = line.substr(i + 1, end - i - 1);
    i = end < line.size() ? end + 1 : end;
  } else {
    while (i < line.size() && !IsBlank(line[i])) first += line[i++];
  }
  words.push_back(first);
  while (true) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i >= line.size()) break;
    std::u16string word;
    bool quoted = false;
    while (i < line.size() && (quoted || !IsBlank(line[i]))) {
      char16_t c = line[i];
      if (c == u'\\') {
        size_t j = i;
        while (j < line.size() && line[j] == u'\\') ++j;
        size_t count = j - i;
        if (j < line.size() && line[j] == u'"') {
          word.append(count / 2, u'\\');
          if (count % 2 == 1) {
            word += u'"';
            ++j;
          }
        } else {
          word.append(count, u'\\');
        }
        i = j;
      } else if (c == u'"') {
        if (quoted && i + 1 < line.size() && line[i + 1] == u'"') {
          word += u'"';
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        word += c;
        ++i;
      }
    }
    words.push_back(std::move(word));
  }
  return words;
}

std::u16string JoinCommandLine(const std::vector<std::u16string>& words) {
  std::u16string line;
  for (size_t i = 0; i < words.size(); ++i) {
    if (i == 0) {
      const std::u16string& program = words[0];
      bool quote = program.empty() || program.find_first_of(u" \t") != std::u16string::npos;
      if (quote) line.push_back(u'"');
      line.append(program);
      if (quote) line.push_back(u'"');
      continue;
    }
    line.push_back(u' ');
    AppendQuotedWord(&line, words[i]);
  }
  return line;
}

}  // namespace win32::detail
