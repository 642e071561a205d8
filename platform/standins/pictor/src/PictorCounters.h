#pragma once
// The library's live counters, for the tests' leak and budget checks.

#include <cstdint>

namespace Pictor::counters {

void TextureMade();
void TextureFreed();
void PixelsKept(uint64_t bytes);
void PixelsFreed(uint64_t bytes);
void CanvasMade();
void CanvasFreed();

}  // namespace Pictor::counters
