#pragma once
// KwTimer's host on a GLib main context: one timeout source at the earliest deadline.
// Threading: the context's thread only.

#include "Basalt/KwTimer.h"

// GLib's own names; glib.h stays out of headers, since its TRUE and FALSE macros would break the
// layer's constants of the same names.
typedef struct _GMainContext GMainContext;
typedef struct _GSource GSource;

class CKwGLibTimerHost final : public IKwTimerHost {
 public:
  // Holds a reference to `context`.
  explicit CKwGLibTimerHost(GMainContext* pContext);
  CKwGLibTimerHost(const CKwGLibTimerHost&) = delete;
  CKwGLibTimerHost& operator=(const CKwGLibTimerHost&) = delete;
  ~CKwGLibTimerHost() override;

  // IKwTimerHost:
  uint64_t NowMs() override;
  void WakeAt(uint64_t dueMs) override;

 private:
  GMainContext* const m_pContext;
  GSource* m_pSource = nullptr;
};
