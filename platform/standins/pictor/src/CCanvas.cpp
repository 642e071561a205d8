#include "CCanvas.h"

#include <new>

#include "PictorCounters.h"

namespace Pictor {

CCanvas* CCanvas::Create(int width, int height) {
  cairo_surface_t* pSurface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  if (cairo_surface_status(pSurface) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(pSurface);
    return nullptr;
  }
  auto* pCanvas = new (std::nothrow) CCanvas(pSurface);
  if (!pCanvas) cairo_surface_destroy(pSurface);
  return pCanvas;
}

CCanvas::CCanvas(cairo_surface_t* pSurface) : m_pSurface(pSurface) { counters::CanvasMade(); }

CCanvas::~CCanvas() {
  cairo_surface_destroy(m_pSurface);
  counters::CanvasFreed();
}

}  // namespace Pictor
