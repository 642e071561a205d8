#pragma once
// Writes Windows .ico files: one 32-bit image per size, each with the AND mask that readers
// ignoring alpha use. The build's icon generators share it.

#include <cstdint>
#include <vector>

namespace art {

// A square picture, rows top first, each pixel B, G, R, A with straight (not premultiplied)
// alpha.
struct IcoImage {
  int size = 0;  // 1 to 256 pixels
  std::vector<uint8_t> bgra;
};

// The file's bytes: the directory, then the images in the order given.
std::vector<uint8_t> EncodeIco(const std::vector<IcoImage>& images);

// Writes `bytes` to `pPath`; false (with the reason on stderr) when it cannot.
bool WriteFileBytes(const char* pPath, const std::vector<uint8_t>& bytes);

}  // namespace art
