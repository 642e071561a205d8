#pragma once

#include <string>
#include <string_view>

namespace peer {

// Lowercase hex of the bytes, two digits each (the QR text is written this way).
std::string ToHex(std::string_view bytes);
// Reads hex in either case; false (and `bytes` untouched) on an odd length or a non-hex digit.
[[nodiscard]] bool FromHex(std::string_view hex, std::string* bytes);

}  // namespace peer
