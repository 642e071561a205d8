#pragma once
// A UTF-16 string value: the platform library's string class.

#include <string>

#include "win32/base.h"

class CKwStringW {
 public:
  CKwStringW() = default;
  // A null pointer gives the empty string.
  CKwStringW(const win32::WCHAR* pText);  // NOLINT: converts like the original
  CKwStringW(std::u16string text) : m_text(std::move(text)) {}
  CKwStringW(const CKwStringW&) = default;
  CKwStringW& operator=(const CKwStringW&) = default;
  CKwStringW& operator=(const win32::WCHAR* pText);

  CKwStringW& operator+=(const CKwStringW& other);
  CKwStringW& operator+=(const win32::WCHAR* pText);
  CKwStringW& operator+=(win32::WCHAR c);

  // Replaces the text with the formatted one (the layer's wide formatter: %s is a wide string).
  void Format(const win32::WCHAR* pFormat, ...);

  operator const win32::WCHAR*() const { return m_text.c_str(); }  // NOLINT
  int GetLength() const { return static_cast<int>(m_text.size()); }
  bool IsEmpty() const { return m_text.empty(); }
  const std::u16string& Text() const { return m_text; }

 private:
  std::u16string m_text;
};

CKwStringW operator+(const CKwStringW& left, const CKwStringW& right);
CKwStringW operator+(const CKwStringW& left, const win32::WCHAR* pRight);
CKwStringW operator+(const win32::WCHAR* pLeft, const CKwStringW& right);
CKwStringW operator+(const CKwStringW& left, win32::WCHAR right);
