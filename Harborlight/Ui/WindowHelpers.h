#pragma once
// Routines the windows share: building an element from the layout with the platform core's
// layout folder, the program's own folder, and the backup folder from the device store.
// Threading: UI thread only.

#include <string>

#include "Basalt/KwInterfaces.h"
#include "Lq/LqInterfaces.h"
#include "win32/window.h"

// Builds "platformskein:..." through the UI framework with the layout folder of `pCore` (or of
// the running core when null) and hands out `riid` of the new element with one reference.
// E_FAIL when the element lacks that interface (the element is released then).
win32::HRESULT CreateLqElementFromLayout(const win32::WCHAR* pReference, win32::REFIID riid,
                                         void** ppElement, ILqElement* pParent, IKwCore* pCore);

// The program's folder with a trailing backslash, kept for the process; false while it cannot be
// told (fewer than 3 characters).
bool GetModuleDir(std::u16string* pDir);

// The backup folder of the device store; false when there is no store.
bool ReadWorkDir(std::u16string* pDir);

// The clicked menu item's "name" read as a number, as _wtol reads it (blanks, a sign, the
// leading digits; 0 without any); false when the event carries no name.
bool ReadMenuItemNumber(ILqEvent* pEvent, long* pNumber);

// An element's text; empty for a null element or one without text.
std::u16string ElementText(ILqElement* pElement);

// A message-only window of the class (registered here; an earlier registration is used as it
// is) whose messages go to `procedure`; null when it cannot be made.
win32::HWND CreateMessageWindow(const win32::WCHAR* pClassName, win32::WNDPROC procedure,
                                win32::DWORD style = 0);
