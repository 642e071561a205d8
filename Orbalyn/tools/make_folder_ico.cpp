// Draws the backup folder's icon and writes it as a .ico file with one 32x32 image of 32 bits
// per pixel: a folder with a tab, and a small picture (sky, sun, hill) on its front.
// Usage: make_folder_ico <output path>

#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr int kSize = 32;

struct Pixel {
  uint8_t b, g, r, a;
};

class Canvas {
 public:
  Canvas() : m_pixels(kSize * kSize, Pixel{0, 0, 0, 0}) {}

  // (x, y) with y = 0 at the top.
  void Fill(int x0, int y0, int x1, int y1, Pixel colour) {
    for (int y = y0; y <= y1; ++y) {
      for (int x = x0; x <= x1; ++x) Set(x, y, colour);
    }
  }
  void Frame(int x0, int y0, int x1, int y1, Pixel colour) {
    for (int x = x0; x <= x1; ++x) {
      Set(x, y0, colour);
      Set(x, y1, colour);
    }
    for (int y = y0; y <= y1; ++y) {
      Set(x0, y, colour);
      Set(x1, y, colour);
    }
  }
  void Disc(int cx, int cy, int radius, Pixel colour) {
    for (int y = cy - radius; y <= cy + radius; ++y) {
      for (int x = cx - radius; x <= cx + radius; ++x) {
        if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius) Set(x, y, colour);
      }
    }
  }
  void Set(int x, int y, Pixel colour) {
    if (x >= 0 && x < kSize && y >= 0 && y < kSize) m_pixels[y * kSize + x] = colour;
  }
  const Pixel& At(int x, int y) const { return m_pixels[y * kSize + x]; }

 private:
  std::vector<Pixel> m_pixels;
};

void Put16(std::vector<uint8_t>* pOut, uint16_t value) {
  pOut->push_back(static_cast<uint8_t>(value));
  pOut->push_back(static_cast<uint8_t>(value >> 8));
}

void Put32(std::vector<uint8_t>* pOut, uint32_t value) {
  Put16(pOut, static_cast<uint16_t>(value));
  Put16(pOut, static_cast<uint16_t>(value >> 16));
}

Canvas DrawFolder() {
  const Pixel outline{20, 90, 150, 255};
  const Pixel back{40, 150, 220, 255};
  const Pixel front{80, 190, 250, 255};
  const Pixel sky{235, 200, 120, 255};
  const Pixel sun{60, 220, 255, 255};
  const Pixel hill{70, 160, 60, 255};

  Canvas canvas;
  // Tab and back sheet.
  canvas.Fill(2, 5, 12, 8, back);
  canvas.Frame(2, 5, 12, 8, outline);
  canvas.Fill(2, 8, 29, 27, back);
  canvas.Frame(2, 8, 29, 27, outline);
  // Front flap.
  canvas.Fill(3, 12, 28, 27, front);
  canvas.Frame(2, 12, 29, 27, outline);
  // The picture on the flap.
  canvas.Fill(9, 15, 22, 24, sky);
  canvas.Disc(19, 17, 2, sun);
  for (int x = 9; x <= 22; ++x) {
    int top = 24 - (x < 15 ? x - 9 : 21 - x) / 2;
    canvas.Fill(x, top, x, 24, hill);
  }
  canvas.Frame(9, 15, 22, 24, outline);
  return canvas;
}

std::vector<uint8_t> EncodeIco(const Canvas& canvas) {
  const uint32_t maskRowBytes = 4;  // 32 bits, already a multiple of 4 bytes
  const uint32_t imageBytes = 40 + kSize * kSize * 4 + kSize * maskRowBytes;
  std::vector<uint8_t> out;
  // Icon directory with one entry.
  Put16(&out, 0);
  Put16(&out, 1);
  Put16(&out, 1);
  out.push_back(kSize);
  out.push_back(kSize);
  out.push_back(0);  // no palette
  out.push_back(0);
  Put16(&out, 1);   // planes
  Put16(&out, 32);  // bits per pixel
  Put32(&out, imageBytes);
  Put32(&out, 22);  // the image follows the 6 + 16 byte directory
  // Bitmap header: the height counts the colour rows and the mask rows.
  Put32(&out, 40);
  Put32(&out, kSize);
  Put32(&out, kSize * 2);
  Put16(&out, 1);
  Put16(&out, 32);
  Put32(&out, 0);  // uncompressed
  Put32(&out, kSize * kSize * 4 + kSize * maskRowBytes);
  Put32(&out, 0);
  Put32(&out, 0);
  Put32(&out, 0);
  Put32(&out, 0);
  // Colour rows, bottom row first.
  for (int y = kSize - 1; y >= 0; --y) {
    for (int x = 0; x < kSize; ++x) {
      const Pixel& p = canvas.At(x, y);
      out.insert(out.end(), {p.b, p.g, p.r, p.a});
    }
  }
  // Transparency mask for readers that ignore alpha: a set bit is transparent.
  for (int y = kSize - 1; y >= 0; --y) {
    uint32_t bits = 0;
    for (int x = 0; x < kSize; ++x) {
      if (canvas.At(x, y).a == 0) bits |= 0x80000000u >> x;
    }
    out.insert(out.end(), {static_cast<uint8_t>(bits >> 24), static_cast<uint8_t>(bits >> 16),
                           static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits)});
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s <output.ico>\n", argv[0]);
    return 2;
  }
  std::vector<uint8_t> ico = EncodeIco(DrawFolder());
  FILE* pFile = fopen(argv[1], "wb");
  if (!pFile) {
    perror(argv[1]);
    return 1;
  }
  bool ok = fwrite(ico.data(), 1, ico.size(), pFile) == ico.size();
  ok = fclose(pFile) == 0 && ok;
  if (!ok) {
    perror(argv[1]);
    return 1;
  }
  return 0;
}
