#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "Interface/IOrbalyn.h"
#include "NetEngine/Singleton.h"
#include "NetEngine/ThreadAnnotations.h"
#include "win32/sync.h"
#include "win32/window.h"

class CPhotoMessage;

// Posted to the hidden window whenever UI messages wait in the queue (WM_USER + 101).
inline constexpr win32::UINT kWmUiMessage = 1125;

// The session with the servers; here, its half that talks to the host's user interface: the
// queue of UI messages, the hidden window that delivers them on the host's UI thread, and the
// host's logic sink.
// Lifetime: process-wide singleton, destroyed at exit. Start creates the window, Stop destroys
//   it; Start and Stop may alternate any number of times.
// Threading: the Post/Queue/Pop/Clear operations may be called from any thread. Start, Stop
//   and SetLogicSink run on the host's UI thread, which is also where the window procedure
//   calls the sink, so the sink pointer needs no lock. m_queueLock guards the queue and
//   m_channelLock the window handle; the two are never held together, and neither is held
//   while the sink runs, so a sink may call back into the logic.
class CLogicCenter : public Singleton<CLogicCenter> {
 public:
  CLogicCenter(const CLogicCenter&) = delete;
  CLogicCenter& operator=(const CLogicCenter&) = delete;

  // Creates the hidden window on the calling thread unless it exists. Returns whether the
  // window exists afterwards.
  bool Start();
  // Destroys the window, drops every queued message and, when a sink is registered, hands it
  // one login-state message (stopped) directly on this thread. The sink stays registered.
  void Stop();

  // Replaces the sink, holding one reference to it; null forgets it.
  void SetLogicSink(IOrbalynLogicSink* pSink);

  // Each appends one new message and announces it to the window.
  void PostUiMessage(int type, int value, int64_t id, int param1, int param2);
  // A UIMsg_upload_finish message carrying `length` bytes.
  void PostUiMessagePayload(int value, int64_t id, const void* pBytes, size_t length);
  // Appends a message the caller built and keeps: the queue takes a reference of its own.
  void QueueUiMessage(CPhotoMessage* pMessage);
  // The oldest message with the queue's reference, which passes to the caller; null when empty.
  CPhotoMessage* PopUiMessage();
  // Releases every queued message.
  void ClearUiMessages();

  // Tests only.
  win32::HWND WindowForTesting();
  size_t QueuedCountForTesting();

 private:
  friend class Singleton<CLogicCenter>;

  CLogicCenter();
  ~CLogicCenter() override;

  static win32::LRESULT WindowProc(win32::HWND hwnd, win32::UINT message, win32::WPARAM wParam,
                                   win32::LPARAM lParam);

  // Takes over the caller's reference.
  void AppendUiMessage(CPhotoMessage* pMessage);
  void AnnounceUiMessages();
  void DeliverUiMessages();

  // UI thread only. One reference held.
  IOrbalynLogicSink* m_pSink = nullptr;

  win32::CRITICAL_SECTION m_queueLock;
  // Destroyed by Stop on the thread that created it.
  win32::HWND m_hWnd GUARDED_BY(m_channelLock) = nullptr;
  // Each entry holds one reference.
  std::deque<CPhotoMessage*> m_uiMessages GUARDED_BY(m_queueLock);

  win32::CRITICAL_SECTION m_channelLock;
};
