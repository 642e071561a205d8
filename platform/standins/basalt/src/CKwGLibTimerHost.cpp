#include "Basalt/CKwGLibTimerHost.h"

#include <algorithm>

// After the layer's headers (its TRUE and FALSE must be declared before GLib's macros).
#include <glib.h>

namespace {

gboolean OnTimeout(gpointer) {
  // RunDueTimers re-arms the host, which destroys this source: it never repeats by itself.
  KwTimer::RunDueTimers();
  return G_SOURCE_REMOVE;
}

}  // namespace

CKwGLibTimerHost::CKwGLibTimerHost(GMainContext* pContext)
    : m_pContext(g_main_context_ref(pContext)) {}

CKwGLibTimerHost::~CKwGLibTimerHost() {
  WakeAt(kNever);
  g_main_context_unref(m_pContext);
}

uint64_t CKwGLibTimerHost::NowMs() { return static_cast<uint64_t>(g_get_monotonic_time() / 1000); }

void CKwGLibTimerHost::WakeAt(uint64_t dueMs) {
  if (m_pSource) {
    g_source_destroy(m_pSource);
    g_source_unref(m_pSource);
    m_pSource = nullptr;
  }
  if (dueMs == kNever) return;
  uint64_t now = NowMs();
  guint delay = static_cast<guint>(std::min<uint64_t>(dueMs > now ? dueMs - now : 0, G_MAXUINT));
  m_pSource = g_timeout_source_new(delay);
  g_source_set_callback(m_pSource, OnTimeout, nullptr, nullptr);
  g_source_attach(m_pSource, m_pContext);
}
