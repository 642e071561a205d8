#pragma once
// A popup menu: an element of kind "menu" outside any window whose children are its items (kind
// "menuitem"), stacked in the order added. Clicking an enabled item closes the menu and raises
// 4099 on the menu with the item's "name"; a disabled item does nothing. Whenever an open menu
// goes down, chosen from or not, it raises 4101 first.
// Threading: UI thread only.

#include "CElement.h"

namespace lq {

class CMenuElement final : public CElement, public ILqMenu {
 public:
  CMenuElement();

  // The user chose `pItem` (a child of this menu).
  void ItemClicked(CElement* pItem);
  // The view took the menu down without a choice.
  void Dismissed();
  bool IsOpen() const { return !HiddenFlag(); }
  // Where the menu stands on screen while open.
  win32::POINT ScreenPosition() const { return m_position; }
  void SetScreenPosition(win32::POINT position) { m_position = position; }
  // An item by its name, or null.
  CElement* FindItem(std::u16string_view name);
  // The menu on screen now, or null (not held).
  static CMenuElement* Opened();

  // IUnknown (also for ILqMenu):
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID riid, void** ppObject) override {
    return CElement::QueryInterface(riid, ppObject);
  }
  win32::ULONG STDMETHODCALLTYPE AddRef() override { return CElement::AddRef(); }
  win32::ULONG STDMETHODCALLTYPE Release() override { return CElement::Release(); }
  // ILqMenu:
  win32::HRESULT STDMETHODCALLTYPE SetMenuStyle(const win32::WCHAR* pStyle) override;
  win32::HRESULT STDMETHODCALLTYPE AddItem(win32::UINT height, win32::UINT width,
                                           const win32::WCHAR* pStyle, win32::DWORD textColor,
                                           const win32::WCHAR* pText, const win32::WCHAR* pIcon,
                                           const win32::WCHAR* pName) override;
  win32::HRESULT STDMETHODCALLTYPE EnableItem(const win32::WCHAR* pName,
                                              win32::BOOL enable) override;
  win32::HRESULT STDMETHODCALLTYPE Popup(ILqElement* pAnchor, win32::INT x,
                                         win32::INT y) override;

  // The text colour an item was added with (0xAARRGGBB).
  static win32::DWORD ItemTextColor(const CElement* pItem);

 protected:
  ~CMenuElement() override = default;

  // CElement:
  void* QueryKindInterface(win32::REFIID riid) override;
  void OnDestroyed() override;

 private:
  win32::POINT m_position{0, 0};
};

}  // namespace lq
