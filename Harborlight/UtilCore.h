#pragma once
// The program's factory for the UI framework's custom objects, handed to the platform library at
// start-up.

#include "win32/base.h"

namespace Util::Core {

// Asks the running platform core to make the object; non-zero when it did. Without a core it
// asserts and answers 0.
win32::BOOL CreateObject(win32::REFCLSID clsid, win32::REFIID riid, void** ppObject);

}  // namespace Util::Core
