// Messages between processes as X ClientMessages, and questions about other processes'
// windows. An X error on a window we do not own would end the program, so every call on one
// sits inside an error trap; a window id is only a hint, checked again before it is acted on.

#include <X11/Xatom.h>
#include <gdk/gdkx.h>

#include <cstring>

#include "gui_internal.h"
#include "win32/toplevel.h"

namespace win32::gui {
namespace {

// Runs `call` in an error trap; false when the server reported an error.
template <class Call>
bool Trapped(Call call) {
  gdk_x11_display_error_trap_push(Display());
  bool ok = call();
  return gdk_x11_display_error_trap_pop(Display()) == 0 && ok;
}

// The first 32-bit items of a property (format 32; Xlib hands them out as longs).
bool ReadLongs(::Window xid, Atom property, Atom type, long* pItems, int wanted, int* pCount) {
  return Trapped([&] {
    Atom actualType = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* pData = nullptr;
    if (XGetWindowProperty(XDisplay(), xid, property, 0, wanted, False, type, &actualType, &format,
                           &count, &after, &pData) != Success) {
      return false;
    }
    bool ok = pData && format == 32 && (type == AnyPropertyType || actualType == type);
    if (ok) {
      *pCount = static_cast<int>(count);
      memcpy(pItems, pData, count * sizeof(long));
    }
    if (pData) XFree(pData);
    return ok;
  });
}

// Xlib widens format-32 items into longs with the sign of bit 31; only the low 32 bits travel.
uint32_t Item(long value) { return static_cast<uint32_t>(static_cast<unsigned long>(value)); }

// Unsigned 32-bit values, and negative ones that fit a signed 32-bit item.
bool FitsIn32Bits(uintptr_t value) {
  const intptr_t signedValue = static_cast<intptr_t>(value);
  return value <= 0xFFFFFFFFu || (signedValue < 0 && signedValue >= INT32_MIN);
}

}  // namespace

bool WindowExists(::Window xid) {
  return Trapped([&] {
    XWindowAttributes attributes;
    return XGetWindowAttributes(XDisplay(), xid, &attributes) != 0;
  });
}

bool ReadWindowPid(::Window xid, DWORD* pPid) {
  long pid = 0;
  int count = 0;
  if (!ReadLongs(xid, GetAtoms().netWmPid, XA_CARDINAL, &pid, 1, &count) || count != 1) {
    return false;
  }
  *pPid = Item(pid);
  return *pPid != 0;
}

// Windows calls an iconified window visible; X unmaps it, so its WM_STATE tells.
bool IsViewableOrIconic(::Window xid, bool* pVisible) {
  XWindowAttributes attributes;
  if (!Trapped([&] { return XGetWindowAttributes(XDisplay(), xid, &attributes) != 0; })) {
    return false;
  }
  long state = 0;
  int count = 0;
  constexpr long kIconicState = 3;
  bool iconic = ReadLongs(xid, GetAtoms().wmState, GetAtoms().wmState, &state, 1, &count) &&
                count == 1 && state == kIconicState;
  *pVisible = attributes.map_state == IsViewable || iconic;
  return true;
}

bool ReadWindowRect(::Window xid, RECT* pRect) {
  return Trapped([&] {
    ::Window root = 0, child = 0;
    int x = 0, y = 0, rootX = 0, rootY = 0;
    unsigned width = 0, height = 0, border = 0, depth = 0;
    if (!XGetGeometry(XDisplay(), xid, &root, &x, &y, &width, &height, &border, &depth) ||
        !XTranslateCoordinates(XDisplay(), xid, root, 0, 0, &rootX, &rootY, &child)) {
      return false;
    }
    *pRect =
        RECT{rootX, rootY, rootX + static_cast<LONG>(width), rootY + static_cast<LONG>(height)};
    return true;
  });
}

bool IsMaximized(::Window xid, bool* pMaximized) {
  if (!WindowExists(xid)) return false;
  long states[16];
  int count = 0;
  bool vertical = false, horizontal = false;
  if (ReadLongs(xid, GetAtoms().netWmState, XA_ATOM, states, 16, &count)) {
    for (int i = 0; i < count; ++i) {
      vertical |= static_cast<Atom>(states[i]) == GetAtoms().maximizedVert;
      horizontal |= static_cast<Atom>(states[i]) == GetAtoms().maximizedHorz;
    }
  }
  *pMaximized = vertical && horizontal;
  return true;
}

::Window ReadActiveWindow() {
  long active = 0;
  int count = 0;
  if (!ReadLongs(RootXid(), GetAtoms().netActiveWindow, XA_WINDOW, &active, 1, &count) ||
      count != 1) {
    return 0;
  }
  return static_cast<::Window>(Item(active));
}

void RequestActivation(::Window xid, guint32 time) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = xid;
  event.xclient.message_type = GetAtoms().netActiveWindow;
  event.xclient.format = 32;
  event.xclient.data.l[0] = 2;  // source: a pager, which the window manager always obeys
  event.xclient.data.l[1] = static_cast<long>(time);
  event.xclient.data.l[2] = 0;
  Trapped([&] {
    XSendEvent(XDisplay(), RootXid(), False, SubstructureRedirectMask | SubstructureNotifyMask,
               &event);
    return true;
  });
  XFlush(XDisplay());
}

BOOL SendBridgeMessage(::Window target, uint32_t message, uint32_t wParam, uint32_t lParam) {
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = target;
  event.xclient.message_type = GetAtoms().message;
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(message);
  event.xclient.data.l[1] = static_cast<long>(wParam);
  event.xclient.data.l[2] = static_cast<long>(lParam);
  event.xclient.data.l[3] = static_cast<long>(gdk_x11_display_get_user_time(Display()));
  event.xclient.data.l[4] = kBridgeMagic;
  if (!Trapped([&] { return XSendEvent(XDisplay(), target, False, NoEventMask, &event) != 0; })) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return TRUE;
}

// Posts WM_CLOSE and WM_APP to the window's queue and carries out the private requests here.
// Anything else, and anything not addressed to a registered window of ours, is dropped.
GdkFilterReturn BridgeFilter(GdkXEvent* pXEvent, GdkEvent*, gpointer) {
  auto* pX = static_cast<XEvent*>(pXEvent);
  if (pX->type != ClientMessage || pX->xclient.message_type != GetAtoms().message) {
    return GDK_FILTER_CONTINUE;
  }
  const XClientMessageEvent& event = pX->xclient;
  HWND hwnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(event.window));
  const uint32_t message = Item(event.data.l[0]);
  const uint32_t wParam = Item(event.data.l[1]);
  const uint32_t lParam = Item(event.data.l[2]);
  if (event.format != 32 || event.data.l[4] != kBridgeMagic || !IsRegisteredTopLevel(hwnd)) {
    LayerLog("bridge: message 0x%x to window 0x%lx dropped: not a message for a window of ours",
             message, event.window);
    return GDK_FILTER_REMOVE;
  }
  switch (message) {
    case WM_CLOSE:
      PostMessageW(hwnd, WM_CLOSE, wParam, lParam);
      break;
    case WM_APP: {
      // Only a child we started may hand us a window, and only its own: we keep that window
      // and later close it.
      DWORD pid = 0;
      if (!ReadWindowPid(wParam, &pid) || !IsLiveChildProcess(pid)) {
        LayerLog("bridge: WM_APP naming window 0x%x (pid %u) dropped: not a child of ours", wParam,
                 pid);
        break;
      }
      PostMessageW(hwnd, WM_APP, wParam, lParam);
      break;
    }
    case kOpShow:
    case kOpEnable:
    case kOpActivate:
      PerformRequest(hwnd, message, wParam);
      break;
    default:
      LayerLog("bridge: message 0x%x to window 0x%lx dropped: not allowed", message, event.window);
      break;
  }
  return GDK_FILTER_REMOVE;
}

// --- The back-end entries for other processes' windows ---

BOOL PostForeign(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (!OnGuiThread()) return Fail(ERROR_INVALID_THREAD_ID);
  if (message != WM_CLOSE && message != WM_APP) return Fail(ERROR_ACCESS_DENIED);
  if (!FitsIn32Bits(wParam) || !FitsIn32Bits(static_cast<uintptr_t>(lParam))) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  return SendBridgeMessage(reinterpret_cast<uintptr_t>(hwnd), message,
                           static_cast<uint32_t>(wParam), static_cast<uint32_t>(lParam));
}

}  // namespace win32::gui
