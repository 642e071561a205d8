#pragma once
// Owns one BSTR (the layer's allocator); null stands for the empty string.

#include "Basalt/CKwStringW.h"
#include "win32/oleauto.h"

class CKwBSTR {
 public:
  CKwBSTR() = default;
  CKwBSTR(const win32::WCHAR* pText);  // NOLINT: converts like the original
  CKwBSTR(const CKwStringW& text);     // NOLINT
  CKwBSTR(const CKwBSTR& other);
  CKwBSTR& operator=(const CKwBSTR& other);
  CKwBSTR& operator=(const win32::WCHAR* pText);
  ~CKwBSTR();

  operator win32::WCHAR*() const { return m_str; }  // NOLINT
  // For out parameters: frees what is held and hands out the slot.
  win32::BSTR* operator&();

  bool operator==(const CKwBSTR& other) const;
  bool operator==(const win32::WCHAR* pText) const;

  bool IsEmpty() const { return Length() == 0; }
  // Characters, without the NUL.
  unsigned int Length() const;
  // Lower-cases each UTF-16 unit in place (simple case mapping).
  void ToLower();

 private:
  win32::BSTR m_str = nullptr;
};
