#pragma once
// A texture: pixels that never change (a copy of a canvas), or a picture file standing in for
// the pixels it will decode to, plus the filter used wherever it is scaled.
// Lifetime: counted, starting at 1; the last Release deletes it and its pixels.
// Threading: UI thread only; the count is atomic so a painter may hold one elsewhere.

#include <cairo.h>

#include <atomic>
#include <memory>

#include "CPictureSource.h"
#include "Pictor/Pictor.h"

namespace Pictor {

class CTexture {
 public:
  // Takes over the surface's reference. Null without memory.
  static CTexture* FromSurface(cairo_surface_t* pSurface);
  static CTexture* FromPicture(std::shared_ptr<const CPictureSource> pPicture);

  CTexture(const CTexture&) = delete;
  CTexture& operator=(const CTexture&) = delete;

  void AddRef() { ++m_refCount; }
  void Release();

  int Width() const { return m_width; }
  int Height() const { return m_height; }
  void SetFilter(win32::DWORD filter) { m_filter = filter; }

  // Draws the texture scaled over `rect` of the surface cr paints on; a picture file is decoded
  // at the rectangle's size. False, with nothing drawn, when it does not decode.
  bool DrawInto(cairo_t* cr, const win32::RECT& rect);
  // The pixels as a premultiplied ARGB32 surface, no reference for the caller. A picture file is
  // decoded once, whole, or scaled down to the canvas limit; null when it does not decode.
  cairo_surface_t* Pixels();

 private:
  CTexture(cairo_surface_t* pSurface, std::shared_ptr<const CPictureSource> pPicture, int width,
           int height);
  ~CTexture();

  void KeepPixels(cairo_surface_t* pSurface);

  std::atomic<int> m_refCount{1};
  cairo_surface_t* m_pSurface;  // one reference, or null while a picture is not decoded
  std::shared_ptr<const CPictureSource> m_pPicture;  // null for a canvas's copy
  const int m_width;
  const int m_height;
  win32::DWORD m_filter = 0;
  bool m_decodeFailed = false;
};

}  // namespace Pictor
