#pragma once
// The GUI half of the layer (libwin32-gtk.so): GTK 3 on X11 under the Win32 calls of the core
// (win32/toplevel.h, win32/shellui.h). Linked only by the GUI programs and their tests; the
// core library never depends on it.
//
// Threading: everything here runs on the GUI thread (the one that called InitializeGui), except
// AttachMessagePump and RunModalLoop, which act on the calling thread and the context given to
// it. Other threads post to windows as usual; ShellExecuteW stays callable from any thread.

#include <gtk/gtk.h>

#include "win32/base.h"
#include "win32/window.h"

namespace win32 {

// Starts GTK on X11 (whatever GDK_BACKEND says), attaches the calling thread's message queue to
// the default main context (AttachMessagePump), and installs the GUI back end: real top-levels,
// the cross-process message bridge, tray, message box, folder browser, shell open, screen.
// Returns false, and changes nothing, when no X display can be opened. Call once, before any
// window is created.
WIN32_API bool InitializeGui(int* argc, char*** argv);

// Makes the calling thread's message queue a source of `context` (default priority, allowed to
// recurse), so posted messages and WM_TIMERs are dispatched by every loop that iterates the
// context, nested and modal ones included, one message per dispatch. GetMessageW, WaitMessage and
// MsgWaitForMultipleObjects(Ex) on this thread then iterate the context while they wait.
// Replaces an earlier attachment of this thread. Returns false for a null context.
WIN32_API bool AttachMessagePump(GMainContext* context);
// Undoes AttachMessagePump on the calling thread.
WIN32_API void DetachMessagePump();

// Iterates the calling thread's pump context until *pEnded is true (returns true) or a quit is
// pending (returns false and leaves WM_QUIT pending, so enclosing loops end too). Message boxes,
// the folder browser and the UI framework's modal runs loop here, never in gtk_dialog_run.
WIN32_API bool RunModalLoop(const bool* pEnded);

// What the layer did to a registered window, so the UI framework's model follows it.
enum class ToplevelChange { kShown, kHidden, kEnabled, kDisabled };
using ToplevelStateCallback = void (*)(HWND hwnd, GtkWindow* window, ToplevelChange change);

// Enters `window` (realised here if it is not yet) into the window registry under its X window
// id, which becomes its HWND, owned by the GUI thread with `defaultProc` at the end of its
// procedure chain. From then on:
// - the window manager's close button sends WM_CLOSE through the chain (DefWindowProcW destroys);
// - WM_ACTIVATE arrives with WA_ACTIVE when the desktop makes it active, once more with
//   WA_CLICKACTIVE when a press on it lies within 250 ms of that (either order, server times),
//   and with WA_INACTIVE (lParam = the newly active window, 0 for none) when it loses it;
// - ShowWindow, EnableWindow, SetWindowPos, ... act on it, and `callback` (may be null) hears of
//   every show, hide, enable and disable the layer makes; a disabled window gets no input;
// - other processes reach it through the message bridge (WM_CLOSE; WM_APP only from a child this
//   process started, naming that child's own window; show, enable and activate requests).
// DestroyWindow destroys the GtkWindow; destroying the GtkWindow destroys the HWND (WM_DESTROY,
// WM_NCDESTROY through the chain). Returns null (last error set) when it cannot be registered.
WIN32_API HWND RegisterToplevel(GtkWindow* window, WNDPROC defaultProc,
                                ToplevelStateCallback callback);
// The GtkWindow behind a registered handle, or null.
WIN32_API GtkWindow* ToplevelWindow(HWND hwnd);

// Filters see every GDK event of the process before GTK does (the message filter of a Win32
// loop); one returning true consumes the event. Filters run newest first.
using PreTranslateFilter = bool (*)(GdkEvent* event, void* data);
WIN32_API void AddPreTranslateFilter(PreTranslateFilter filter, void* data);
WIN32_API void RemovePreTranslateFilter(PreTranslateFilter filter, void* data);

// Whether a notification area shows the icon (hwnd, id) now. False for an icon never added or
// already removed, and while no notification area runs (a desktop without one may never show
// it).
WIN32_API bool IsTrayIconEmbedded(HWND hwnd, UINT id);

// The message loop's filter in its Win32 form, over the filters above: each press of the left
// button on a registered top-level reaches the filters first as WM_LBUTTONDOWN, with hwnd the
// top-level, wParam MK_LBUTTON and lParam the press's point on the screen (x in the low word,
// y in the high one). A filter returning TRUE consumes the press. Filters run newest first.
using MessageFilter = BOOL (*)(MSG* pMsg, void* data);
WIN32_API void AddMessageFilter(MessageFilter filter, void* data);
WIN32_API void RemoveMessageFilter(MessageFilter filter, void* data);

// A copy of the last press on one of this process's notification-area icons (free it with
// gdk_event_free), or null before any. A menu opened for the icon's posted message takes it as
// its trigger event: the press's time and device are what its pointer grab needs.
WIN32_API GdkEvent* CopyTrayPressEvent();

// --- Test hooks (Xvfb tests drive the real dialogs with them) ---
// Called once each message box or folder browser is on screen. A chooser hook selects a folder
// and then answers with gtk_dialog_response; a message-box hook answers.
using DialogTestHook = void (*)(GtkDialog* dialog, void* data);
WIN32_API void SetMessageBoxTestHook(DialogTestHook hook, void* data);
WIN32_API void SetFolderBrowserTestHook(DialogTestHook hook, void* data);
// The tray icon's place on screen, known once the notification area has sized it; false before.
// A null `hwnd` asks for the process's first icon.
WIN32_API bool GetTrayIconGeometryForTesting(HWND hwnd, UINT id, GdkRectangle* pArea);

}  // namespace win32
