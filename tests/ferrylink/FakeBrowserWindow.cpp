#include "FakeBrowserWindow.h"

#include "win32/toplevel.h"

using namespace win32;

namespace ferrylink_test {

namespace {

constexpr char16_t kClassName[] = u"FakeBrowserWindow";

void RegisterClassOnce() {
  static const bool registered = [] {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.lpszClassName = kClassName;
    return RegisterClassExW(&windowClass) != 0;
  }();
  (void)registered;
}

}  // namespace

HRESULT CFakeBrowserWindow::Create(const BrowserWindowParams& params,
                                   IWebBrowserWindow** ppBrowser) {
  *ppBrowser = nullptr;
  if (s_failCreate) return E_FAIL;
  RegisterClassOnce();
  auto* pBrowser = new CFakeBrowserWindow();
  pBrowser->m_params = params;
  pBrowser->m_hwnd = CreateWindowExW(params.exStyle, kClassName, u"", params.style, 0, 0, 0, 0,
                                     nullptr, nullptr, nullptr, nullptr);
  const RECT& rect = params.rect;
  SetWindowPos(pBrowser->m_hwnd, nullptr, rect.left, rect.top, rect.right - rect.left,
               rect.bottom - rect.top, SWP_NOZORDER);
  if (params.style & WS_VISIBLE) ShowWindow(pBrowser->m_hwnd, SW_SHOW);
  pBrowser->AddRef();  // the test's
  s_pLast = pBrowser;
  *ppBrowser = pBrowser;
  return S_OK;
}

void CFakeBrowserWindow::ReleaseLast() {
  if (s_pLast) s_pLast->Release();
  s_pLast = nullptr;
}

ULONG CFakeBrowserWindow::Release() {
  const ULONG count = --m_refCount;
  if (count == 0) {
    if (m_hwnd && IsWindow(m_hwnd)) DestroyWindow(m_hwnd);
    if (m_pSink) m_pSink->Release();
    delete this;
  }
  return count;
}

HRESULT CFakeBrowserWindow::Advise(IDispatch* pSink, DWORD* pCookie) {
  if (s_failAdvise) return E_FAIL;
  m_pSink = pSink;
  m_pSink->AddRef();
  m_advised = true;
  *pCookie = 7;
  return S_OK;
}

HRESULT CFakeBrowserWindow::Unadvise(DWORD cookie) {
  if (cookie != 7 || !m_pSink) return E_INVALIDARG;
  m_pSink->Release();
  m_pSink = nullptr;
  m_advised = false;
  return S_OK;
}

void CFakeBrowserWindow::RaiseNavigateComplete(const std::u16string& address) {
  if (!m_pSink) return;
  VARIANT url;
  VariantInit(&url);
  url.vt = VT_BSTR;
  url.bstrVal = SysAllocString(address.c_str());
  VARIANT arguments[2];
  VariantInit(&arguments[0]);
  VariantInit(&arguments[1]);
  arguments[0].vt = VT_BYREF | VT_VARIANT;
  arguments[0].pvarVal = &url;
  arguments[1].vt = VT_DISPATCH;
  DISPPARAMS params{arguments, nullptr, 2, 0};
  m_pSink->Invoke(DISPID_NAVIGATECOMPLETE2, IID{}, 0, DISPATCH_METHOD, &params, nullptr, nullptr,
                  nullptr);
  VariantClear(&url);
}

void CFakeBrowserWindow::RaiseWindowClosing() {
  if (!m_pSink) return;
  VARIANT arguments[2];
  VariantInit(&arguments[0]);
  VariantInit(&arguments[1]);
  arguments[0].vt = VT_BOOL;
  arguments[1].vt = VT_BOOL;
  DISPPARAMS params{arguments, nullptr, 2, 0};
  m_pSink->Invoke(DISPID_WINDOWCLOSING, IID{}, 0, DISPATCH_METHOD, &params, nullptr, nullptr,
                  nullptr);
}

}  // namespace ferrylink_test
