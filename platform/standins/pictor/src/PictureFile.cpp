#include "Pictor/PictureFile.h"

#include <cairo.h>

#include <cstring>

#include "CPictureSource.h"

namespace Pictor {

std::unique_ptr<CPictureFile> CPictureFile::Open(const std::u16string& path) {
  std::shared_ptr<const CPictureSource> pSource = CPictureSource::FromFile(path);
  if (!pSource) return nullptr;
  return std::unique_ptr<CPictureFile>(new CPictureFile(std::move(pSource)));
}

CPictureFile::CPictureFile(std::shared_ptr<const CPictureSource> pSource)
    : m_pSource(std::move(pSource)) {}

CPictureFile::~CPictureFile() = default;

int CPictureFile::Width() const { return m_pSource->Width(); }

int CPictureFile::Height() const { return m_pSource->Height(); }

uint64_t CPictureFile::DecodeBytes(int width, int height) const {
  return m_pSource->DecodeBytes(width, height);
}

bool CPictureFile::Decode(int width, int height, PixelBuffer* pBuffer) const {
  *pBuffer = PixelBuffer{};
  cairo_surface_t* pSurface = m_pSource->Decode(width, height);
  if (!pSurface) return false;
  cairo_surface_flush(pSurface);
  const uint8_t* pData = cairo_image_surface_get_data(pSurface);
  const int stride = cairo_image_surface_get_stride(pSurface);
  pBuffer->width = width;
  pBuffer->height = height;
  pBuffer->pixels.resize(static_cast<size_t>(width) * height);
  for (int y = 0; y < height; ++y) {
    std::memcpy(pBuffer->pixels.data() + static_cast<size_t>(y) * width,
                pData + static_cast<size_t>(y) * stride, static_cast<size_t>(width) * 4);
  }
  cairo_surface_destroy(pSurface);
  return true;
}

}  // namespace Pictor
