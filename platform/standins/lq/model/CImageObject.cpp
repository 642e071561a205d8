#include "CImageObject.h"

#include <cstring>
#include <new>

#include "LqThread.h"
#include "ResourcePath.h"

using namespace win32;

namespace lq {

namespace {

// {9B04B60C-4677-4CB8-A20A-1AF149957533}: answers the object itself, without a reference.
constexpr IID IID_LqModelImage = {
    0x9B04B60C, 0x4677, 0x4CB8, {0xA2, 0x0A, 0x1A, 0xF1, 0x49, 0x95, 0x75, 0x33}};

uint32_t BigEndian32(const std::string& bytes, size_t at) {
  auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + i])); };
  return (b(0) << 24) | (b(1) << 16) | (b(2) << 8) | b(3);
}

int32_t LittleEndian32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(bytes[at + i]);
  return static_cast<int32_t>(value);
}

}  // namespace

CImageObject* CImageObject::Create() { return new (std::nothrow) CImageObject(); }

CImageObject* CImageObject::FromInterface(IUnknown* pUnknown) {
  if (!pUnknown) return nullptr;
  void* pSelf = nullptr;
  if (FAILED(pUnknown->QueryInterface(IID_LqModelImage, &pSelf))) return nullptr;
  return static_cast<CImageObject*>(pSelf);
}

bool CImageObject::ReadSize(const std::string& bytes, int* pWidth, int* pHeight) {
  static const char kPng[] = "\x89PNG\r\n\x1a\n";
  if (bytes.size() >= 24 && memcmp(bytes.data(), kPng, 8) == 0 &&
      bytes.compare(12, 4, "IHDR") == 0) {
    uint32_t width = BigEndian32(bytes, 16);
    uint32_t height = BigEndian32(bytes, 20);
    if (width == 0 || height == 0 || width > 0x7FFFFFFF || height > 0x7FFFFFFF) return false;
    *pWidth = static_cast<int>(width);
    *pHeight = static_cast<int>(height);
    return true;
  }
  if (bytes.size() >= 26 && bytes[0] == 'B' && bytes[1] == 'M') {
    int32_t width = LittleEndian32(bytes, 18);
    int32_t height = LittleEndian32(bytes, 22);
    if (width <= 0 || height == 0 || height == INT32_MIN) return false;
    *pWidth = width;
    *pHeight = height < 0 ? -height : height;
    return true;
  }
  return false;
}

HRESULT CImageObject::QueryInterface(REFIID riid, void** ppObject) {
  if (!ppObject) return E_POINTER;
  *ppObject = nullptr;
  if (riid == IID_LqModelImage) {
    *ppObject = this;
    return S_OK;
  }
  if (riid != IID_IUnknown && riid != IID_ILqImage) return E_NOINTERFACE;
  *ppObject = static_cast<ILqImage*>(this);
  AddRef();
  return S_OK;
}

ULONG CImageObject::AddRef() { return ++m_refCount; }

ULONG CImageObject::Release() {
  ULONG count = --m_refCount;
  if (count == 0) delete this;
  return count;
}

HRESULT CImageObject::LoadFile(const WCHAR* pPath) {
  LQ_UI_THREAD_ONLY();
  if (!pPath) return E_POINTER;
  std::string bytes;
  int width = 0;
  int height = 0;
  if (!ReadWholeFile(ResolvePicturePath(pPath), &bytes) || !ReadSize(bytes, &width, &height)) {
    return E_FAIL;
  }
  m_bytes = std::move(bytes);
  ++m_generation;
  return S_OK;
}

HRESULT CImageObject::LoadBuffer(IKwBuffer* pBuffer) {
  LQ_UI_THREAD_ONLY();
  if (!pBuffer) return E_POINTER;
  const BYTE* pData = nullptr;
  DWORD size = 0;
  if (FAILED(pBuffer->GetData(&pData)) || FAILED(pBuffer->GetSize(&size))) return E_FAIL;
  std::string bytes(reinterpret_cast<const char*>(pData), size);
  int width = 0;
  int height = 0;
  if (!ReadSize(bytes, &width, &height)) return E_FAIL;
  m_bytes = std::move(bytes);
  ++m_generation;
  return S_OK;
}

HRESULT CImageObject::GetSize(INT* pWidth, INT* pHeight) {
  LQ_UI_THREAD_ONLY();
  if (!pWidth || !pHeight) return E_POINTER;
  int width = 0;
  int height = 0;
  if (!ReadSize(m_bytes, &width, &height)) {
    *pWidth = *pHeight = 0;
    return E_FAIL;
  }
  *pWidth = width;
  *pHeight = height;
  return S_OK;
}

}  // namespace lq
