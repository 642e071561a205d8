// Ferrylink: the install popup Harborlight starts from its QR page ("Ferrylink Parent=<hex>"). It
// shows the maker's login page in a borderless browser window over the main window, shrinks
// to the phone-app download page, and ends with status 0 when the popup closes. Status 2: no
// popup could be made (no display, no browser).

#include <cstdio>
#include <string>
#include <vector>

#include "CApplication.h"
#include "CMainFrame.h"
#include "win32/gui.h"
#include "win32/strings.h"
#include "win32/webkit_browser.h"
#include "win32/window.h"

using namespace win32;

namespace {

BOOL FilterMessage(MSG* pMsg, void* data) {
  return static_cast<CBrowserWnd*>(data)->PreTranslateMessage(pMsg);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::u16string> arguments;
  for (int i = 0; i < argc; ++i) arguments.push_back(Utf8ToUtf16(argv[i]));
  if (!InitializeGui(&argc, &argv)) {
    std::fprintf(stderr, "Ferrylink: no display\n");
    return 2;
  }
  CApplication application;
  CMainFrame frame(&application, CreateWebBrowserWindow);
  if (!frame.Create(arguments)) {
    std::fprintf(stderr, "Ferrylink: the popup could not be created\n");
    return 2;
  }
  AddMessageFilter(FilterMessage, &frame.Popup());
  MSG msg{};
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  RemoveMessageFilter(FilterMessage, &frame.Popup());
  return static_cast<int>(msg.wParam);
}
