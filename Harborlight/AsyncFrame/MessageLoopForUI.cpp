#include "AsyncFrame/MessageLoopForUI.h"

#include "win32/module.h"

using namespace win32;

namespace AsyncFrame {
namespace {

constexpr UINT kFirstMouseMessage = 512;
constexpr UINT kLastMouseMessage = 525;

HINSTANCE ProcessModule() { return GetModuleHandleW(nullptr); }

}  // namespace

MessageLoopForUI::MessageLoopForUI() : MessageLoop(kTypeUI) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = &MessageLoopForUI::WindowProc;
  windowClass.hInstance = ProcessModule();
  windowClass.lpszClassName = kWindowClass;
  // Every loop registers; the later ones find the class there already.
  RegisterClassExW(&windowClass);
  m_hwnd = CreateWindowExW(0, kWindowClass, u"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                           ProcessModule(), nullptr);
  SetWindowLongPtrW(m_hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

MessageLoopForUI::~MessageLoopForUI() {
  WillDestroy();
  DestroyWindow(m_hwnd);
  // Fails while other loops' windows exist; the last loop removes the class.
  UnregisterClassW(kWindowClass, ProcessModule());
}

void MessageLoopForUI::ScheduleWork() {
  if (InterlockedExchange(&m_haveWork, 1) != 0) return;
  // A refused wake-up (the window's queue is full or gone) must not block the next one.
  if (!PostMessageW(m_hwnd, kWakeMessage, reinterpret_cast<WPARAM>(this), 0)) {
    InterlockedExchange(&m_haveWork, 0);
  }
}

void MessageLoopForUI::DoRunLoop() {
  for (;;) {
    bool sentWaiting = (HIWORD(GetQueueStatus(QS_SENDMESSAGE)) & QS_SENDMESSAGE) != 0;
    MSG msg;
    bool moreWork =
        PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE) ? ProcessMessage(msg) : sentWaiting;
    if (m_quit) break;
    moreWork |= DoWork();
    if (m_quit) break;
    moreWork |= DoDelayedWork(&m_nextDelayedRunTime);
    if (moreWork && CurrentDelay() == -1) KillTimer(m_hwnd, TimerId());
    if (m_quit) break;
    if (moreWork) continue;
    moreWork = DoIdleWork();
    if (m_quit) break;
    if (!moreWork) WaitForWork();
  }
}

void MessageLoopForUI::WaitForWork() {
  int delay = CurrentDelay();
  DWORD timeout = delay < 0 ? INFINITE : static_cast<DWORD>(delay);
  DWORD result = MsgWaitForMultipleObjectsEx(0, nullptr, timeout, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  if (result != WAIT_OBJECT_0) return;
  // Mouse input reported for the queue that this thread cannot take belongs to another thread's
  // window: wait for new input instead of spinning on it.
  MSG msg;
  if ((HIWORD(GetQueueStatus(QS_MOUSE)) & QS_MOUSE) != 0 &&
      !PeekMessageW(&msg, nullptr, kFirstMouseMessage, kLastMouseMessage, PM_NOREMOVE)) {
    WaitMessage();
  }
}

void MessageLoopForUI::ScheduleDelayedWork(DWORD delayedRunTime) {
  MessageLoop::ScheduleDelayedWork(delayedRunTime);
  int delay = CurrentDelay();
  SetTimer(m_hwnd, TimerId(),
           delay < static_cast<int>(kMinimumTimerMs) ? kMinimumTimerMs : static_cast<UINT>(delay),
           nullptr);
}

LRESULT MessageLoopForUI::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  // Only the loop's own messages, carrying the loop itself: a stray 0xE99 or timer is ignored.
  if ((message == WM_TIMER || message == kWakeMessage) &&
      wParam == static_cast<WPARAM>(GetWindowLongPtrW(hwnd, GWLP_USERDATA))) {
    auto* pLoop = reinterpret_cast<MessageLoopForUI*>(wParam);
    if (message == WM_TIMER) {
      pLoop->OnTimer();
    } else {
      pLoop->OnWake();
    }
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

void MessageLoopForUI::OnTimer() {
  KillTimer(m_hwnd, TimerId());
  DoDelayedWork(&m_nextDelayedRunTime);
  if (CurrentDelay() != -1) ScheduleDelayedWork(m_nextDelayedRunTime);
}

void MessageLoopForUI::OnWake() {
  InterlockedExchange(&m_haveWork, 0);
  if (m_pRunState) return;
  // The main thread: one task per wake message, then wake again for the next, so the window
  // messages queued meanwhile go first.
  if (DoWork()) ScheduleWork();
}

bool MessageLoopForUI::ProcessMessage(const MSG& msg) {
  if (msg.message == WM_QUIT) {
    m_quit = true;
    // For the enclosing loop, if this run is nested.
    PostQuitMessage(static_cast<int>(msg.wParam));
    return false;
  }
  if (msg.hwnd == m_hwnd && msg.message == kWakeMessage) {
    // The wake-up itself is no work: DoWork follows. A waiting paint goes first, and the loop
    // wakes again afterwards.
    MSG paint;
    bool havePaint = PeekMessageW(&paint, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE) != FALSE;
    InterlockedExchange(&m_haveWork, 0);
    if (!havePaint) return false;
    ScheduleWork();
    return ProcessMessage(paint);
  }
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
  return true;
}

}  // namespace AsyncFrame
