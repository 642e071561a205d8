// Draws the backup folder's icon and writes it as a .ico file with one 32x32 image of 32 bits
// per pixel: a folder with a tab, and a small picture (sky, sun, hill) on its front.
// Usage: make_folder_ico <output path>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "IcoWriter.h"

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

art::IcoImage ToIcoImage(const Canvas& canvas) {
  art::IcoImage image;
  image.size = kSize;
  for (int y = 0; y < kSize; ++y) {
    for (int x = 0; x < kSize; ++x) {
      const Pixel& p = canvas.At(x, y);
      image.bgra.insert(image.bgra.end(), {p.b, p.g, p.r, p.a});
    }
  }
  return image;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s <output.ico>\n", argv[0]);
    return 2;
  }
  return art::WriteFileBytes(argv[1], art::EncodeIco({ToIcoImage(DrawFolder())})) ? 0 : 1;
}
