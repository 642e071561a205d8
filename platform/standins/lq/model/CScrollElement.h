#pragma once
// A scroll view: its children are laid out on a content area that scrolls under the view's
// rectangle. Positions are clamped to the content (the children's bounding box), whether or not
// the user's scrolling is switched on, also after the content shrank or the view grew: every
// reading of the position clamps it, so no view is ever handed a place past the end.
// Threading: UI thread only.

#include "CElement.h"

namespace lq {

class CScrollElement : public CElement, public ILqScrollView {
 public:
  CScrollElement();

  win32::POINT ScrollPosition();
  bool ScrollEnabled(bool vertical) const { return vertical ? m_vertical : m_horizontal; }
  void InitScroll(bool vertical, bool horizontal);
  // Where the content ends (right, bottom) from its origin: the children's bounding box.
  virtual win32::POINT ContentExtent();

  // IUnknown (also for ILqScrollView):
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID riid, void** ppObject) override {
    return CElement::QueryInterface(riid, ppObject);
  }
  win32::ULONG STDMETHODCALLTYPE AddRef() override { return CElement::AddRef(); }
  win32::ULONG STDMETHODCALLTYPE Release() override { return CElement::Release(); }
  // ILqScrollView:
  win32::HRESULT STDMETHODCALLTYPE EnableScroll(win32::BOOL vertical, win32::BOOL enable) override;
  win32::HRESULT STDMETHODCALLTYPE GetScrollPos(win32::POINT* pPosition) override;
  win32::HRESULT STDMETHODCALLTYPE SetScrollPos(const win32::POINT* pPosition) override;
  win32::HRESULT STDMETHODCALLTYPE ScrollBy(win32::INT dx, win32::INT dy) override;

 protected:
  explicit CScrollElement(ElementKind kind);
  ~CScrollElement() override = default;

  // CElement:
  void* QueryKindInterface(win32::REFIID riid) override;

  void MoveTo(long x, long y);

 private:
  // `position` brought within the content as it is now.
  win32::POINT ClampedToContent(win32::POINT position);

  win32::POINT m_position{0, 0};
  bool m_vertical = false;
  bool m_horizontal = false;
};

}  // namespace lq
