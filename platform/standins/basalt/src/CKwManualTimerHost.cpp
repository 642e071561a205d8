#include "Basalt/CKwManualTimerHost.h"

#include <algorithm>

void CKwManualTimerHost::Advance(uint64_t ms) {
  uint64_t target = m_nowMs + ms;
  while (m_wakeMs <= target) {
    m_nowMs = std::max(m_nowMs, m_wakeMs);
    uint64_t wake = m_wakeMs;
    KwTimer::RunDueTimers();
    // A timer that keeps itself due at the same moment would stop the clock: step on.
    if (m_wakeMs == wake && m_wakeMs <= m_nowMs) ++m_nowMs;
  }
  m_nowMs = target;
}
