#include "CPictorImage.h"

#include <new>
#include <string>

#include "CCanvas.h"
#include "CPictureSource.h"
#include "CTexture.h"
#include "ResourcePath.h"

using namespace win32;

namespace Pictor {

CPictorImage* CPictorImage::Create() { return new (std::nothrow) CPictorImage(); }

CPictorImage::~CPictorImage() { Hold(nullptr); }

HRESULT CPictorImage::QueryInterface(REFIID riid, void** ppObject) {
  if (!ppObject) return E_POINTER;
  *ppObject = nullptr;
  if (riid == IID_IUnknown || riid == IID_ILqImage) {
    *ppObject = static_cast<ILqImage*>(this);
  } else if (riid == IID_IPictorImage) {
    *ppObject = static_cast<IPictorImage*>(this);
  } else if (riid == IID_ILqPixels) {
    *ppObject = static_cast<ILqPixels*>(this);
  } else {
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG CPictorImage::AddRef() { return ++m_refCount; }

ULONG CPictorImage::Release() {
  ULONG count = --m_refCount;
  if (count == 0) delete this;
  return count;
}

HRESULT CPictorImage::LoadFile(const WCHAR* pPath) {
  if (!pPath) return E_POINTER;
  Hold(CTexture::FromPicture(CPictureSource::FromFile(lq::ResolvePicturePath(pPath))));
  return m_texture ? S_OK : E_FAIL;
}

HRESULT CPictorImage::LoadBuffer(IKwBuffer* pBuffer) {
  if (!pBuffer) return E_POINTER;
  const BYTE* pData = nullptr;
  DWORD size = 0;
  if (FAILED(pBuffer->GetData(&pData)) || FAILED(pBuffer->GetSize(&size)) || !pData) {
    Hold(nullptr);
    return E_FAIL;
  }
  std::string bytes(reinterpret_cast<const char*>(pData), size);
  Hold(CTexture::FromPicture(CPictureSource::FromBytes(std::move(bytes))));
  return m_texture ? S_OK : E_FAIL;
}

HRESULT CPictorImage::GetSize(INT* pWidth, INT* pHeight) {
  if (!pWidth || !pHeight) return E_POINTER;
  *pWidth = m_texture ? m_texture->Width() : 0;
  *pHeight = m_texture ? m_texture->Height() : 0;
  return m_texture ? S_OK : E_FAIL;
}

HRESULT CPictorImage::GetTexture(HTEXTURE* pTexture) {
  if (!pTexture) return E_POINTER;
  *pTexture = m_texture;
  return m_texture ? S_OK : E_FAIL;
}

HRESULT CPictorImage::SetTexture(HTEXTURE texture) {
  if (texture) texture->AddRef();
  Hold(texture);
  return S_OK;
}

HRESULT CPictorImage::Draw(HCANVAS canvas, const RECT* pRect) {
  if (!canvas || !pRect) return E_POINTER;
  if (!m_texture) return E_FAIL;
  cairo_t* cr = cairo_create(canvas->Surface());
  bool drawn = m_texture->DrawInto(cr, *pRect);
  cairo_destroy(cr);
  return drawn ? S_OK : E_FAIL;
}

HRESULT CPictorImage::GetPixels(const BYTE** ppData, INT* pWidth, INT* pHeight, INT* pStride) {
  if (!ppData || !pWidth || !pHeight || !pStride) return E_POINTER;
  *ppData = nullptr;
  *pWidth = *pHeight = *pStride = 0;
  cairo_surface_t* pSurface = m_texture ? m_texture->Pixels() : nullptr;
  if (!pSurface) return E_FAIL;
  cairo_surface_flush(pSurface);
  *ppData = cairo_image_surface_get_data(pSurface);
  *pWidth = cairo_image_surface_get_width(pSurface);
  *pHeight = cairo_image_surface_get_height(pSurface);
  *pStride = cairo_image_surface_get_stride(pSurface);
  return S_OK;
}

void CPictorImage::Hold(HTEXTURE texture) {
  if (m_texture) m_texture->Release();
  m_texture = texture;
}

}  // namespace Pictor
