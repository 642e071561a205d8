#pragma once
// A tab strip: its tab items stand side by side, each as wide as its style says plus its spacing,
// and scroll horizontally. At most one item is selected (state 5); a selection raises 865 with
// first argument 1 when the user made it, 0 when the program did.
// Threading: UI thread only.

#include "CScrollElement.h"

namespace lq {

class CTabStripElement final : public CScrollElement, public ILqTabStrip {
 public:
  CTabStripElement();

  // Marks `pItem` (a child tab item) selected and the others not, then raises 865.
  void SelectItem(CElement* pItem, bool byUser);
  int SelectedIndex() const;

  // CElement:
  void ArrangeChildren() override;
  // CScrollElement: the items with the room beside the last one.
  win32::POINT ContentExtent() override;

  // IUnknown (also for ILqTabStrip):
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID riid, void** ppObject) override {
    return CElement::QueryInterface(riid, ppObject);
  }
  win32::ULONG STDMETHODCALLTYPE AddRef() override { return CElement::AddRef(); }
  win32::ULONG STDMETHODCALLTYPE Release() override { return CElement::Release(); }
  // ILqTabStrip:
  win32::HRESULT STDMETHODCALLTYPE GetSelectedIndex(win32::INT* pIndex) override;
  win32::HRESULT STDMETHODCALLTYPE SelectIndex(win32::INT index) override;
  win32::HRESULT STDMETHODCALLTYPE ScrollItems(win32::INT items) override;

 protected:
  ~CTabStripElement() override = default;

  // CElement:
  void* QueryKindInterface(win32::REFIID riid) override;
};

}  // namespace lq
