#include "CBrowserWnd.h"

#include <utility>

#include "WebAddresses.h"
#include "win32/toplevel.h"

using namespace win32;

namespace {

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

}  // namespace

CBrowserWnd::CBrowserWnd(CreateWebBrowserWindowProc factory, std::u16string downloadPage)
    : m_event(this), m_factory(factory), m_downloadPage(std::move(downloadPage)) {}

CBrowserWnd::~CBrowserWnd() {
  if (m_hWnd) DestroyWindow(m_hWnd);
  if (m_pBrowser) m_pBrowser->Release();
}

HWND CBrowserWnd::ParseParent(const std::vector<std::u16string>& arguments) {
  static constexpr std::u16string_view kKey = u"Parent=";
  for (size_t i = 1; i < arguments.size(); ++i) {
    const size_t at = arguments[i].find(kKey);
    if (at == std::u16string::npos) continue;
    uint64_t value = 0;
    size_t digits = 0;
    for (size_t pos = at + kKey.size(); pos < arguments[i].size(); ++pos, ++digits) {
      const int digit = HexDigit(arguments[i][pos]);
      if (digit < 0) break;
      value = value * 16 + static_cast<uint64_t>(digit);
      if (value > 0xFFFFFFFFu) return nullptr;
    }
    return digits == 0 ? nullptr : reinterpret_cast<HWND>(static_cast<uintptr_t>(value));
  }
  return nullptr;
}

RECT CBrowserWnd::CenteredRect(HWND parent, int width, int height) {
  RECT area{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  if (parent) GetWindowRect(parent, &area);
  const LONG left = area.left + (area.right - area.left - width) / 2;
  const LONG top = area.top + (area.bottom - area.top - height) / 2;
  return RECT{left, top, left + width, top + height};
}

bool CBrowserWnd::CreateBrowser(HWND parent, const RECT& rect, DWORD exStyle,
                                const std::u16string& startPage, HICON bigIcon, HICON smallIcon) {
  BrowserWindowParams params;
  params.owner = parent;
  params.rect = rect;
  params.style = WS_POPUP | WS_VISIBLE;
  params.exStyle = exStyle;
  IWebBrowserWindow* pBrowser = nullptr;
  if (!m_factory || FAILED(m_factory(params, &pBrowser)) || !pBrowser) return false;
  DWORD cookie = 0;
  HWND hwnd = pBrowser->GetWindow();
  if (!hwnd || FAILED(pBrowser->Advise(&m_event, &cookie))) {
    if (hwnd) DestroyWindow(hwnd);
    pBrowser->Release();
    return false;
  }
  m_pBrowser = pBrowser;
  m_cookie = cookie;
  m_hWnd = hwnd;
  m_hWndParent = parent;
  SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  m_previousProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
      m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CBrowserWnd::WindowProc)));

  m_pBrowser->SetIcons(bigIcon, smallIcon);
  m_pBrowser->SetTitle(u"Lumidock - 安装到手机");
  m_pBrowser->Navigate(startPage.c_str());
  if (m_hWndParent) {
    PostMessageW(m_hWndParent, WM_INSTALLPOPUP_CREATED, reinterpret_cast<WPARAM>(m_hWnd), 0);
    SetTimer(m_hWnd, kParentWatchTimer, kParentWatchMs, nullptr);
  }
  return true;
}

BOOL CBrowserWnd::PreTranslateMessage(MSG* pMsg) {
  if (!pMsg || pMsg->message != WM_LBUTTONDOWN || !m_hWnd || pMsg->hwnd != m_hWnd) return FALSE;
  if (m_pBrowser && !m_pBrowser->IsPointerOnLink()) {
    PostMessageW(m_hWnd, WM_NCLBUTTONDOWN, HTCAPTION, pMsg->lParam);
  }
  return FALSE;
}

void CBrowserWnd::OnNavigateComplete(const std::u16string& address) {
  if (!m_hWnd || !IsSameWebAddress(address, m_downloadPage)) return;
  const RECT rect = CenteredRect(m_hWndParent, kDownloadWidth, kDownloadHeight);
  SetWindowPos(m_hWnd, nullptr, rect.left, rect.top, kDownloadWidth, kDownloadHeight, SWP_NOZORDER);
  RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE);
}

void CBrowserWnd::OnWindowClosing() {
  if (m_hWnd) DestroyWindow(m_hWnd);
  PostQuitMessage(0);
}

LRESULT CBrowserWnd::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* pSelf = reinterpret_cast<CBrowserWnd*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!pSelf) return DefWindowProcW(hwnd, message, wParam, lParam);
  const WNDPROC previous = pSelf->m_previousProc;
  if (pSelf->ProcessWindowMessage(message, wParam, lParam)) return 0;
  return previous ? CallWindowProcW(previous, hwnd, message, wParam, lParam)
                  : DefWindowProcW(hwnd, message, wParam, lParam);
}

bool CBrowserWnd::ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_ACTIVATE:
      if (LOWORD(wParam) != WA_INACTIVE) {
        m_active = true;
      } else if (m_active) {
        m_active = false;
        // Losing the focus to anything but the parent (nothing included) ends the popup.
        if (reinterpret_cast<HWND>(lParam) != m_hWndParent || !m_hWndParent) {
          PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
        }
      }
      return true;
    case WM_TIMER:
      if (wParam != kParentWatchTimer) return false;
      if (!m_hWndParent || !IsWindow(m_hWndParent) || !IsWindowVisible(m_hWndParent)) {
        PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
      }
      return true;
    case WM_DESTROY:
      OnDestroy();
      return false;  // the chain below still needs it
    default:
      return false;
  }
}

void CBrowserWnd::OnDestroy() {
  KillTimer(m_hWnd, kParentWatchTimer);
  const HWND parent = m_hWndParent;
  m_hWndParent = nullptr;
  if (parent) {
    EnableWindow(parent, TRUE);
    SetActiveWindow(parent);
    BringWindowToTop(parent);
  }
  if (m_pBrowser) {
    m_pBrowser->Unadvise(m_cookie);
    m_pBrowser->Release();
    m_pBrowser = nullptr;
  }
  m_hWnd = nullptr;
  PostQuitMessage(0);
}
