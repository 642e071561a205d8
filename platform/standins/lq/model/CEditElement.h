#pragma once
// An edit box: its text is cut to the maximum length at a character boundary (a surrogate pair
// is never split), and every change of the text, by the user or the program, raises 448.
// Threading: UI thread only.

#include <string>

#include "CElement.h"

namespace lq {

class CEditElement final : public CElement, public ILqEdit {
 public:
  CEditElement();

  // What the user typed (test port, views): false when the edit takes no input now.
  bool UserSetText(const std::u16string& text);
  win32::UINT MaxLength() const { return m_maxLength; }
  void InitMaxLength(win32::UINT maxLength) { m_maxLength = maxLength; }
  // `text` cut to at most `maxLength` UTF-16 units without splitting a pair; 0: no limit.
  static std::u16string CutToLength(std::u16string text, win32::UINT maxLength);

  // IUnknown (also for ILqEdit):
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID riid, void** ppObject) override {
    return CElement::QueryInterface(riid, ppObject);
  }
  win32::ULONG STDMETHODCALLTYPE AddRef() override { return CElement::AddRef(); }
  win32::ULONG STDMETHODCALLTYPE Release() override { return CElement::Release(); }
  // ILqEdit:
  win32::HRESULT STDMETHODCALLTYPE SetMaxLength(win32::UINT maxLength) override;
  win32::HRESULT STDMETHODCALLTYPE GetMaxLength(win32::UINT* pMaxLength) override;

 protected:
  ~CEditElement() override = default;

  // CElement:
  void* QueryKindInterface(win32::REFIID riid) override;
  std::u16string AcceptText(const win32::WCHAR* pText) override;
  void OnTextChanged() override;

 private:
  win32::UINT m_maxLength = 0;
};

}  // namespace lq
