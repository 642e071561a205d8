#include "CTexture.h"

#include <cmath>
#include <new>

#include "PictorCounters.h"

using namespace win32;

namespace Pictor {

CTexture* CTexture::FromSurface(cairo_surface_t* pSurface) {
  if (!pSurface) return nullptr;
  auto* pTexture =
      new (std::nothrow) CTexture(nullptr, nullptr, cairo_image_surface_get_width(pSurface),
                                  cairo_image_surface_get_height(pSurface));
  if (!pTexture) {
    cairo_surface_destroy(pSurface);
    return nullptr;
  }
  pTexture->KeepPixels(pSurface);
  return pTexture;
}

CTexture* CTexture::FromPicture(std::shared_ptr<const CPictureSource> pPicture) {
  if (!pPicture) return nullptr;
  const int width = pPicture->Width();
  const int height = pPicture->Height();
  return new (std::nothrow) CTexture(nullptr, std::move(pPicture), width, height);
}

CTexture::CTexture(cairo_surface_t* pSurface, std::shared_ptr<const CPictureSource> pPicture,
                   int width, int height)
    : m_pSurface(pSurface), m_pPicture(std::move(pPicture)), m_width(width), m_height(height) {
  counters::TextureMade();
}

CTexture::~CTexture() {
  if (m_pSurface) {
    counters::PixelsFreed(static_cast<uint64_t>(cairo_image_surface_get_stride(m_pSurface)) *
                          cairo_image_surface_get_height(m_pSurface));
    cairo_surface_destroy(m_pSurface);
  }
  counters::TextureFreed();
}

void CTexture::Release() {
  if (--m_refCount == 0) delete this;
}

void CTexture::KeepPixels(cairo_surface_t* pSurface) {
  m_pSurface = pSurface;
  counters::PixelsKept(static_cast<uint64_t>(cairo_image_surface_get_stride(pSurface)) *
                       cairo_image_surface_get_height(pSurface));
}

bool CTexture::DrawInto(cairo_t* cr, const RECT& rect) {
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0) return false;
  cairo_surface_t* pDrawn = nullptr;
  if (m_pSurface) {
    pDrawn = cairo_surface_reference(m_pSurface);
  } else if (m_pPicture) {
    // Decoded for this drawing alone, at the size drawn: a large JPEG never exists whole.
    pDrawn = m_pPicture->Decode(width, height);
  }
  if (!pDrawn) return false;
  cairo_save(cr);
  cairo_rectangle(cr, rect.left, rect.top, width, height);
  cairo_clip(cr);
  cairo_translate(cr, rect.left, rect.top);
  cairo_scale(cr, static_cast<double>(width) / cairo_image_surface_get_width(pDrawn),
              static_cast<double>(height) / cairo_image_surface_get_height(pDrawn));
  cairo_set_source_surface(cr, pDrawn, 0, 0);
  cairo_pattern_set_filter(cairo_get_source(cr),
                           (m_filter >> 24) == 1 ? CAIRO_FILTER_GOOD : CAIRO_FILTER_FAST);
  cairo_paint(cr);
  cairo_restore(cr);
  cairo_surface_destroy(pDrawn);
  return true;
}

cairo_surface_t* CTexture::Pixels() {
  if (m_pSurface || !m_pPicture || m_decodeFailed) return m_pSurface;
  int width = m_width;
  int height = m_height;
  const double pixels = static_cast<double>(width) * height;
  if (pixels > static_cast<double>(kMaxCanvasPixels)) {
    double scale = std::sqrt(static_cast<double>(kMaxCanvasPixels) / pixels);
    width = std::max(1, static_cast<int>(width * scale));
    height = std::max(1, static_cast<int>(height * scale));
  }
  if (cairo_surface_t* pSurface = m_pPicture->Decode(width, height)) {
    KeepPixels(pSurface);
  } else {
    m_decodeFailed = true;
  }
  return m_pSurface;
}

}  // namespace Pictor
