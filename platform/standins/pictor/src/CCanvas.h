#pragma once
// A canvas: a transparent 32-bit cairo image surface and the filter it was given.
// Lifetime: made by CreateCanvas, freed by DeleteCanvas.
// Threading: UI thread only.

#include <cairo.h>

#include "win32/base.h"

namespace Pictor {

class CCanvas {
 public:
  // Null when cairo cannot make the surface.
  static CCanvas* Create(int width, int height);

  CCanvas(const CCanvas&) = delete;
  CCanvas& operator=(const CCanvas&) = delete;
  ~CCanvas();

  cairo_surface_t* Surface() const { return m_pSurface; }
  win32::DWORD Filter() const { return m_filter; }
  void SetFilter(win32::DWORD filter) { m_filter = filter; }

 private:
  explicit CCanvas(cairo_surface_t* pSurface);

  cairo_surface_t* const m_pSurface;  // one reference
  win32::DWORD m_filter = 0;
};

}  // namespace Pictor
