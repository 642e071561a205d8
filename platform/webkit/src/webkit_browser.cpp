// The install popup's browser on WebKitGTK 4.1: a registered borderless top-level holding a web
// view, whose page events are handed to the owner's IDispatch sink as the browser control's
// events. Every call on another process's window (the owner) goes through the GUI half.

#include "win32/webkit_browser.h"

#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "win32/gui.h"
#include "win32/strings.h"
#include "win32/toplevel.h"
#include "win32/ui_backend.h"

namespace win32 {
namespace {

// window.close() is refused by the engine once the history holds more than one page (it was
// not opened by a script), so the page's close reaches us as a script message instead.
constexpr char kCloseHandler[] = "ferrylinkClose";
constexpr char kCloseScript[] =
    "window.close = function() {"
    "  window.webkit.messageHandlers.ferrylinkClose.postMessage('close');"
    "};";
constexpr char kNoScrollBars[] = "html, body { overflow: hidden; }";

bool g_sandboxDecided = false;
bool g_sandboxEnabled = false;

// Whether bubblewrap can make the namespaces the web process sandbox needs here.
bool BubblewrapRuns() {
  gchar* pPath = g_find_program_in_path("bwrap");
  if (!pPath) return false;
  const gchar* argv[] = {pPath,
                         "--ro-bind",
                         "/",
                         "/",
                         "--unshare-pid",
                         "--unshare-ipc",
                         "--unshare-uts",
                         "--unshare-net",
                         "--unshare-user-try",
                         "--die-with-parent",
                         "true",
                         nullptr};
  gint status = -1;
  const gboolean ran = g_spawn_sync(
      nullptr, const_cast<gchar**>(argv), nullptr,
      static_cast<GSpawnFlags>(G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL), nullptr,
      nullptr, nullptr, nullptr, &status, nullptr);
  g_free(pPath);
  return ran && g_spawn_check_wait_status(status, nullptr);
}

// The popup's folder below the user's data or cache folder; in a sandbox (LUMIDOCK_ROOT) below
// its local application data, where the layer keeps every other per-user file.
std::string UserFolder(const gchar* pBase, const char* pSandboxLeaf) {
  const char* pRoot = getenv("LUMIDOCK_ROOT");
  const std::string base = pRoot && *pRoot ? std::string(pRoot) + "/local-appdata" : pBase;
  return base + "/Corvane/Ferrylink" + (pRoot && *pRoot ? pSandboxLeaf : "");
}

// The popup offers nothing to save and no place to save it: a page must not leave a file behind.
void OnDownloadStarted(WebKitWebContext*, WebKitDownload* pDownload, gpointer) {
  WebKitURIRequest* pRequest = webkit_download_get_request(pDownload);
  std::fprintf(stderr, "web browser: refused a download of %s\n",
               pRequest ? webkit_uri_request_get_uri(pRequest) : "?");
  webkit_download_cancel(pDownload);
}

// A response its server means to be saved, not shown: any disposition but "inline" (an
// "attachment", or one a browser does not know and would save too).
bool IsForSaving(WebKitURIResponse* pResponse) {
  SoupMessageHeaders* pHeaders = webkit_uri_response_get_http_headers(pResponse);
  const char* pValue =
      pHeaders ? soup_message_headers_get_one(pHeaders, "Content-Disposition") : nullptr;
  if (!pValue) return false;
  std::string_view type = pValue;
  type = type.substr(0, type.find(';'));
  while (!type.empty() && g_ascii_isspace(type.front())) type.remove_prefix(1);
  while (!type.empty() && g_ascii_isspace(type.back())) type.remove_suffix(1);
  return type.size() != 6 || g_ascii_strncasecmp(type.data(), "inline", 6) != 0;
}

// The process's one web context: the popup's own data and cache folders (a login persists as
// in a browser), TLS errors fail, no download, and the sandbox when it can run.
WebKitWebContext* Context() {
  static WebKitWebContext* pContext = [] {
    const std::string data = UserFolder(g_get_user_data_dir(), "");
    const std::string cache = UserFolder(g_get_user_cache_dir(), "/Cache");
    WebKitWebsiteDataManager* pManager = webkit_website_data_manager_new(
        "base-data-directory", data.c_str(), "base-cache-directory", cache.c_str(), nullptr);
    webkit_website_data_manager_set_tls_errors_policy(pManager, WEBKIT_TLS_ERRORS_POLICY_FAIL);
    webkit_cookie_manager_set_persistent_storage(
        webkit_website_data_manager_get_cookie_manager(pManager), (data + "/cookies").c_str(),
        WEBKIT_COOKIE_PERSISTENT_STORAGE_SQLITE);
    WebKitWebContext* pNew = webkit_web_context_new_with_website_data_manager(pManager);
    g_object_unref(pManager);
    g_signal_connect(pNew, "download-started", G_CALLBACK(OnDownloadStarted), nullptr);
    g_sandboxEnabled = BubblewrapRuns();
    g_sandboxDecided = true;
    if (g_sandboxEnabled) {
      webkit_web_context_set_sandbox_enabled(pNew, TRUE);
      LayerLog("web browser: web pages run in the bubblewrap sandbox");
    } else {
      std::fprintf(stderr,
                   "web browser: bubblewrap cannot run here; web pages run without a sandbox\n");
    }
    return pNew;
  }();
  return pContext;
}

// One popup with its web view.
// Lifetime: counted; the creator's reference goes to the owner, and the window holds one until
//   it is destroyed with the popup's handle (DestroyWindow, or the window manager through
//   WM_CLOSE). The object then drops the view and answers E_FAIL until its last Release.
// Threading: the GUI thread only.
class CWebKitBrowserWindow final : public IWebBrowserWindow {
 public:
  CWebKitBrowserWindow() = default;
  CWebKitBrowserWindow(const CWebKitBrowserWindow&) = delete;
  CWebKitBrowserWindow& operator=(const CWebKitBrowserWindow&) = delete;

  HRESULT Create(const BrowserWindowParams& params);

  // IUnknown:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppObject) override {
    if (!ppObject) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IWebBrowserWindow) {
      *ppObject = static_cast<IWebBrowserWindow*>(this);
      AddRef();
      return S_OK;
    }
    *ppObject = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refCount; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG count = --m_refCount;
    if (count == 0) delete this;
    return count;
  }
  // IWebBrowserWindow:
  HWND STDMETHODCALLTYPE GetWindow() override { return m_hwnd; }
  HRESULT STDMETHODCALLTYPE Advise(IDispatch* pSink, DWORD* pCookie) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
  HRESULT STDMETHODCALLTYPE Navigate(LPCWSTR address) override;
  HRESULT STDMETHODCALLTYPE SetIcons(HICON big, HICON small) override;
  HRESULT STDMETHODCALLTYPE SetTitle(LPCWSTR title) override;
  BOOL STDMETHODCALLTYPE IsPointerOnLink() override { return m_onLink; }

 private:
  static constexpr DWORD kCookie = 1;

  ~CWebKitBrowserWindow();

  // Hands one event to the sink; the sink may destroy the window meanwhile.
  void Raise(DISPID id, DISPPARAMS* pParams);
  void RaiseNavigateComplete(const char* pAddress);
  void RaiseWindowClosing();
  void Forget();

  static void OnLoadChanged(WebKitWebView* pView, WebKitLoadEvent event, gpointer data);
  static gboolean OnLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar*, GError*, gpointer data) {
    static_cast<CWebKitBrowserWindow*>(data)->m_loadFailed = true;
    return FALSE;  // the engine's error page tells the user
  }
  static gboolean OnDecidePolicy(WebKitWebView* pView, WebKitPolicyDecision* pDecision,
                                 WebKitPolicyDecisionType type, gpointer data);
  static void OnClose(WebKitWebView* pView, gpointer data);
  static void OnCloseMessage(WebKitUserContentManager* pManager, WebKitJavascriptResult* pResult,
                             gpointer data);
  static gboolean OnContextMenu(WebKitWebView*, WebKitContextMenu*, GdkEvent*, WebKitHitTestResult*,
                                gpointer) {
    return TRUE;
  }
  static GtkWidget* OnCreate(WebKitWebView*, WebKitNavigationAction*, gpointer) { return nullptr; }
  static void OnMouseTargetChanged(WebKitWebView* pView, WebKitHitTestResult* pHit, guint,
                                   gpointer data);
  static void OnWindowDestroy(GtkWidget* pWindow, gpointer data);

  std::atomic<ULONG> m_refCount{1};
  GtkWindow* m_pWindow = nullptr;                  // one reference while the window lives
  WebKitWebView* m_pView = nullptr;                // the window's child; valid while m_pWindow is
  WebKitUserContentManager* m_pContent = nullptr;  // one reference while the window lives
  HWND m_hwnd = nullptr;
  IDispatch* m_pSink = nullptr;  // one reference while advised
  bool m_onLink = false;
  bool m_loadFailed = false;  // the main frame's load under way failed
};

HRESULT CWebKitBrowserWindow::Create(const BrowserWindowParams& params) {
  m_pContent = webkit_user_content_manager_new();
  webkit_user_content_manager_add_style_sheet(
      m_pContent, webkit_user_style_sheet_new(kNoScrollBars, WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES,
                                              WEBKIT_USER_STYLE_LEVEL_USER, nullptr, nullptr));
  webkit_user_content_manager_add_script(
      m_pContent,
      webkit_user_script_new(kCloseScript, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                             WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr));
  webkit_user_content_manager_register_script_message_handler(m_pContent, kCloseHandler);
  g_signal_connect(m_pContent, "script-message-received::ferrylinkClose",
                   G_CALLBACK(OnCloseMessage), this);

  m_pView = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", Context(),
                                         "user-content-manager", m_pContent, nullptr));
  WebKitSettings* pSettings = webkit_web_view_get_settings(m_pView);
  webkit_settings_set_javascript_can_open_windows_automatically(pSettings, FALSE);
  g_signal_connect(m_pView, "load-changed", G_CALLBACK(OnLoadChanged), this);
  g_signal_connect(m_pView, "load-failed", G_CALLBACK(OnLoadFailed), this);
  g_signal_connect(m_pView, "decide-policy", G_CALLBACK(OnDecidePolicy), this);
  g_signal_connect(m_pView, "close", G_CALLBACK(OnClose), this);
  g_signal_connect(m_pView, "context-menu", G_CALLBACK(OnContextMenu), this);
  g_signal_connect(m_pView, "create", G_CALLBACK(OnCreate), this);
  g_signal_connect(m_pView, "mouse-target-changed", G_CALLBACK(OnMouseTargetChanged), this);

  GtkWidget* pWindow = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  m_pWindow = GTK_WINDOW(g_object_ref(pWindow));
  gtk_window_set_decorated(m_pWindow, FALSE);
  const int width = params.rect.right - params.rect.left;
  const int height = params.rect.bottom - params.rect.top;
  gtk_window_set_default_size(m_pWindow, width, height);
  gtk_window_move(m_pWindow, params.rect.left, params.rect.top);
  if (params.exStyle & WS_EX_TOOLWINDOW) {
    gtk_window_set_skip_taskbar_hint(m_pWindow, TRUE);
    gtk_window_set_skip_pager_hint(m_pWindow, TRUE);
  }
  gtk_container_add(GTK_CONTAINER(pWindow), GTK_WIDGET(m_pView));
  AddRef();  // the window's: dropped when it is destroyed
  g_signal_connect(pWindow, "destroy", G_CALLBACK(OnWindowDestroy), this);
  m_hwnd = RegisterToplevel(m_pWindow, DefWindowProcW, nullptr);
  if (!m_hwnd) {
    gtk_widget_destroy(pWindow);
    return E_FAIL;
  }
  // Kept above the owner by the window manager, as an owned window is.
  if (params.owner && IsWindow(params.owner)) {
    GdkDisplay* pDisplay = gtk_widget_get_display(pWindow);
    gdk_x11_display_error_trap_push(pDisplay);
    GdkWindow* pOwner = gdk_x11_window_foreign_new_for_display(
        pDisplay, static_cast<::Window>(reinterpret_cast<uintptr_t>(params.owner)));
    if (pOwner) {
      gdk_window_set_transient_for(gtk_widget_get_window(pWindow), pOwner);
      g_object_unref(pOwner);
    }
    gdk_x11_display_error_trap_pop_ignored(pDisplay);
  }
  gtk_widget_show(GTK_WIDGET(m_pView));
  if (params.style & WS_VISIBLE) ShowWindow(m_hwnd, SW_SHOW);
  return S_OK;
}

CWebKitBrowserWindow::~CWebKitBrowserWindow() {
  if (m_pSink) m_pSink->Release();
}

HRESULT CWebKitBrowserWindow::Advise(IDispatch* pSink, DWORD* pCookie) {
  if (!pSink || !pCookie) return E_POINTER;
  if (!m_pWindow) return E_FAIL;
  if (m_pSink) return E_FAIL;  // one sink at a time
  m_pSink = pSink;
  m_pSink->AddRef();
  *pCookie = kCookie;
  return S_OK;
}

HRESULT CWebKitBrowserWindow::Unadvise(DWORD cookie) {
  if (cookie != kCookie || !m_pSink) return E_INVALIDARG;
  IDispatch* pSink = m_pSink;
  m_pSink = nullptr;
  pSink->Release();
  return S_OK;
}

HRESULT CWebKitBrowserWindow::Navigate(LPCWSTR address) {
  if (!m_pView || !address) return E_FAIL;
  webkit_web_view_load_uri(m_pView, Utf16ToUtf8(address).c_str());
  return S_OK;
}

HRESULT CWebKitBrowserWindow::SetIcons(HICON big, HICON small) {
  if (!m_pWindow) return E_FAIL;
  GList* pIcons = nullptr;
  for (HICON icon : {small, big}) {
    if (void* pImage = icon ? IconImage(icon) : nullptr) pIcons = g_list_append(pIcons, pImage);
  }
  gtk_window_set_icon_list(m_pWindow, pIcons);
  g_list_free(pIcons);
  return S_OK;
}

HRESULT CWebKitBrowserWindow::SetTitle(LPCWSTR title) {
  if (!m_pWindow) return E_FAIL;
  gtk_window_set_title(m_pWindow, title ? Utf16ToUtf8(title).c_str() : "");
  return S_OK;
}

void CWebKitBrowserWindow::Raise(DISPID id, DISPPARAMS* pParams) {
  if (!m_pSink) return;
  AddRef();
  IDispatch* pSink = m_pSink;
  pSink->AddRef();
  const IID noInterface{};
  pSink->Invoke(id, noInterface, LOCALE_USER_DEFAULT, DISPATCH_METHOD, pParams, nullptr, nullptr,
                nullptr);
  pSink->Release();
  Release();
}

void CWebKitBrowserWindow::RaiseNavigateComplete(const char* pAddress) {
  VARIANT address;
  VariantInit(&address);
  address.vt = VT_BSTR;
  address.bstrVal = SysAllocString(Utf8ToUtf16(pAddress ? pAddress : "").c_str());
  VARIANT arguments[2];
  VariantInit(&arguments[0]);
  VariantInit(&arguments[1]);
  arguments[0].vt = VT_BYREF | VT_VARIANT;
  arguments[0].pvarVal = &address;
  arguments[1].vt = VT_DISPATCH;
  arguments[1].pdispVal = nullptr;
  DISPPARAMS params{arguments, nullptr, 2, 0};
  Raise(DISPID_NAVIGATECOMPLETE2, &params);
  VariantClear(&address);
}

void CWebKitBrowserWindow::RaiseWindowClosing() {
  VARIANT arguments[2];
  VariantInit(&arguments[0]);
  VariantInit(&arguments[1]);
  arguments[0].vt = VT_BOOL;  // cancel
  arguments[0].boolVal = VARIANT_FALSE;
  arguments[1].vt = VT_BOOL;  // a child window
  arguments[1].boolVal = VARIANT_FALSE;
  DISPPARAMS params{arguments, nullptr, 2, 0};
  Raise(DISPID_WINDOWCLOSING, &params);
}

void CWebKitBrowserWindow::Forget() {
  if (m_pView) g_signal_handlers_disconnect_by_data(m_pView, this);
  if (m_pContent) {
    g_signal_handlers_disconnect_by_data(m_pContent, this);
    g_object_unref(m_pContent);
  }
  if (m_pWindow) {
    g_signal_handlers_disconnect_by_data(m_pWindow, this);
    g_object_unref(m_pWindow);
  }
  m_pView = nullptr;
  m_pContent = nullptr;
  m_pWindow = nullptr;
  m_hwnd = nullptr;
}

// Only a page that loaded is reported. A failed load is followed by a load of the engine's error
// page under the failed address; that page is no server's answer, so it has no HTTP status.
void CWebKitBrowserWindow::OnLoadChanged(WebKitWebView* pView, WebKitLoadEvent event,
                                         gpointer data) {
  auto* pSelf = static_cast<CWebKitBrowserWindow*>(data);
  if (event == WEBKIT_LOAD_STARTED) pSelf->m_loadFailed = false;
  if (event != WEBKIT_LOAD_FINISHED || pSelf->m_loadFailed) return;
  WebKitWebResource* pMain = webkit_web_view_get_main_resource(pView);
  WebKitURIResponse* pResponse = pMain ? webkit_web_resource_get_response(pMain) : nullptr;
  if (!pResponse || webkit_uri_response_get_status_code(pResponse) == 0) return;
  pSelf->RaiseNavigateComplete(webkit_web_view_get_uri(pView));
}

// The popup is one window showing pages: no second window, and no response it cannot show.
gboolean CWebKitBrowserWindow::OnDecidePolicy(WebKitWebView*, WebKitPolicyDecision* pDecision,
                                              WebKitPolicyDecisionType type, gpointer) {
  if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
    webkit_policy_decision_ignore(pDecision);
    return TRUE;
  }
  if (type != WEBKIT_POLICY_DECISION_TYPE_RESPONSE) return FALSE;
  auto* pResponseDecision = WEBKIT_RESPONSE_POLICY_DECISION(pDecision);
  WebKitURIResponse* pResponse = webkit_response_policy_decision_get_response(pResponseDecision);
  const bool forSaving = IsForSaving(pResponse);
  if (!forSaving && webkit_response_policy_decision_is_mime_type_supported(pResponseDecision)) {
    webkit_policy_decision_use(pDecision);
    return TRUE;
  }
  std::fprintf(stderr, "web browser: refused %s (%s)\n", webkit_uri_response_get_uri(pResponse),
               forSaving ? "marked for saving" : "a type the view cannot show");
  webkit_policy_decision_ignore(pDecision);
  return TRUE;
}

void CWebKitBrowserWindow::OnClose(WebKitWebView*, gpointer data) {
  static_cast<CWebKitBrowserWindow*>(data)->RaiseWindowClosing();
}

void CWebKitBrowserWindow::OnCloseMessage(WebKitUserContentManager*, WebKitJavascriptResult*,
                                          gpointer data) {
  static_cast<CWebKitBrowserWindow*>(data)->RaiseWindowClosing();
}

void CWebKitBrowserWindow::OnMouseTargetChanged(WebKitWebView*, WebKitHitTestResult* pHit, guint,
                                                gpointer data) {
  static_cast<CWebKitBrowserWindow*>(data)->m_onLink = webkit_hit_test_result_context_is_link(pHit);
}

void CWebKitBrowserWindow::OnWindowDestroy(GtkWidget*, gpointer data) {
  auto* pSelf = static_cast<CWebKitBrowserWindow*>(data);
  pSelf->Forget();
  pSelf->Release();  // the window's
}

}  // namespace

HRESULT CreateWebBrowserWindow(const BrowserWindowParams& params, IWebBrowserWindow** ppBrowser) {
  if (!ppBrowser) return E_POINTER;
  *ppBrowser = nullptr;
  if (!GetUiBackend() || !GetUiBackend()->beginMoveDrag) return E_FAIL;  // no GUI half
  auto* pBrowser = new CWebKitBrowserWindow();
  const HRESULT hr = pBrowser->Create(params);
  if (FAILED(hr)) {
    pBrowser->Release();
    return hr;
  }
  *ppBrowser = pBrowser;
  return S_OK;
}

bool IsWebSandboxEnabled() { return g_sandboxDecided && g_sandboxEnabled; }

}  // namespace win32
