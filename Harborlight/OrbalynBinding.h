#pragma once
// The binding of the logic library: "Orbalyn.dll" loaded at run time, its root interface taken
// from the export GetIOrbalyn and started, and the interfaces handed out to the user interface.
// No reference is counted on the root (its AddRef and Release do nothing).
// Threading: the main thread only; the interfaces handed out follow their own contracts.

#include "Orbalyn/Interface/IOrbalyn.h"
#include "win32/base.h"

// 1 when the library (from `pFolder`, or the program's folder for null or empty) loaded, had
// a root, and the root's Start returned 0; otherwise 0, with nothing left loaded. A second call
// while bound returns 0 and changes nothing.
int LoadOrbalyn(const win32::WCHAR* pFolder);
// The root's Stop result, with the library freed; 0 when not bound.
win32::HRESULT UnloadOrbalyn();
// The root's interfaces, or null when not bound (or when the root has none: before Start and
// after Stop).
IOrbalynLogic* GetOrbalynLogic();
IOrbalynDB* GetOrbalynDB();
IOrbalynUploader* GetOrbalynUploader();
// 1 when the uploader accepted the assistant, 0 when there is no uploader or it refused.
int RegisterUploadAssist(IOrbalynUploadAssist* pAssist);

// Tests only: hands out `pRoot`'s interfaces as if a library were bound (nothing is loaded,
// started or stopped); null forgets it.
void SetOrbalynRootForTesting(IOrbalyn* pRoot);
