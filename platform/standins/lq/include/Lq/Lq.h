#pragma once
// The UI framework's free functions: making its objects and building elements from the layout
// file. The program's custom-object factory is set with Util::Lq::SetCustomObjectFactory of the
// platform library (Basalt/Util.h); the framework's own classes are registered with the platform
// core by Util::Boot::InitPlatformLqConfig.
// Threading: UI thread only.

#include "Lq/LqInterfaces.h"

struct IKwTimerCallback;

namespace Util::Lq {

// Makes an object of the framework (or of the program's factory, which the framework asks
// first, then of a class registered with the platform core after the framework's own, such as
// the picture library's picture object): the program passes the class id as the interface id
// too. REGDB_E_CLASSNOTREG for a class nobody makes; *ppObject is null on failure.
win32::HRESULT CreateObject(win32::REFCLSID clsid, win32::REFIID riid, void** ppObject);

// Builds the elements of "platformskein:<file>|<frame>". `pLayoutFolder` names the folder of the
// file (ending with a separator); null, empty or a bare name (a platform core's name) means the
// running core's layout folder. With `pParent` the new tree is appended to it; without one a
// frame whose root is a window becomes a top-level with its native window (hidden until shown).
// *ppElement gets one reference. Fails (and logs "<path>:<line>:<column>: <what>") for a file
// that cannot be read or parsed and for a frame it lacks; nothing is built then.
win32::HRESULT RawCreateLqElementBySkein(const win32::WCHAR* pReference, ILqElement** ppElement,
                                         ILqElement* pParent, const win32::WCHAR* pLayoutFolder,
                                         win32::DWORD flags);

}  // namespace Util::Lq

namespace lq {

// Registers the framework's classes (menu, popup host window, container, tab item, picture)
// with the platform core's class table.
void RegisterClasses();

// The test port reports `pCallback`'s KwTimers as the window's (null hwnd: forgets it); on a view
// that does not report timers nothing happens.
void SetTimerOwner(IKwTimerCallback* pCallback, win32::HWND hwnd);

}  // namespace lq
