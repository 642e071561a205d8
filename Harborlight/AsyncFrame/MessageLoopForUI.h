#pragma once
// The window-based loop every task thread uses: a message-only window of class
// "MsgLoopWndClass.AsyncFrame" on the loop's thread, woken by one posted 0xE99 at a time, with a
// window timer (at least 10 ms) for delayed tasks.
// Worker threads run it (DoRunLoop); the main thread never does: its tasks run one per wake
// message from the window procedure, inside the program's own message loop, so window messages
// and tasks take turns.
// Threading: ScheduleWork from any thread; the rest on the loop's thread.

#include "AsyncFrame/MessageLoop.h"
#include "win32/window.h"

namespace AsyncFrame {

class MessageLoopForUI final : public MessageLoop {
 public:
  static constexpr win32::UINT kWakeMessage = 0xE99;
  static constexpr win32::UINT kMinimumTimerMs = 10;
  static constexpr char16_t kWindowClass[] = u"MsgLoopWndClass.AsyncFrame";

  // Creates the window on the calling thread.
  MessageLoopForUI();
  ~MessageLoopForUI() override;

  // MessageLoop:
  void ScheduleWork() override;
  void DoRunLoop() override;
  void WaitForWork() override;
  void ScheduleDelayedWork(win32::DWORD delayedRunTime) override;

  win32::HWND Window() const { return m_hwnd; }

 private:
  static win32::LRESULT WindowProc(win32::HWND hwnd, win32::UINT message, win32::WPARAM wParam,
                                   win32::LPARAM lParam);
  void OnTimer();
  void OnWake();
  // One message taken from the queue; whether it counts as work done.
  bool ProcessMessage(const win32::MSG& msg);
  win32::UINT_PTR TimerId() const { return reinterpret_cast<win32::UINT_PTR>(this); }

  win32::HWND m_hwnd = nullptr;  // set in the constructor, then constant
};

}  // namespace AsyncFrame
