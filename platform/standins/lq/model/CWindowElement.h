#pragma once
// A top-level element: the root of a window's tree with a native window from the view. Its handle
// is a window of the layer whose default procedure is WindowProcedure: WM_CLOSE raises event 256
// and, unless a handler set "bCancelClose", destroys the window (4098 down the tree). Since that
// procedure is the last of the chain, a subclass installed with SetWindowLongPtrW sees every
// message first. The window's text is its title (the layout may give one); the frame name stands
// in until a text is set. A modal run opens the window centred over its owner.
//
// Lifetime: the window table holds one reference from AttachHandle until the native window is
// gone, so a shown window lives without its creator's reference. A modal run holds the window
// too, and ends when it is destroyed.
// Threading: UI thread only.

#include <string>
#include <vector>

#include "CElement.h"
#include "IView.h"

namespace lq {

class CWindowElement final : public CElement {
 public:
  CWindowElement();

  // The window behind a handle, or null.
  static CWindowElement* FromHandle(win32::HWND hwnd);
  // Every top-level with a native window, oldest first.
  static std::vector<CWindowElement*> AllWindows();
  // The modal runs in progress, innermost last.
  static const std::vector<ModalFrame*>& ModalStack();
  // The default window procedure of every top-level.
  static win32::LRESULT WindowProcedure(win32::HWND hwnd, win32::UINT message,
                                        win32::WPARAM wParam, win32::LPARAM lParam);

  win32::HWND Handle() const { return m_hwnd; }
  // The name the native window carries (the frame name, or the one CreateNativeWindow gave).
  const std::u16string& NativeName() const { return m_nativeName; }
  void SetFrameName(const std::u16string& frameName);
  const std::u16string& FrameName() const { return m_frameName; }
  std::u16string Title() const;
  win32::DWORD ExStyle() const { return m_exStyle; }
  // An owner of a modal run takes no input until the run ends.
  bool IsInputBlocked() const { return m_blockCount > 0; }
  // Makes the native window (at build time, or on first need); false when the view cannot.
  bool EnsureNativeWindow(win32::DWORD exStyle, const std::u16string& name);
  // The view attaches the handle it made; the table takes its reference.
  void AttachHandle(win32::HWND hwnd);
  // The layer showed, hid, enabled or disabled the native window (ShowWindow, EnableWindow from
  // anywhere): the model follows without telling the view again.
  void FollowNativeState(bool shown, bool enabled);
  // The window manager or the user moved the native window (screen pixels).
  void FollowNativeRect(const win32::RECT& rect);
  // As WM_CLOSE reaching the default procedure.
  void RequestClose();

  // ILqElement:
  win32::HRESULT STDMETHODCALLTYPE RunModal(win32::HWND owner, win32::UINT flags,
                                            win32::INT* pResult) override;
  win32::HRESULT STDMETHODCALLTYPE EndModal(win32::INT result) override;
  win32::HRESULT STDMETHODCALLTYPE CreateNativeWindow(win32::DWORD exStyle,
                                                      const win32::WCHAR* pWindowName) override;
  win32::HRESULT STDMETHODCALLTYPE Close() override;

 protected:
  ~CWindowElement() override;

  // CElement:
  void* QueryKindInterface(win32::REFIID riid) override;
  void OnDestroyed() override;
  void OnTextChanged() override;
  void ApplyShow(win32::INT showCode) override;
  bool ReadHidden() override;
  void OnEnabledChanged() override;
  void OnRectChanged() override;
  void OnOpacityChanged() override;

 private:
  // The native window went (WM_NCDESTROY): leave the table, and destroy the tree if it still
  // stands.
  void NativeWindowGone();
  void DetachHandle();
  // Before a modal run shows the window: centred on its owner, or on the work area when there
  // is no owner or it is hidden.
  void PlaceOver(CWindowElement* pOwner);

  win32::HWND m_hwnd = nullptr;
  win32::DWORD m_exStyle = 0;
  std::u16string m_frameName;
  std::u16string m_nativeName;
  bool m_titleSet = false;
  int m_blockCount = 0;
};

}  // namespace lq
