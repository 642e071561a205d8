#include "Basalt/CKwStringW.h"

#include <cstdarg>

#include "win32/strings.h"

using namespace win32;

CKwStringW::CKwStringW(const WCHAR* pText) : m_text(pText ? pText : u"") {}

CKwStringW& CKwStringW::operator=(const WCHAR* pText) {
  // The text may point into this string.
  m_text = std::u16string(pText ? pText : u"");
  return *this;
}

CKwStringW& CKwStringW::operator+=(const CKwStringW& other) {
  m_text += other.m_text;
  return *this;
}

CKwStringW& CKwStringW::operator+=(const WCHAR* pText) {
  if (pText) m_text += std::u16string(pText);
  return *this;
}

CKwStringW& CKwStringW::operator+=(WCHAR c) {
  m_text.push_back(c);
  return *this;
}

void CKwStringW::Format(const WCHAR* pFormat, ...) {
  va_list args;
  va_start(args, pFormat);
  // The arguments may point into this string: format first, then replace.
  std::u16string text = VFormatW(pFormat, args);
  va_end(args);
  m_text.swap(text);
}

CKwStringW operator+(const CKwStringW& left, const CKwStringW& right) {
  return CKwStringW(left.Text() + right.Text());
}

CKwStringW operator+(const CKwStringW& left, const WCHAR* pRight) {
  CKwStringW result(left);
  result += pRight;
  return result;
}

CKwStringW operator+(const WCHAR* pLeft, const CKwStringW& right) {
  CKwStringW result(pLeft);
  result += right;
  return result;
}

CKwStringW operator+(const CKwStringW& left, WCHAR right) {
  CKwStringW result(left);
  result += right;
  return result;
}
