#pragma once
// The picture library: canvases the program draws into, textures (counted, immutable pictures
// made from a canvas or standing for a picture file) and the UI framework's picture object
// (class {40C0A0B4-33E3-4091-AE36-918F9C09E350}), which loads a picture file and draws it into a
// canvas. Display-free: cairo image surfaces hold the pixels, gdk-pixbuf decodes.
//
// Picture files: only JPEG, PNG and BMP are decoded, told apart by their first bytes, never by
// their names. A JPEG may declare up to 12000 x 12000 pixels and is decoded scaled down to the
// size it is drawn at, reading no further than its end marker; a progressive one (any whose data
// comes in several scans) up to 16 megapixels, as its decoder holds the whole picture whatever
// the scale; a PNG or BMP up to 8192 x 8192 and 16 megapixels. Anything else loads nothing, so
// no other decoder ever sees a file and no picture can make the library allocate more than its
// limits.
//
// Threading: UI thread only, but for picture files read through CPictureFile (PictureFile.h) and
// their pixel buffers, which any thread may use; the live counters may be read from anywhere.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "win32/base.h"
#include "win32/com.h"
#include "win32/window.h"

namespace Pictor {

class CCanvas;
class CTexture;
// Made by CreateCanvas, freed by DeleteCanvas.
using HCANVAS = CCanvas*;
// Counted: CanvasToTexture hands one reference to the caller, dropped by DeleteTexture; a
// picture object holds its own.
using HTEXTURE = CTexture*;

// Filter settings, four bytes; byte 3 (the highest) = 1 asks for the good filter wherever a
// picture is scaled, 0 for the fast one.
inline constexpr win32::DWORD kGoodFilter = 0x01000000;
// Colours are 0xAARRGGBB.
inline constexpr win32::DWORD kOpaqueWhite = 0xFFFFFFFF;

// Largest canvas: 16384 pixels a side and 16 megapixels in all.
inline constexpr int kMaxCanvasSide = 16384;
inline constexpr int64_t kMaxCanvasPixels = 16 * 1024 * 1024;

// A transparent canvas of 32-bit pixels; null for a size of 0, a negative one or one over the
// limits. `flags` must be 0.
HCANVAS CreateCanvas(int width, int height, win32::DWORD flags);
win32::BOOL SetCanvasFilter(HCANVAS canvas, win32::DWORD filter);
// Fills the rectangle (clipped to the canvas) with the colour, replacing what was there.
win32::BOOL FillSolidRectEx(HCANVAS canvas, win32::DWORD argb, const win32::RECT* pRect,
                            win32::DWORD flags);
// Draws `pSource` of `source` (null: all of it) over `destination` at `pPoint`, with `alpha`
// (255 opaque).
win32::BOOL MixCanvas(HCANVAS destination, const win32::POINT* pPoint, HCANVAS source,
                      const win32::RECT* pSource, win32::BYTE alpha);
// A texture holding a copy of the canvas's pixels (the canvas stays the caller's to delete);
// null for a null canvas or without memory.
HTEXTURE CanvasToTexture(HCANVAS canvas);

// Plain pixels, made on any thread: premultiplied 0xAARRGGBB, `width` a row, top row first.
struct PixelBuffer {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;
};

// A texture holding a copy of the pixels; null for an empty buffer, one whose size does not
// match its pixels, one over the canvas limits, or without memory.
HTEXTURE TextureFromPixels(const PixelBuffer& buffer);
win32::BOOL SetTextureFilter(HTEXTURE texture, win32::DWORD filter);
// The texture's size; for a picture file's texture the size its header declares (nothing is
// decoded for it).
win32::BOOL GetTextureSize(HTEXTURE texture, int* pWidth, int* pHeight);
void DeleteCanvas(HCANVAS canvas);
// Drops the caller's reference.
void DeleteTexture(HTEXTURE texture);

// {7B3E1F20-5D8C-4A61-9E07-C4A2F9B13D58}: the picture object's own face.
inline constexpr win32::IID IID_IPictorImage = {
    0x7B3E1F20, 0x5D8C, 0x4A61, {0x9E, 0x07, 0xC4, 0xA2, 0xF9, 0xB1, 0x3D, 0x58}};

struct IPictorImage : win32::IUnknown {
  // The picture's texture, without a reference for the caller (it lives while the object holds
  // it); E_FAIL and null when nothing is loaded.
  virtual win32::HRESULT STDMETHODCALLTYPE GetTexture(HTEXTURE* pTexture) = 0;
  // Shows `texture` from now on (the object takes a reference); null empties the object.
  virtual win32::HRESULT STDMETHODCALLTYPE SetTexture(HTEXTURE texture) = 0;
  // Draws the picture over the rectangle of the canvas, scaled to it (a picture file decoded at
  // that size). E_FAIL, with the canvas unchanged, when there is nothing to draw or the file
  // cannot be decoded.
  virtual win32::HRESULT STDMETHODCALLTYPE Draw(HCANVAS canvas, const win32::RECT* pRect) = 0;
};

// Registers the picture object with the platform core, where the UI framework's object factory
// finds it ahead of the framework's own picture object. Again is harmless.
void RegisterClasses();

// Textures alive now and the bytes of pixels they hold (a picture file's texture holds none
// until its pixels are asked for); canvases alive now.
size_t LiveTextureCount();
uint64_t LiveTextureBytes();
size_t LiveCanvasCount();

}  // namespace Pictor
