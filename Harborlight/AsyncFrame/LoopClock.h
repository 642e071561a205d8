#pragma once
// The loops' clock: milliseconds since its first reading in the process, 32-bit. Delayed tasks'
// run times are readings of it.

#include "win32/base.h"

namespace AsyncFrame {

// The first reading stores GetTickCount as the base (once, for every thread). A reading is the
// tick count minus the base, and one less once the tick count has wrapped below the base.
win32::DWORD LoopClockNow();

}  // namespace AsyncFrame
