#pragma once
// What an element shows as its picture or background: a path (a "platformres:" path or a file),
// or an object the program made (a picture object or a buffer of file bytes), or nothing.

#include <string>

#include "win32/com.h"

namespace lq {

class PictureRef {
 public:
  PictureRef() = default;
  PictureRef(const PictureRef&) = delete;
  PictureRef& operator=(const PictureRef&) = delete;
  ~PictureRef() { Clear(); }

  void SetPath(std::u16string path) {
    Clear();
    m_path = std::move(path);
  }
  // Adds a reference.
  void SetObject(win32::IUnknown* pObject) {
    if (pObject) pObject->AddRef();
    Clear();
    m_pObject = pObject;
  }
  void Clear() {
    m_path.clear();
    if (m_pObject) m_pObject->Release();
    m_pObject = nullptr;
  }
  bool IsEmpty() const { return m_path.empty() && !m_pObject; }
  const std::u16string& Path() const { return m_path; }
  win32::IUnknown* Object() const { return m_pObject; }

 private:
  std::u16string m_path;
  win32::IUnknown* m_pObject = nullptr;  // one reference
};

}  // namespace lq
