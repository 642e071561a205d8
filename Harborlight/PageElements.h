#pragma once
// Small routines the photo page's files share for reading and setting its elements.
// Threading: UI thread only.

#include <string>

#include "Lq/LqInterfaces.h"
#include "win32/oleauto.h"

namespace page_elements {

// The element with `pId` below `pRoot`, with one reference; null when there is none.
inline ILqElement* FindIn(ILqElement* pRoot, const win32::WCHAR* pId) {
  ILqElement* pFound = nullptr;
  if (pRoot && pRoot->FindChild(pId, &pFound) != win32::S_OK) pFound = nullptr;
  return pFound;
}

// The string, freed.
inline std::u16string Take(win32::BSTR text) {
  std::u16string value = text ? text : u"";
  win32::SysFreeString(text);
  return value;
}

inline std::u16string TextOf(ILqElement* pElement) {
  win32::BSTR text = nullptr;
  if (pElement) pElement->GetText(&text);
  return Take(text);
}

inline std::u16string NameOf(ILqElement* pElement) {
  win32::BSTR name = nullptr;
  if (pElement) pElement->GetName(&name);
  return Take(name);
}

inline win32::RECT RectOf(ILqElement* pElement) {
  win32::RECT rect{};
  if (pElement) pElement->GetRect(&rect);
  return rect;
}

inline void SetHidden(ILqElement* pElement, bool hidden) {
  if (pElement) pElement->SetHidden(hidden ? win32::TRUE : win32::FALSE);
}

// Drops the reference and clears the pointer.
inline void Release(ILqElement*& pElement) {
  if (pElement) pElement->Release();
  pElement = nullptr;
}

inline void EnableScroll(ILqElement* pScrollView, bool vertical, bool enable) {
  ILqScrollView* pScroll = nullptr;
  if (pScrollView && win32::SUCCEEDED(pScrollView->QueryInterface(
                         IID_ILqScrollView, reinterpret_cast<void**>(&pScroll)))) {
    pScroll->EnableScroll(vertical ? win32::TRUE : win32::FALSE,
                          enable ? win32::TRUE : win32::FALSE);
    pScroll->Release();
  }
}

}  // namespace page_elements
