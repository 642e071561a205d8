#include "AsyncFrame/Task.h"

#include "win32/time.h"

namespace AsyncFrame {

Task::Task() : m_creationTime(win32::GetTickCount()) {}

}  // namespace AsyncFrame
