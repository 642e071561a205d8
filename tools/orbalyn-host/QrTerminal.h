#pragma once

#include <string>

// Draws a QR symbol with text characters, two module rows per line (upper and lower half
// blocks), light modules as ink so the symbol reads on a dark terminal, with the quiet zone the
// standard asks for around it.
class CQrTerminal {
 public:
  // Modules of light margin on every side.
  static constexpr int kQuietZone = 4;

  CQrTerminal() = delete;

  // The symbol for `text` (byte mode, error correction level L), lines ending in '\n'; empty
  // when the text cannot be encoded.
  static std::string Render(const std::string& text);
};
