#include "Basalt/KwTimer.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "Basalt/CKwGLibTimerHost.h"
#include "Basalt/KwDiag.h"
#include "Basalt/Util.h"
#include "win32/thread.h"

// After the layer's headers (its TRUE and FALSE must be declared before GLib's macros).
#include <glib.h>

using namespace win32;

namespace {

struct Timer {
  IKwTimerCallback* pCallback;  // one reference
  UINT id;
  uint64_t intervalMs;
  uint64_t dueMs;
  bool repeat;
  uint64_t serial;     // order among timers due at the same moment
  uint64_t armedPass;  // the pass count when it was last set or fired: due only in a later pass
};

// The timers of the UI thread.
// Threading: UI thread only, so no lock; every call-back runs with no iterator held, and the
//   table is searched afresh after each, since a call-back may change it.
class CTimerTable {
 public:
  bool Set(DWORD ms, IKwTimerCallback* pCallback, UINT id, bool repeat) {
    if (!pCallback) return false;
    uint64_t now = Host().NowMs();
    auto it = Find(pCallback, id);
    if (it == m_timers.end()) {
      pCallback->AddRef();
      m_timers.push_back(Timer{pCallback, id, ms, 0, repeat, 0, 0});
      it = m_timers.end() - 1;
    }
    it->intervalMs = ms;
    it->dueMs = now + ms;
    it->repeat = repeat;
    it->serial = ++m_nextSerial;
    // Set from a call-back, it waits for the next pass, or a 0 ms timer that sets itself again
    // would keep this pass going for ever.
    it->armedPass = m_pass;
    Rearm();
    return true;
  }

  bool Erase(IKwTimerCallback* pCallback, UINT id) {
    std::vector<IKwTimerCallback*> released;
    std::erase_if(m_timers, [&](const Timer& timer) {
      bool match = timer.pCallback == pCallback && (id == 0 || timer.id == id);
      if (match) released.push_back(timer.pCallback);
      return match;
    });
    Rearm();
    // After the table is consistent: a last release may run code that erases more timers.
    for (IKwTimerCallback* pReleased : released) pReleased->Release();
    return !released.empty();
  }

  void RunDue() {
    uint64_t pass = ++m_pass;
    for (;;) {
      uint64_t now = Host().NowMs();
      auto due = m_timers.end();
      for (auto it = m_timers.begin(); it != m_timers.end(); ++it) {
        if (it->dueMs > now || it->armedPass >= pass) continue;
        if (due == m_timers.end() || it->dueMs < due->dueMs ||
            (it->dueMs == due->dueMs && it->serial < due->serial)) {
          due = it;
        }
      }
      if (due == m_timers.end()) break;
      IKwTimerCallback* pCallback = due->pCallback;
      UINT id = due->id;
      // Held for the call, so a call-back that erases its own timers, or drops what was its last
      // reference, still returns into a live object.
      pCallback->AddRef();
      if (due->repeat) {
        due->dueMs = now + std::max<uint64_t>(due->intervalMs, 1);
        due->armedPass = m_pass;
      } else {
        m_timers.erase(due);
        pCallback->Release();  // the timer's; the call's reference keeps it alive
      }
      pCallback->OnTimer(id);
      pCallback->Release();
    }
    Rearm();
  }

  void SetHost(IKwTimerHost* pHost) {
    uint64_t oldNow = Host().NowMs();
    Host().WakeAt(IKwTimerHost::kNever);
    m_pHost = pHost;
    uint64_t newNow = Host().NowMs();
    for (Timer& timer : m_timers) {
      timer.dueMs = newNow + (timer.dueMs > oldNow ? timer.dueMs - oldNow : 0);
    }
    Rearm();
  }

  size_t Count() const { return m_timers.size(); }

  std::vector<KwTimer::TimerInfo> List() {
    uint64_t now = Host().NowMs();
    std::vector<KwTimer::TimerInfo> list;
    for (const Timer& timer : m_timers) {
      list.push_back({timer.pCallback, timer.id, timer.intervalMs,
                      timer.dueMs > now ? timer.dueMs - now : 0, timer.repeat});
    }
    return list;
  }

 private:
  std::vector<Timer>::iterator Find(IKwTimerCallback* pCallback, UINT id) {
    return std::find_if(m_timers.begin(), m_timers.end(), [&](const Timer& timer) {
      return timer.pCallback == pCallback && timer.id == id;
    });
  }

  void Rearm() {
    uint64_t next = IKwTimerHost::kNever;
    for (const Timer& timer : m_timers) next = std::min(next, timer.dueMs);
    Host().WakeAt(next);
  }

  IKwTimerHost& Host() {
    if (m_pHost) return *m_pHost;
    if (!m_pDefaultHost) {
      m_pDefaultHost = std::make_unique<CKwGLibTimerHost>(g_main_context_default());
    }
    return *m_pDefaultHost;
  }

  std::vector<Timer> m_timers;
  uint64_t m_nextSerial = 0;
  uint64_t m_pass = 0;
  IKwTimerHost* m_pHost = nullptr;
  std::unique_ptr<CKwGLibTimerHost> m_pDefaultHost;
};

CTimerTable& Table() {
  static CTimerTable* pTable = new CTimerTable;  // leaky: call-backs may outlive static teardown
  return *pTable;
}

bool OnUiThread() {
  if (GetCurrentThreadId() == Util::Misc::GetMainThreadId()) return true;
  KwAssert("KwTimer called off the UI thread", __FILE_NAME__, __LINE__);
  return false;
}

}  // namespace

namespace KwTimer {

bool SetTimeout(DWORD ms, IKwTimerCallback* pCallback, UINT timerId) {
  return OnUiThread() && Table().Set(ms, pCallback, timerId, false);
}

bool SetInterval(DWORD ms, IKwTimerCallback* pCallback, UINT timerId) {
  return OnUiThread() && Table().Set(ms, pCallback, timerId, true);
}

bool EraseTimerCallback(IKwTimerCallback* pCallback, UINT timerId) {
  return OnUiThread() && Table().Erase(pCallback, timerId);
}

void RunDueTimers() { Table().RunDue(); }

void SetHost(IKwTimerHost* pHost) {
  if (OnUiThread()) Table().SetHost(pHost);
}

size_t TimerCountForTesting() { return Table().Count(); }

std::vector<TimerInfo> LiveTimersForTesting() {
  if (!OnUiThread()) return {};
  return Table().List();
}

}  // namespace KwTimer
