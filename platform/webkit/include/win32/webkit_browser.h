#pragma once
// The web browser control of win32/webbrowser.h on WebKitGTK (libwin32-webkit.so). Only the
// install popup links it; Harborlight, Orbalyn.so and libwin32.so never do.

#include "win32/webbrowser.h"

namespace win32 {

// Makes the popup and its browser: an undecorated GtkWindow registered as a top-level (kept
// above `params.owner`, and off the taskbar with WS_EX_TOOLWINDOW), holding a WebKitWebView
// with context menus off, no scroll bars, new windows refused, TLS errors failing the load,
// and window.close() delivered as DISPID_WINDOWCLOSING whatever the history holds. Web pages
// run in the web engine's sandbox when bubblewrap can run here (checked once, at the first
// window; otherwise said on standard error). E_FAIL when the GUI half is not started.
WIN32_API HRESULT CreateWebBrowserWindow(const BrowserWindowParams& params,
                                         IWebBrowserWindow** ppBrowser);

// Whether the web process sandbox is on; known after the first window was made.
WIN32_API bool IsWebSandboxEnabled();

}  // namespace win32
