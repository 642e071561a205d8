#pragma once
// The item lists the layer hands out: "My Computer", and folders by their Windows-form path.
// Each is one item (a marker, then the path in UTF-16) and the terminator, allocated with malloc
// so that ILFree and CoTaskMemFree both free it.

#include <string>

#include "win32/shell.h"

namespace win32::detail {

PIDLIST_ABSOLUTE MakeDrivesItem();
PIDLIST_ABSOLUTE MakePathItem(const std::u16string& windowsPath);

enum class ItemKind { kForeign, kDrives, kPath };
// What an item list names; *pPath receives a path item's path.
ItemKind ReadItem(PCIDLIST_ABSOLUTE pidl, std::u16string* pPath);

}  // namespace win32::detail
