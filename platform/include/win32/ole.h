#pragma once
// OLE start-up for a thread: an apartment-threaded COM apartment (win32/com.h). Drag and drop and
// the clipboard, which OLE would add on Windows, do not exist here.

#include "win32/base.h"

namespace win32 {

// As CoInitializeEx (apartment-threaded): S_OK, S_FALSE again on the same thread (each counted),
// RPC_E_CHANGED_MODE on a multithreaded thread (not counted).
WIN32_API HRESULT OleInitialize(LPVOID reserved);
// Undoes one counted OleInitialize.
WIN32_API void OleUninitialize();

}  // namespace win32
