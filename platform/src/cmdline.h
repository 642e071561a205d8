#pragma once
// The Windows command-line rules, shared by process creation and the process's own command line.

#include <string>
#include <string_view>
#include <vector>

namespace win32::detail {

// The program name ends at the closing quote or the first blank, with no escapes; in later words
// quotes group, 2n backslashes before a quote give n and toggle the quoting, 2n+1 give n and a
// literal quote, other backslashes are literal, and "" inside quotes is a literal quote. Always
// at least one word (the program name, perhaps empty).
std::vector<std::u16string> SplitCommandLine(std::u16string_view line);

// The inverse: words joined by blanks, quoted so that SplitCommandLine gives them back exactly.
// A program name holding a quote cannot be written (the first word has no escapes); Windows
// paths never hold one.
std::u16string JoinCommandLine(const std::vector<std::u16string>& words);

}  // namespace win32::detail
