#pragma once
// A check box: a click toggles it; every change of state raises 352.
// Threading: UI thread only.

#include "CElement.h"

namespace lq {

class CCheckElement final : public CElement, public ILqCheck {
 public:
  CCheckElement();

  bool Checked() const { return m_checked; }
  void InitChecked(bool checked) { m_checked = checked; }

  // CElement:
  bool UserClick() override;

  // IUnknown (also for ILqCheck):
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID riid, void** ppObject) override {
    return CElement::QueryInterface(riid, ppObject);
  }
  win32::ULONG STDMETHODCALLTYPE AddRef() override { return CElement::AddRef(); }
  win32::ULONG STDMETHODCALLTYPE Release() override { return CElement::Release(); }
  // ILqCheck:
  win32::HRESULT STDMETHODCALLTYPE GetChecked(win32::BOOL* pChecked) override;
  win32::HRESULT STDMETHODCALLTYPE SetChecked(win32::BOOL checked) override;

 protected:
  ~CCheckElement() override = default;

  // CElement:
  void* QueryKindInterface(win32::REFIID riid) override;

 private:
  void ChangeState(bool checked);

  bool m_checked = false;
};

}  // namespace lq
