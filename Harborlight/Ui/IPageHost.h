#pragma once
// What a page of the main window asks of it: host commands by number (2 show the QR page, 3 and
// 4 bind a new phone, 5 back to the photo page, 6 a photo arrived, 7 bind information wanted,
// 11 choose a new backup folder). The argument is null except for code 6, where it points to a
// photo record. The main window implements it; pages hold it without owning it.
// Threading: UI thread only.

#include "win32/base.h"

class IPageHost {
 public:
  virtual win32::HRESULT Command(int code, void* pArgument) = 0;

 protected:
  ~IPageHost() = default;
};
