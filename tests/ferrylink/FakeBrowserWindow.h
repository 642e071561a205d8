#pragma once
// A browser for the popup's tests without a display: a hidden window of the layer (posts,
// timers and subclassing work on it) that records what the popup asks of the browser, and raises
// the browser's events when the test says so, in the form the real control gives them.

#include <string>
#include <vector>

#include "win32/oleauto.h"
#include "win32/webbrowser.h"
#include "win32/window.h"

namespace ferrylink_test {

class CFakeBrowserWindow final : public win32::IWebBrowserWindow {
 public:
  // The factory the popup is given; the made browser (one reference for the test) is kept in
  // s_pLast. s_failCreate / s_failAdvise make the next creation or advice fail.
  static win32::HRESULT Create(const win32::BrowserWindowParams& params,
                               win32::IWebBrowserWindow** ppBrowser);
  static inline CFakeBrowserWindow* s_pLast = nullptr;
  static inline bool s_failCreate = false;
  static inline bool s_failAdvise = false;
  // Drops the test's reference to s_pLast.
  static void ReleaseLast();

  void RaiseNavigateComplete(const std::u16string& address);
  void RaiseWindowClosing();

  // IUnknown:
  win32::HRESULT STDMETHODCALLTYPE QueryInterface(win32::REFIID, void**) override {
    return win32::E_NOINTERFACE;
  }
  win32::ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refCount; }
  win32::ULONG STDMETHODCALLTYPE Release() override;
  // IWebBrowserWindow:
  win32::HWND STDMETHODCALLTYPE GetWindow() override { return m_hwnd; }
  win32::HRESULT STDMETHODCALLTYPE Advise(win32::IDispatch* pSink, win32::DWORD* pCookie) override;
  win32::HRESULT STDMETHODCALLTYPE Unadvise(win32::DWORD cookie) override;
  win32::HRESULT STDMETHODCALLTYPE Navigate(win32::LPCWSTR address) override {
    m_navigations.push_back(address);
    return win32::S_OK;
  }
  win32::HRESULT STDMETHODCALLTYPE SetIcons(win32::HICON, win32::HICON) override {
    ++m_iconCalls;
    return win32::S_OK;
  }
  win32::HRESULT STDMETHODCALLTYPE SetTitle(win32::LPCWSTR title) override {
    m_title = title;
    return win32::S_OK;
  }
  win32::BOOL STDMETHODCALLTYPE IsPointerOnLink() override { return m_onLink; }

  win32::BrowserWindowParams m_params;
  std::vector<std::u16string> m_navigations;
  std::u16string m_title;
  int m_iconCalls = 0;
  bool m_onLink = false;
  bool m_advised = false;

 private:
  CFakeBrowserWindow() = default;
  ~CFakeBrowserWindow() = default;

  win32::ULONG m_refCount = 1;
  win32::HWND m_hwnd = nullptr;
  win32::IDispatch* m_pSink = nullptr;
};

}  // namespace ferrylink_test
