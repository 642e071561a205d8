#include "win32/oleauto.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace win32 {
namespace {

constexpr size_t kPrefixBytes = sizeof(uint32_t);
// The prefix counts bytes in 32 bits; keep room for it, the NUL and rounding.
constexpr size_t kMaxBstrBytes = UINT32_MAX - 16;

BSTR AllocBytes(const void* source, size_t bytes) {
  if (bytes > kMaxBstrBytes) return nullptr;
  auto* pBlock = static_cast<uint8_t*>(std::malloc(kPrefixBytes + bytes + sizeof(OLECHAR)));
  if (!pBlock) return nullptr;
  uint32_t prefix = static_cast<uint32_t>(bytes);
  std::memcpy(pBlock, &prefix, kPrefixBytes);
  uint8_t* pText = pBlock + kPrefixBytes;
  if (source) {
    std::memcpy(pText, source, bytes);
  } else {
    std::memset(pText, 0, bytes);
  }
  pText[bytes] = 0;
  pText[bytes + 1] = 0;
  return reinterpret_cast<BSTR>(pText);
}

uint8_t* BlockOf(BSTR text) { return reinterpret_cast<uint8_t*>(text) - kPrefixBytes; }

bool IsIntegerType(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY:
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_INT:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
    case VT_UINT:
    case VT_BOOL:
      return true;
    default:
      return false;
  }
}

__int128 IntegerOf(const VARIANT& v) {
  switch (v.vt) {
    case VT_I1:
      return v.cVal;
    case VT_I2:
      return v.iVal;
    case VT_I4:
      return v.lVal;
    case VT_I8:
      return v.llVal;
    case VT_INT:
      return v.intVal;
    case VT_UI1:
      return v.bVal;
    case VT_UI2:
      return v.uiVal;
    case VT_UI4:
      return v.ulVal;
    case VT_UI8:
      return v.ullVal;
    case VT_UINT:
      return v.uintVal;
    case VT_BOOL:
      return v.boolVal ? -1 : 0;
    default:
      return 0;  // VT_EMPTY
  }
}

template <class T>
bool Fits(__int128 value) {
  return value >= static_cast<__int128>(std::numeric_limits<T>::min()) &&
         value <= static_cast<__int128>(std::numeric_limits<T>::max());
}

// Stores `value` as `vt` into a fresh variant; false when it does not fit.
bool MakeInteger(__int128 value, VARTYPE vt, VARIANT* pOut) {
  VARIANT v{};
  v.vt = vt;
  switch (vt) {
    case VT_I1:
      if (!Fits<int8_t>(value)) return false;
      v.cVal = static_cast<CHAR>(value);
      break;
    case VT_I2:
      if (!Fits<int16_t>(value)) return false;
      v.iVal = static_cast<SHORT>(value);
      break;
    case VT_I4:
      if (!Fits<int32_t>(value)) return false;
      v.lVal = static_cast<LONG>(value);
      break;
    case VT_INT:
      if (!Fits<int32_t>(value)) return false;
      v.intVal = static_cast<INT>(value);
      break;
    case VT_I8:
      if (!Fits<int64_t>(value)) return false;
      v.llVal = static_cast<LONGLONG>(value);
      break;
    case VT_UI1:
      if (!Fits<uint8_t>(value)) return false;
      v.bVal = static_cast<BYTE>(value);
      break;
    case VT_UI2:
      if (!Fits<uint16_t>(value)) return false;
      v.uiVal = static_cast<USHORT>(value);
      break;
    case VT_UI4:
      if (!Fits<uint32_t>(value)) return false;
      v.ulVal = static_cast<ULONG>(value);
      break;
    case VT_UINT:
      if (!Fits<uint32_t>(value)) return false;
      v.uintVal = static_cast<UINT>(value);
      break;
    case VT_UI8:
      if (!Fits<uint64_t>(value)) return false;
      v.ullVal = static_cast<ULONGLONG>(value);
      break;
    case VT_BOOL:
      v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    default:
      return false;
  }
  *pOut = v;
  return true;
}

}  // namespace

BSTR SysAllocString(const OLECHAR* text) {
  if (!text) return nullptr;
  size_t length = 0;
  while (text[length]) ++length;
  return AllocBytes(text, length * sizeof(OLECHAR));
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
  return AllocBytes(text, size_t{length} * sizeof(OLECHAR));
}

BSTR SysAllocStringByteLen(LPCSTR bytes, UINT length) { return AllocBytes(bytes, length); }

void SysFreeString(BSTR text) {
  if (text) std::free(BlockOf(text));
}

UINT SysStringLen(BSTR text) { return SysStringByteLen(text) / sizeof(OLECHAR); }

UINT SysStringByteLen(BSTR text) {
  if (!text) return 0;
  uint32_t prefix;
  std::memcpy(&prefix, BlockOf(text), kPrefixBytes);
  return prefix;
}

void VariantInit(VARIANTARG* variant) {
  if (variant) variant->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANTARG* variant) {
  if (!variant) return E_INVALIDARG;
  if (variant->vt & VT_ARRAY) return DISP_E_BADVARTYPE;
  if (!(variant->vt & VT_BYREF)) {
    switch (variant->vt) {
      case VT_BSTR:
        SysFreeString(variant->bstrVal);
        break;
      case VT_DISPATCH:
      case VT_UNKNOWN:
        if (variant->punkVal) variant->punkVal->Release();
        break;
      default:
        break;
    }
  }
  variant->vt = VT_EMPTY;
  return S_OK;
}

HRESULT VariantCopy(VARIANTARG* dest, const VARIANTARG* source) {
  if (!dest || !source) return E_INVALIDARG;
  if (dest == source) return S_OK;
  if (source->vt & VT_ARRAY) return DISP_E_BADVARTYPE;
  VARIANT copy = *source;
  if (source->vt == VT_BSTR && source->bstrVal) {
    copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(source->bstrVal),
                                         SysStringByteLen(source->bstrVal));
    if (!copy.bstrVal) return E_OUTOFMEMORY;
  } else if ((source->vt == VT_DISPATCH || source->vt == VT_UNKNOWN) && source->punkVal) {
    source->punkVal->AddRef();
  }
  HRESULT hr = VariantClear(dest);
  if (FAILED(hr)) {
    VariantClear(&copy);
    return hr;
  }
  *dest = copy;
  return S_OK;
}

HRESULT VariantChangeType(VARIANTARG* dest, const VARIANTARG* source, USHORT, VARTYPE vt) {
  if (!dest || !source) return E_INVALIDARG;
  if (source->vt == vt) return VariantCopy(dest, source);
  if (!IsIntegerType(source->vt) || !IsIntegerType(vt) || vt == VT_EMPTY) {
    return DISP_E_TYPEMISMATCH;
  }
  VARIANT converted;
  if (!MakeInteger(IntegerOf(*source), vt, &converted)) return DISP_E_OVERFLOW;
  // Integers own nothing, so clearing `dest` cannot disturb `source` even when they are one.
  HRESULT hr = VariantClear(dest);
  if (FAILED(hr)) return hr;
  *dest = converted;
  return S_OK;
}

}  // namespace win32
