#pragma once
// KwTimer's host for tests: a clock that moves only when told.

#include "Basalt/KwTimer.h"

class CKwManualTimerHost final : public IKwTimerHost {
 public:
  CKwManualTimerHost() = default;
  CKwManualTimerHost(const CKwManualTimerHost&) = delete;
  CKwManualTimerHost& operator=(const CKwManualTimerHost&) = delete;

  // Moves the clock forward, stopping at each wake-up on the way to run the due timers.
  void Advance(uint64_t ms);
  uint64_t WakeTime() const { return m_wakeMs; }

  // IKwTimerHost:
  uint64_t NowMs() override { return m_nowMs; }
  void WakeAt(uint64_t dueMs) override { m_wakeMs = dueMs; }

 private:
  uint64_t m_nowMs = 1000;
  uint64_t m_wakeMs = kNever;
};
