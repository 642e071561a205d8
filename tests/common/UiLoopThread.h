#pragma once
// A plain thread running the layer's message loop (GetMessageW, TranslateMessage,
// DispatchMessageW), as the host's UI thread does, onto which the test can hand tasks.
//
// Lifetime: the loop starts in the constructor and ends in the destructor, which quits it and
// joins the thread.

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>

#include "win32/base.h"
#include "win32/thread.h"
#include "win32/window.h"

namespace test_common {

class UiLoopThread {
 public:
  UiLoopThread() {
    std::promise<win32::DWORD> started;
    std::future<win32::DWORD> threadId = started.get_future();
    m_thread = std::thread([&started] {
      win32::MSG msg;
      win32::PeekMessageW(&msg, nullptr, 0, 0, win32::PM_NOREMOVE);  // makes the queue
      started.set_value(win32::GetCurrentThreadId());
      while (win32::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (!msg.hwnd && msg.message == kRunTask) {
          (*reinterpret_cast<std::function<void()>*>(msg.lParam))();
          continue;
        }
        win32::TranslateMessage(&msg);
        win32::DispatchMessageW(&msg);
      }
    });
    m_threadId = threadId.get();
  }
  UiLoopThread(const UiLoopThread&) = delete;
  UiLoopThread& operator=(const UiLoopThread&) = delete;
  ~UiLoopThread() {
    Run([] { win32::PostQuitMessage(0); });
    m_thread.join();
  }

  // Runs `task` on the UI thread between two messages and waits for it; false when it could
  // not be handed over or did not finish within `timeout`.
  bool Run(const std::function<void()>& task,
           std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    auto pDone = std::make_shared<std::promise<void>>();
    std::future<void> finished = pDone->get_future();
    auto* pWrapped = new std::function<void()>([task, pDone] {
      task();
      pDone->set_value();
    });
    if (!win32::PostThreadMessageW(m_threadId, kRunTask, 0,
                                   reinterpret_cast<win32::LPARAM>(pWrapped))) {
      delete pWrapped;
      return false;
    }
    // The wrapper is freed once it ran; one still queued after a time-out is left to leak.
    const bool ran = finished.wait_for(timeout) == std::future_status::ready;
    if (ran) delete pWrapped;
    return ran;
  }

  win32::DWORD ThreadId() const { return m_threadId; }

 private:
  static constexpr win32::UINT kRunTask = win32::WM_APP + 7;

  std::thread m_thread;
  win32::DWORD m_threadId = 0;
};

}  // namespace test_common
