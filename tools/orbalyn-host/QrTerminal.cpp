#include "QrTerminal.h"

#include <qrencode.h>

namespace {

// UTF-8 half blocks: upper half, lower half, full block.
constexpr char kUpper[] = "\xE2\x96\x80";
constexpr char kLower[] = "\xE2\x96\x84";
constexpr char kFull[] = "\xE2\x96\x88";

}  // namespace

std::string CQrTerminal::Render(const std::string& text) {
  QRcode* pCode = QRcode_encodeString8bit(text.c_str(), 0, QR_ECLEVEL_L);
  if (!pCode) return {};
  const int width = pCode->width;
  const int span = width + 2 * kQuietZone;
  // Light (printed as ink) outside the symbol and where the module's dark bit is clear.
  auto isLight = [&](int row, int column) {
    int y = row - kQuietZone;
    int x = column - kQuietZone;
    if (y < 0 || x < 0 || y >= width || x >= width) return true;
    return (pCode->data[y * width + x] & 1) == 0;
  };
  std::string out;
  for (int row = 0; row < span; row += 2) {
    for (int column = 0; column < span; ++column) {
      bool top = isLight(row, column);
      bool bottom = row + 1 < span ? isLight(row + 1, column) : false;
      if (top && bottom) {
        out += kFull;
      } else if (top) {
        out += kUpper;
      } else if (bottom) {
        out += kLower;
      } else {
        out += ' ';
      }
    }
    out += '\n';
  }
  QRcode_free(pCode);
  return out;
}
