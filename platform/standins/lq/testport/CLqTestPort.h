#pragma once
// The test port: drives the program's windows by state instead of by pixels. In process, a test
// reads every window's element tree with its state, clicks, types, ticks and picks tabs by id
// path ("ImageShowFrame/openDirPath": each id searched below the one before), and saves a
// window's picture as PNG, drawn off screen. The same commands arrive as JSON lines on a UNIX
// socket named by HARBORLIGHT_TESTPORT, whose folder must be the user's own and closed to others
// (0700); `tools/harbor-drive` is its client.
//
// Requests: {"cmd":"tree"[,"window":W]}, {"cmd":"find","window":W,"path":P},
// {"cmd":"click"|"settext"|"check"|"select-tab","window":W,"path":P[,"text":T][,"checked":B]},
// {"cmd":"menu-click","name":N}, {"cmd":"snapshot","window":W,"file":F[,"without":P]} (P: an
// element left out of the picture, to prove that a comparison with the screen would see it),
// {"cmd":"tray"},
// {"cmd":"timers","window":W}, {"cmd":"decodes"} (pictures being decoded away from the UI
// thread: {"ok":true,"inFlight":N}). Each reply is one line: {"ok":true,...} or
// {"ok":false,"error":"..."}. A window is named by its frame name (or native name).
//
// What only the toolkit knows (the tray icon's place, the timers a window's objects have set)
// comes through hooks the GUI fills in; until then the answers say so.
// Threading: UI thread only; the socket is served by the GLib context given to Start, which that
// thread iterates.

#include <cstddef>
#include <string>

#include "CElement.h"
#include "CWindowElement.h"

// GLib's, declared here so that its TRUE and FALSE stay out of the layer's headers.
typedef struct _GMainContext GMainContext;

namespace lq {

class CLqTestPort {
 public:
  struct Hooks {
    // The tray icon's area on screen; false while it is not known.
    bool (*trayGeometry)(win32::RECT* pArea) = nullptr;
    // The live KwTimers of a window's objects, as a JSON array.
    std::string (*windowTimers)(win32::HWND hwnd) = nullptr;
  };

  static void SetHooks(const Hooks& hooks);
  // What the program decodes away from the UI thread now; "decodes" answers it.
  static void SetDecodeCounter(size_t (*counter)());

  // --- In process ---
  // A window by frame or native name (the last of the table when several have it), or null.
  static CWindowElement* FindWindow(const std::u16string& name);
  // The element at `idPath` below `pRoot`; the root itself for an empty path.
  static CElement* FindPath(CElement* pRoot, const std::u16string& idPath);
  // Every window's tree (or one window's) as a JSON array.
  static std::string TreeJson(const std::u16string& windowName);
  // Each acts as the user would; false with the reason when the element is missing, hidden,
  // disabled, of another kind, or in a window that takes no input.
  static bool Click(const std::u16string& window, const std::u16string& path, std::string* pError);
  static bool SetText(const std::u16string& window, const std::u16string& path,
                      const std::u16string& text, std::string* pError);
  static bool Check(const std::u16string& window, const std::u16string& path, bool checked,
                    std::string* pError);
  static bool SelectTab(const std::u16string& window, const std::u16string& path,
                        std::string* pError);
  static bool ClickMenuItem(const std::u16string& name, std::string* pError);
  // `without`: the id path of an element drawn as if hidden; none when empty.
  static bool SavePng(const std::u16string& window, const std::string& posixPath,
                      std::string* pError, const std::u16string& without = u"");
  // Posts a message to the window, as another part of the program would (the tray icon's mouse
  // messages reach the main window so); false when there is no such window or the post fails.
  static bool Post(const std::u16string& window, win32::UINT message, win32::WPARAM wParam,
                   win32::LPARAM lParam, std::string* pError);
  // One request line in, one reply line out (without the newline).
  static std::string Handle(const std::string& line);

  // --- The socket ---
  // Listens at $HARBORLIGHT_TESTPORT when it is set; false when unset or refused.
  static bool StartFromEnvironment(GMainContext* pContext);
  // Listens at `socketPath` on `pContext` (null: the default context). Refused (false, logged)
  // when the socket's folder is not a folder of this user closed to everyone else.
  static bool Start(const std::string& socketPath, GMainContext* pContext);
  // Closes the socket and every connection, and removes the socket file.
  static void Stop();
};

}  // namespace lq
