// The library's calls on canvases and textures, its live counters and its class registration.

#include "Pictor/Pictor.h"

#include <atomic>
#include <cstring>

#include "Basalt/Util.h"
#include "CCanvas.h"
#include "CPictorImage.h"
#include "CTexture.h"
#include "Lq/LqInterfaces.h"
#include "PictorCounters.h"

using namespace win32;

namespace Pictor {

namespace {

std::atomic<size_t> g_liveTextures{0};
std::atomic<uint64_t> g_liveTextureBytes{0};
std::atomic<size_t> g_liveCanvases{0};

void SetColor(cairo_t* cr, DWORD argb) {
  cairo_set_source_rgba(cr, ((argb >> 16) & 0xFF) / 255.0, ((argb >> 8) & 0xFF) / 255.0,
                        (argb & 0xFF) / 255.0, ((argb >> 24) & 0xFF) / 255.0);
}

HRESULT MakePicture(REFIID riid, void** ppObject) {
  if (!ppObject) return E_POINTER;
  *ppObject = nullptr;
  CPictorImage* pImage = CPictorImage::Create();
  if (!pImage) return E_OUTOFMEMORY;
  HRESULT hr = pImage->QueryInterface(riid, ppObject);
  pImage->Release();
  return hr;
}

}  // namespace

namespace counters {

void TextureMade() { ++g_liveTextures; }
void TextureFreed() { --g_liveTextures; }
void PixelsKept(uint64_t bytes) { g_liveTextureBytes += bytes; }
void PixelsFreed(uint64_t bytes) { g_liveTextureBytes -= bytes; }
void CanvasMade() { ++g_liveCanvases; }
void CanvasFreed() { --g_liveCanvases; }

}  // namespace counters

HCANVAS CreateCanvas(int width, int height, DWORD flags) {
  if (flags != 0 || width <= 0 || height <= 0 || width > kMaxCanvasSide ||
      height > kMaxCanvasSide || static_cast<int64_t>(width) * height > kMaxCanvasPixels) {
    return nullptr;
  }
  return CCanvas::Create(width, height);
}

BOOL SetCanvasFilter(HCANVAS canvas, DWORD filter) {
  if (!canvas) return FALSE;
  canvas->SetFilter(filter);
  return TRUE;
}

BOOL FillSolidRectEx(HCANVAS canvas, DWORD argb, const RECT* pRect, DWORD) {
  if (!canvas || !pRect) return FALSE;
  cairo_t* cr = cairo_create(canvas->Surface());
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  SetColor(cr, argb);
  cairo_rectangle(cr, pRect->left, pRect->top, pRect->right - pRect->left,
                  pRect->bottom - pRect->top);
  cairo_fill(cr);
  cairo_destroy(cr);
  return TRUE;
}

BOOL MixCanvas(HCANVAS destination, const POINT* pPoint, HCANVAS source, const RECT* pSource,
               BYTE alpha) {
  if (!destination || !pPoint || !source) return FALSE;
  cairo_surface_t* pFrom = source->Surface();
  RECT from = pSource ? *pSource
                      : RECT{0, 0, cairo_image_surface_get_width(pFrom),
                             cairo_image_surface_get_height(pFrom)};
  cairo_t* cr = cairo_create(destination->Surface());
  cairo_rectangle(cr, pPoint->x, pPoint->y, from.right - from.left, from.bottom - from.top);
  cairo_clip(cr);
  cairo_set_source_surface(cr, pFrom, pPoint->x - from.left, pPoint->y - from.top);
  cairo_paint_with_alpha(cr, alpha / 255.0);
  cairo_destroy(cr);
  return TRUE;
}

HTEXTURE CanvasToTexture(HCANVAS canvas) {
  if (!canvas) return nullptr;
  cairo_surface_t* pFrom = canvas->Surface();
  cairo_surface_t* pCopy =
      cairo_image_surface_create(CAIRO_FORMAT_ARGB32, cairo_image_surface_get_width(pFrom),
                                 cairo_image_surface_get_height(pFrom));
  if (cairo_surface_status(pCopy) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(pCopy);
    return nullptr;
  }
  cairo_t* cr = cairo_create(pCopy);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_set_source_surface(cr, pFrom, 0, 0);
  cairo_paint(cr);
  cairo_destroy(cr);
  cairo_surface_flush(pCopy);
  return CTexture::FromSurface(pCopy);
}

HTEXTURE TextureFromPixels(const PixelBuffer& buffer) {
  const int64_t pixels = static_cast<int64_t>(buffer.width) * buffer.height;
  if (buffer.width <= 0 || buffer.height <= 0 || buffer.width > kMaxCanvasSide ||
      buffer.height > kMaxCanvasSide || pixels > kMaxCanvasPixels ||
      buffer.pixels.size() != static_cast<size_t>(pixels)) {
    return nullptr;
  }
  cairo_surface_t* pCopy =
      cairo_image_surface_create(CAIRO_FORMAT_ARGB32, buffer.width, buffer.height);
  if (cairo_surface_status(pCopy) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(pCopy);
    return nullptr;
  }
  cairo_surface_flush(pCopy);
  uint8_t* pTarget = cairo_image_surface_get_data(pCopy);
  const int stride = cairo_image_surface_get_stride(pCopy);
  for (int y = 0; y < buffer.height; ++y) {
    std::memcpy(pTarget + static_cast<size_t>(y) * stride,
                buffer.pixels.data() + static_cast<size_t>(y) * buffer.width,
                static_cast<size_t>(buffer.width) * 4);
  }
  cairo_surface_mark_dirty(pCopy);
  return CTexture::FromSurface(pCopy);
}

BOOL SetTextureFilter(HTEXTURE texture, DWORD filter) {
  if (!texture) return FALSE;
  texture->SetFilter(filter);
  return TRUE;
}

BOOL GetTextureSize(HTEXTURE texture, int* pWidth, int* pHeight) {
  if (!texture || !pWidth || !pHeight) return FALSE;
  *pWidth = texture->Width();
  *pHeight = texture->Height();
  return TRUE;
}

void DeleteCanvas(HCANVAS canvas) { delete canvas; }

void DeleteTexture(HTEXTURE texture) {
  if (texture) texture->Release();
}

void RegisterClasses() { Util::Core::RegisterObjectClass(CLSID_LqImage, &MakePicture); }

size_t LiveTextureCount() { return g_liveTextures; }
uint64_t LiveTextureBytes() { return g_liveTextureBytes; }
size_t LiveCanvasCount() { return g_liveCanvases; }

}  // namespace Pictor
