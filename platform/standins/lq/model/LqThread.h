#pragma once
// The framework's thread rule: everything runs on the UI thread (Util::Misc::GetMainThreadId).
// Checked in every build, since release builds drop assert().

#include "win32/base.h"

namespace lq {

// True on the UI thread. Elsewhere logs "<function> called off the UI thread", raises the
// platform assertion and answers false.
bool OnUiThread(const char* pFunction);

}  // namespace lq

// At the top of a COM method: answer RPC_E_WRONG_THREAD off the UI thread.
#define LQ_UI_THREAD_ONLY() \
  if (!::lq::OnUiThread(__func__)) return RPC_E_WRONG_THREAD
