#include "LqThread.h"

#include "Basalt/KwDiag.h"
#include "Basalt/Util.h"
#include "win32/thread.h"

using namespace win32;

namespace lq {

bool OnUiThread(const char* pFunction) {
  DWORD current = GetCurrentThreadId();
  if (current == Util::Misc::GetMainThreadId()) return true;
  KwLogW(u"Lq", u"Lq::%hs called off the UI thread (thread %u)", pFunction ? pFunction : "",
         current);
  KwAssert("Lq called off the UI thread", __FILE_NAME__, __LINE__);
  return false;
}

}  // namespace lq
