#include "Basalt/CKwBSTR.h"

#include <string_view>

// After the layer's headers (its TRUE and FALSE must be declared before GLib's macros).
#include <glib.h>

using namespace win32;

namespace {

std::u16string_view View(BSTR text) {
  return text ? std::u16string_view(text, SysStringLen(text)) : std::u16string_view();
}

BSTR Copy(std::u16string_view text) {
  return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

}  // namespace

CKwBSTR::CKwBSTR(const WCHAR* pText) : m_str(pText ? SysAllocString(pText) : nullptr) {}

CKwBSTR::CKwBSTR(const CKwStringW& text) : m_str(Copy(text.Text())) {}

CKwBSTR::CKwBSTR(const CKwBSTR& other) : m_str(other.m_str ? Copy(View(other.m_str)) : nullptr) {}

CKwBSTR& CKwBSTR::operator=(const CKwBSTR& other) {
  if (this == &other) return *this;
  BSTR copy = other.m_str ? Copy(View(other.m_str)) : nullptr;
  SysFreeString(m_str);
  m_str = copy;
  return *this;
}

CKwBSTR& CKwBSTR::operator=(const WCHAR* pText) {
  // Copy before freeing: the text may be this BSTR.
  BSTR copy = pText ? SysAllocString(pText) : nullptr;
  SysFreeString(m_str);
  m_str = copy;
  return *this;
}

CKwBSTR::~CKwBSTR() { SysFreeString(m_str); }

BSTR* CKwBSTR::operator&() {
  SysFreeString(m_str);
  m_str = nullptr;
  return &m_str;
}

bool CKwBSTR::operator==(const CKwBSTR& other) const { return View(m_str) == View(other.m_str); }

bool CKwBSTR::operator==(const WCHAR* pText) const {
  return View(m_str) == (pText ? std::u16string_view(pText) : std::u16string_view());
}

unsigned int CKwBSTR::Length() const { return m_str ? SysStringLen(m_str) : 0; }

void CKwBSTR::ToLower() {
  UINT length = Length();
  for (UINT i = 0; i < length; ++i) {
    WCHAR c = m_str[i];
    // Surrogate halves are no characters of their own and stay as they are.
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    m_str[i] = static_cast<WCHAR>(g_unichar_tolower(c));
  }
}
