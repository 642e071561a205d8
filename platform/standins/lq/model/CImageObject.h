#pragma once
// The picture object: a picture file's bytes (PNG or BMP), read from a path or taken from a
// buffer. The model only reads its size; painters decode it.
// Threading: UI thread only.

#include <atomic>
#include <string>

#include "Lq/LqInterfaces.h"

namespace lq {

class CImageObject final : public ILqImage {
 public:
  // One reference for the caller.
  static CImageObject* Create();
  // The picture object behind an interface, or null.
  static CImageObject* FromInterface(win32::IUnknown* pUnknown);
  // The width and height a PNG or BMP file's header gives; false for anything else.
  static bool ReadSize(const std::string& bytes, int* pWidth, int* pHeight);

  CImageObject(const CImageObject&) = delete;
  CImageObject& operator=(const CImageObject&) = delete;

  const std::string& Bytes() const { return m_bytes; }
  // Bumped whenever other bytes are loaded, so painters know their decoded copy is stale.
  unsigned Generation() const { return m_generation; }

  // IUnknown:
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID riid, void** ppObject) override;
  win32::ULONG STDMETHODCALLTYPE AddRef() override;
  win32::ULONG STDMETHODCALLTYPE Release() override;
  // ILqImage:
  win32::HRESULT STDMETHODCALLTYPE LoadFile(const win32::WCHAR* pPath) override;
  win32::HRESULT STDMETHODCALLTYPE LoadBuffer(IKwBuffer* pBuffer) override;
  win32::HRESULT STDMETHODCALLTYPE GetSize(win32::INT* pWidth, win32::INT* pHeight) override;

 private:
  CImageObject() = default;
  ~CImageObject() = default;

  std::atomic<win32::ULONG> m_refCount{1};
  std::string m_bytes;
  unsigned m_generation = 0;
};

}  // namespace lq
