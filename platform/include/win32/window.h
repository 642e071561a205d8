#pragma once
// Windows without a screen: classes, hidden and message-only windows, per-thread message queues,
// posted and sent messages, window timers. There is no input, painting or Z-order here; a window
// is a procedure that runs on the thread that created it.
//
// A window belongs to its creating thread. Messages posted to it go to that thread's queue and
// are dispatched there in FIFO order. HWNDs carry a generation, so a post to a window destroyed
// meanwhile fails with ERROR_INVALID_WINDOW_HANDLE instead of reaching a recycled slot.

#include "win32/base.h"

namespace win32 {

struct HICON__;
using HICON = HICON__*;
using HCURSOR = HICON;
struct HBRUSH__;
using HBRUSH = HBRUSH__*;
struct HMENU__;
using HMENU = HMENU__*;

using WNDPROC = LRESULT (*)(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
using TIMERPROC = void (*)(HWND hwnd, UINT message, UINT_PTR idEvent, DWORD time);

struct POINT {
  LONG x;
  LONG y;
};
using LPPOINT = POINT*;

struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};
using LPRECT = RECT*;

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};
using LPMSG = MSG*;

struct WNDCLASSEXW {
  UINT cbSize;
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  HCURSOR hCursor;
  HBRUSH hbrBackground;
  LPCWSTR lpszMenuName;
  LPCWSTR lpszClassName;
  HICON hIconSm;
};

struct CREATESTRUCTW {
  LPVOID lpCreateParams;
  HINSTANCE hInstance;
  HMENU hMenu;
  HWND hwndParent;
  int cy;
  int cx;
  int y;
  int x;
  LONG style;
  LPCWSTR lpszName;
  LPCWSTR lpszClass;
  DWORD dwExStyle;
};

// Messages
constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_CREATE = 0x0001;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_PAINT = 0x000F;  // never generated: nothing here paints
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_NCCREATE = 0x0081;
constexpr UINT WM_NCDESTROY = 0x0082;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;
constexpr UINT WM_APP = 0x8000;

// Styles (stored, otherwise without effect)
constexpr DWORD WS_OVERLAPPED = 0x00000000;
constexpr DWORD WS_POPUP = 0x80000000;
constexpr DWORD WS_CHILD = 0x40000000;
constexpr DWORD WS_VISIBLE = 0x10000000;
constexpr int CW_USEDEFAULT = static_cast<int>(0x80000000);
constexpr int COLOR_WINDOW = 5;

// Parent of a message-only window.
inline const HWND HWND_MESSAGE = reinterpret_cast<HWND>(static_cast<intptr_t>(-3));

constexpr int GWLP_USERDATA = -21;

// PeekMessageW
constexpr UINT PM_NOREMOVE = 0x0000;
constexpr UINT PM_REMOVE = 0x0001;
constexpr UINT PM_NOYIELD = 0x0002;

// Queue status bits for MsgWaitForMultipleObjects(Ex)
constexpr DWORD QS_KEY = 0x0001;
constexpr DWORD QS_MOUSEMOVE = 0x0002;
constexpr DWORD QS_MOUSEBUTTON = 0x0004;
constexpr DWORD QS_POSTMESSAGE = 0x0008;
constexpr DWORD QS_TIMER = 0x0010;
constexpr DWORD QS_PAINT = 0x0020;
constexpr DWORD QS_SENDMESSAGE = 0x0040;
constexpr DWORD QS_HOTKEY = 0x0080;
constexpr DWORD QS_ALLPOSTMESSAGE = 0x0100;
constexpr DWORD QS_RAWINPUT = 0x0400;
constexpr DWORD QS_MOUSE = QS_MOUSEMOVE | QS_MOUSEBUTTON;
constexpr DWORD QS_INPUT = QS_MOUSE | QS_KEY | QS_RAWINPUT;
constexpr DWORD QS_ALLEVENTS = QS_INPUT | QS_POSTMESSAGE | QS_TIMER | QS_PAINT | QS_HOTKEY;
constexpr DWORD QS_ALLINPUT = QS_ALLEVENTS | QS_SENDMESSAGE;
constexpr DWORD MWMO_WAITALL = 0x0001;
constexpr DWORD MWMO_ALERTABLE = 0x0002;
constexpr DWORD MWMO_INPUTAVAILABLE = 0x0004;

constexpr UINT USER_TIMER_MINIMUM = 10;

// Errors of this area
constexpr DWORD ERROR_CLASS_HAS_WINDOWS = 1412;
constexpr DWORD ERROR_INVALID_INDEX = 1413;
constexpr DWORD ERROR_CANNOT_FIND_WND_CLASS = 1407;
constexpr DWORD ERROR_NOT_ENOUGH_QUOTA = 1816;

// --- Classes ---
// Keyed by (name ignoring case, hInstance). Returns the class atom, or 0 with 1410 when the key
// exists (callers that ignore the result reuse the existing class).
WIN32_API ATOM RegisterClassExW(const WNDCLASSEXW* wndClass);
// 1411 when unknown, 1412 while windows of the class exist.
WIN32_API BOOL UnregisterClassW(LPCWSTR className, HINSTANCE instance);

// --- Windows ---
// Creates a window owned by the calling thread (creating its queue if needed). `parent` may be
// HWND_MESSAGE for a message-only window. WM_CREATE is sent with a CREATESTRUCTW whose
// lpCreateParams is `param`; a procedure answering -1 makes creation fail.
WIN32_API HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR windowName, DWORD style,
                               int x, int y, int width, int height, HWND parent, HMENU menu,
                               HINSTANCE instance, LPVOID param);
// Owner thread only (else ERROR_ACCESS_DENIED). Sends WM_DESTROY then WM_NCDESTROY, drops the
// window's timers and queued messages; the handle is invalid afterwards. Safe inside the
// window's own procedure: the object lives until that call returns.
WIN32_API BOOL DestroyWindow(HWND hwnd);
WIN32_API BOOL IsWindow(HWND hwnd);
// Returns the owner thread id (0 with 1400 for a stale handle).
WIN32_API DWORD GetWindowThreadProcessId(HWND hwnd, LPDWORD processId);
// Only GWLP_USERDATA (else 1413). Callable from any thread.
WIN32_API LONG_PTR SetWindowLongPtrW(HWND hwnd, int index, LONG_PTR value);
WIN32_API LONG_PTR GetWindowLongPtrW(HWND hwnd, int index);
// WM_CLOSE destroys the window; WM_NCCREATE answers TRUE; everything else 0.
WIN32_API LRESULT DefWindowProcW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// --- Posting and sending ---
// Any thread. A null hwnd posts a thread message to the calling thread. Fails with 1400 for a
// stale window and with 1816 when the target queue already holds 10000 posted messages.
WIN32_API BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
// 1444 when the thread has no message queue.
WIN32_API BOOL PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);
// Same thread: calls the procedure. Other thread: queues the message to the owner, which runs it
// inside its next Get/Peek/Wait call; the sender waits for the result and meanwhile runs
// messages other threads send to it. Returns 0 for a stale window or a thread that ended first.
WIN32_API LRESULT SendMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
// WM_QUIT is retrieved once no posted message (within the filter) is left.
WIN32_API void PostQuitMessage(int exitCode);

// --- Retrieving ---
// Order: messages sent from other threads (run, not returned), posted messages, WM_QUIT, due
// WM_TIMERs. GetMessageW returns 0 for WM_QUIT, -1 for a bad window filter.
WIN32_API BOOL GetMessageW(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax);
WIN32_API BOOL PeekMessageW(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeFlags);
// No keyboard input exists, so nothing to translate; returns FALSE.
WIN32_API BOOL TranslateMessage(const MSG* msg);
// Calls the window's procedure on the calling thread. Stale windows and thread messages give 0.
WIN32_API LRESULT DispatchMessageW(const MSG* msg);
// Returns when input arrived since the thread last looked at its queue (Get/Peek).
WIN32_API BOOL WaitMessage();
// High word: kinds of `flags` waiting in the queue now; low word: those that arrived since the
// thread last looked (this call, Get or Peek), which this call clears. No mouse input exists here.
WIN32_API DWORD GetQueueStatus(UINT flags);
// WAIT_OBJECT_0 + count when queue input of `wakeMask` kinds arrived since the last look (any
// waiting input with MWMO_INPUTAVAILABLE), else as WaitForMultipleObjects. At most 63 handles;
// waiting for all handles together with input (MWMO_WAITALL) is not supported.
WIN32_API DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                          DWORD milliseconds, DWORD wakeMask);
WIN32_API DWORD MsgWaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, DWORD milliseconds,
                                            DWORD wakeMask, DWORD flags);

// --- Timers ---
// Per window: WM_TIMER (wParam = id) is produced when no posted message is waiting and the timer
// is due, then re-armed; at most one is pending per timer. Intervals below 10 ms become 10 ms;
// setting an existing (hwnd, id) restarts it. Thread timers and timer procedures are not
// supported (null hwnd: 1400; a procedure: 87).
WIN32_API UINT_PTR SetTimer(HWND hwnd, UINT_PTR idEvent, UINT elapse, TIMERPROC timerFunc);
WIN32_API BOOL KillTimer(HWND hwnd, UINT_PTR idEvent);

// --- The toolkit seam ---
// Blocks until `wakeFd` is readable or `milliseconds` passed (INFINITE: no limit); it may return
// early at any time. The caller re-checks its queue and clears the fd itself.
using MessageWaitHook = void (*)(int wakeFd, DWORD milliseconds);
// Replaces how the calling thread sleeps in GetMessageW and WaitMessage (a toolkit's main thread
// iterates its own loop here); null restores the plain poll.
WIN32_API void SetMessageWaitHook(MessageWaitHook hook);

}  // namespace win32
