// The calling thread's message queue as a GLib source, and the loops that run it.

#include <glib-unix.h>
#include <glib.h>

#include <algorithm>

#include "win32/gui.h"
#include "win32/message_pump.h"

namespace win32 {
namespace {

// A plain struct GLib allocates and frees: nothing in it has a destructor.
struct QueueSource {
  GSource base;
  gpointer fdTag;
};

// Ready when a sent or posted message or a due timer waits; otherwise the poll may sleep until
// the next timer, and the wake descriptor ends the sleep early.
gboolean QueuePrepare(GSource*, gint* pTimeout) {
  DWORD next = INFINITE;
  if (IsQueueReady(&next)) {
    *pTimeout = 0;
    return TRUE;
  }
  *pTimeout = next == INFINITE ? -1 : static_cast<gint>(std::min<DWORD>(next, G_MAXINT));
  return FALSE;
}

// Clears the descriptor before looking, so a ring whose news is already taken cannot keep the
// loop spinning.
gboolean QueueCheck(GSource* pSource) {
  auto* pQueue = reinterpret_cast<QueueSource*>(pSource);
  if (g_source_query_unix_fd(pSource, pQueue->fdTag) & G_IO_IN) DrainQueueWake();
  return IsQueueReady(nullptr);
}

// One message per dispatch, so GTK's input and drawing interleave with a flood of posts. Posted
// messages run at the default priority, above redraws, as Windows produces WM_PAINT only when
// nothing is posted.
gboolean QueueDispatch(GSource*, GSourceFunc, gpointer) {
  DispatchOneMessage();
  return G_SOURCE_CONTINUE;
}

GSourceFuncs g_queueFuncs = {QueuePrepare, QueueCheck, QueueDispatch, nullptr, nullptr, nullptr};

// This thread's attachment.
thread_local GSource* t_pSource = nullptr;
thread_local GMainContext* t_pContext = nullptr;
thread_local int t_wakeFd = -1;  // what the queue source polls

gboolean StopWaiting(gpointer pFlag) {
  *static_cast<bool*>(pFlag) = true;
  return G_SOURCE_REMOVE;
}

// GetMessageW and the other waits sleep here: one iteration of the context, which also runs
// this thread's queue source and everything else attached (GTK input, other timers), woken by
// the queue's descriptor or the time limit. The queue source already polls that descriptor;
// a source of its own is added only for another one. Adding and removing a polled descriptor
// signals the context's own wake-up, so doing it on every wait would end each poll at once and
// the thread would never sleep.
void WaitInContext(int wakeFd, DWORD milliseconds) {
  GMainContext* pContext = t_pContext;
  if (!pContext) return;
  GSource* pWake = nullptr;
  if (wakeFd != t_wakeFd) {
    pWake = g_unix_fd_source_new(wakeFd, G_IO_IN);
    g_source_set_name(pWake, "w32-wait-fd");
    g_source_set_callback(pWake, G_SOURCE_FUNC(+[](gint, GIOCondition, gpointer) -> gboolean {
                            return G_SOURCE_CONTINUE;
                          }),
                          nullptr, nullptr);
    g_source_attach(pWake, pContext);
  }
  bool timedOut = false;
  GSource* pTimer = nullptr;
  if (milliseconds != INFINITE) {
    pTimer = g_timeout_source_new(milliseconds);
    g_source_set_name(pTimer, "w32-wait-limit");
    g_source_set_callback(pTimer, StopWaiting, &timedOut, nullptr);
    g_source_attach(pTimer, pContext);
  }
  g_main_context_iteration(pContext, TRUE);
  for (GSource* pSource : {pWake, pTimer}) {
    if (!pSource) continue;
    g_source_destroy(pSource);
    g_source_unref(pSource);
  }
}

}  // namespace

bool AttachMessagePump(GMainContext* pContext) {
  if (!pContext) return false;
  DetachMessagePump();
  int fd = GetQueueWakeFd();
  if (fd < 0) return false;
  GSource* pSource = g_source_new(&g_queueFuncs, sizeof(QueueSource));
  g_source_set_name(pSource, "w32-queue");
  g_source_set_priority(pSource, G_PRIORITY_DEFAULT);
  // Modal loops run from inside a message's dispatch; without this the queue would stall in
  // every one of them.
  g_source_set_can_recurse(pSource, TRUE);
  reinterpret_cast<QueueSource*>(pSource)->fdTag = g_source_add_unix_fd(pSource, fd, G_IO_IN);
  g_source_attach(pSource, pContext);
  t_pSource = pSource;
  t_pContext = g_main_context_ref(pContext);
  t_wakeFd = fd;
  SetMessageWaitHook(WaitInContext);
  return true;
}

void DetachMessagePump() {
  if (!t_pSource) return;
  SetMessageWaitHook(nullptr);
  g_source_destroy(t_pSource);
  g_source_unref(t_pSource);
  g_main_context_unref(t_pContext);
  t_pSource = nullptr;
  t_pContext = nullptr;
  t_wakeFd = -1;
}

bool RunModalLoop(const bool* pEnded) {
  GMainContext* pContext = t_pContext ? t_pContext : g_main_context_default();
  while (!*pEnded) {
    if (IsQuitPending()) return false;
    g_main_context_iteration(pContext, TRUE);
  }
  return true;
}

}  // namespace win32
