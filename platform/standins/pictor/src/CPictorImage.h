#pragma once
// The picture object: a picture file (a path, "platformres:" ones in the platform core's
// resource folder) or a buffer of a file's bytes, held as a texture that stands for it, or a
// texture the program hands in. It draws itself into canvases, and painters read its pixels.
// Lifetime: counted, starting at 1 for the creator; the last Release frees it and drops its
// texture reference.
// Threading: UI thread only; the count is atomic.

#include <atomic>

#include "Lq/LqInterfaces.h"
#include "Pictor/Pictor.h"

namespace Pictor {

class CPictorImage final : public ILqImage, public IPictorImage, public ILqPixels {
 public:
  // One reference for the caller; null without memory.
  static CPictorImage* Create();

  CPictorImage(const CPictorImage&) = delete;
  CPictorImage& operator=(const CPictorImage&) = delete;

  // IUnknown:
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID riid, void** ppObject) override;
  win32::ULONG STDMETHODCALLTYPE AddRef() override;
  win32::ULONG STDMETHODCALLTYPE Release() override;
  // ILqImage: a file or buffer that is no JPEG, PNG or BMP within the limits loads nothing
  // (E_FAIL) and empties the object.
  win32::HRESULT STDMETHODCALLTYPE LoadFile(const win32::WCHAR* pPath) override;
  win32::HRESULT STDMETHODCALLTYPE LoadBuffer(IKwBuffer* pBuffer) override;
  win32::HRESULT STDMETHODCALLTYPE GetSize(win32::INT* pWidth, win32::INT* pHeight) override;
  // IPictorImage:
  win32::HRESULT STDMETHODCALLTYPE GetTexture(HTEXTURE* pTexture) override;
  win32::HRESULT STDMETHODCALLTYPE SetTexture(HTEXTURE texture) override;
  win32::HRESULT STDMETHODCALLTYPE Draw(HCANVAS canvas, const win32::RECT* pRect) override;
  // ILqPixels:
  win32::HRESULT STDMETHODCALLTYPE GetPixels(const win32::BYTE** ppData, win32::INT* pWidth,
                                             win32::INT* pHeight, win32::INT* pStride) override;

 private:
  CPictorImage() = default;
  ~CPictorImage();

  // Holds `texture` (already counted for the object) in place of the current one.
  void Hold(HTEXTURE texture);

  std::atomic<win32::ULONG> m_refCount{1};
  HTEXTURE m_texture = nullptr;  // one reference, or null
};

}  // namespace Pictor
