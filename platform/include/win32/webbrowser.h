#pragma once
// A web browser control in a popup window of its own, for the install popup. The window is a
// top-level of the calling process: its handle answers the window calls, and its messages
// (WM_ACTIVATE, WM_TIMER, WM_CLOSE, WM_DESTROY, ...) go through its procedure chain, so its owner
// subclasses it with SetWindowLongPtrW(GWLP_WNDPROC). The page's events reach an IDispatch sink
// under the DWebBrowserEvents2 numbers below.
//
// The control is the GUI half's WebKit back end (libwin32-webkit.so, CreateWebBrowserWindow);
// tests hand the owner a fake of this interface instead.
// Threading: the GUI thread only.

#include "win32/base.h"
#include "win32/com.h"
#include "win32/oleauto.h"
#include "win32/window.h"

namespace win32 {

// DWebBrowserEvents2
// A navigation is about to begin (not raised here).
constexpr DISPID DISPID_BEFORENAVIGATE2 = 250;
// A navigation was committed: rgvarg[1] the browser (VT_DISPATCH, may be null), rgvarg[0] the
// address (VT_BYREF | VT_VARIANT pointing to a VT_BSTR), in the form the browser reports it.
constexpr DISPID DISPID_NAVIGATECOMPLETE2 = 252;
// The page asked to close its window (window.close()): rgvarg[1] VT_BOOL whether it is a child
// window (false), rgvarg[0] VT_BYREF | VT_BOOL "cancel".
constexpr DISPID DISPID_WINDOWCLOSING = 263;

// Extended window style: a tool window stays off the taskbar.
constexpr DWORD WS_EX_TOOLWINDOW = 0x00000080;

struct BrowserWindowParams {
  HWND owner = nullptr;  // a window (of any process) the popup stays above, or null
  RECT rect{};           // screen pixels
  DWORD style = 0;       // WS_VISIBLE shows it at once
  DWORD exStyle = 0;     // WS_EX_TOOLWINDOW
};

// {7B1D6A52-3C0E-4E9B-9F1C-2A6E5D4B8C31}
inline constexpr IID IID_IWebBrowserWindow = {
    0x7B1D6A52, 0x3C0E, 0x4E9B, {0x9F, 0x1C, 0x2A, 0x6E, 0x5D, 0x4B, 0x8C, 0x31}};

// The browser and its window. The window outlives nothing: destroying it (DestroyWindow, the
// window manager) leaves the object answering E_FAIL until its last Release.
struct IWebBrowserWindow : IUnknown {
  virtual HWND STDMETHODCALLTYPE GetWindow() = 0;
  // One sink at a time; the control holds a reference to it until Unadvise.
  virtual HRESULT STDMETHODCALLTYPE Advise(IDispatch* pSink, DWORD* pCookie) = 0;
  virtual HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) = 0;
  virtual HRESULT STDMETHODCALLTYPE Navigate(LPCWSTR address) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetIcons(HICON big, HICON small) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetTitle(LPCWSTR title) = 0;
  // Whether the pointer is over a link, where the page shows the hand cursor.
  virtual BOOL STDMETHODCALLTYPE IsPointerOnLink() = 0;
};

using CreateWebBrowserWindowProc = HRESULT (*)(const BrowserWindowParams& params,
                                               IWebBrowserWindow** ppBrowser);

}  // namespace win32
