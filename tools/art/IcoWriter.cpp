#include "IcoWriter.h"

#include <cstdio>

namespace art {

namespace {

void Put16(std::vector<uint8_t>* pOut, uint16_t value) {
  pOut->push_back(static_cast<uint8_t>(value));
  pOut->push_back(static_cast<uint8_t>(value >> 8));
}

void Put32(std::vector<uint8_t>* pOut, uint32_t value) {
  Put16(pOut, static_cast<uint16_t>(value));
  Put16(pOut, static_cast<uint16_t>(value >> 16));
}

uint32_t MaskRowBytes(int size) { return ((static_cast<uint32_t>(size) + 31) / 32) * 4; }

uint32_t ImageBytes(int size) {
  uint32_t pixels = static_cast<uint32_t>(size) * static_cast<uint32_t>(size);
  return 40 + pixels * 4 + static_cast<uint32_t>(size) * MaskRowBytes(size);
}

}  // namespace

std::vector<uint8_t> EncodeIco(const std::vector<IcoImage>& images) {
  std::vector<uint8_t> out;
  Put16(&out, 0);
  Put16(&out, 1);
  Put16(&out, static_cast<uint16_t>(images.size()));
  uint32_t offset = 6 + 16 * static_cast<uint32_t>(images.size());
  for (const IcoImage& image : images) {
    out.push_back(static_cast<uint8_t>(image.size == 256 ? 0 : image.size));
    out.push_back(static_cast<uint8_t>(image.size == 256 ? 0 : image.size));
    out.push_back(0);  // no palette
    out.push_back(0);
    Put16(&out, 1);   // planes
    Put16(&out, 32);  // bits per pixel
    Put32(&out, ImageBytes(image.size));
    Put32(&out, offset);
    offset += ImageBytes(image.size);
  }
  for (const IcoImage& image : images) {
    const int size = image.size;
    // Bitmap header: the height counts the colour rows and the mask rows.
    Put32(&out, 40);
    Put32(&out, static_cast<uint32_t>(size));
    Put32(&out, static_cast<uint32_t>(size) * 2);
    Put16(&out, 1);
    Put16(&out, 32);
    Put32(&out, 0);  // uncompressed
    Put32(&out, ImageBytes(size) - 40);
    Put32(&out, 0);
    Put32(&out, 0);
    Put32(&out, 0);
    Put32(&out, 0);
    // Colour rows, bottom row first.
    for (int y = size - 1; y >= 0; --y) {
      const uint8_t* pRow = image.bgra.data() + static_cast<size_t>(y) * size * 4;
      out.insert(out.end(), pRow, pRow + static_cast<size_t>(size) * 4);
    }
    // Transparency mask for readers that ignore alpha: a set bit is transparent.
    for (int y = size - 1; y >= 0; --y) {
      std::vector<uint8_t> row(MaskRowBytes(size), 0);
      for (int x = 0; x < size; ++x) {
        if (image.bgra[(static_cast<size_t>(y) * size + x) * 4 + 3] == 0) {
          row[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
        }
      }
      out.insert(out.end(), row.begin(), row.end());
    }
  }
  return out;
}

bool WriteFileBytes(const char* pPath, const std::vector<uint8_t>& bytes) {
  FILE* pFile = std::fopen(pPath, "wb");
  if (!pFile) {
    std::perror(pPath);
    return false;
  }
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), pFile) == bytes.size();
  ok = std::fclose(pFile) == 0 && ok;
  if (!ok) std::perror(pPath);
  return ok;
}

}  // namespace art
