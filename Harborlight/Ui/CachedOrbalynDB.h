#pragma once
// The process-wide device store the windows read through: fetched from the logic library on
// first use and kept (one reference) until program exit. While the library is not bound the
// store is fetched again at the next use.
// Threading: UI thread only.

#include "Orbalyn/Interface/IOrbalyn.h"

class CachedOrbalynDB {
 public:
  // The store, or null when the logic library is not bound; no reference for the caller.
  static IOrbalynDB* Get();
  // Drops the kept store (at exit, and in tests that unbind the library).
  static void Clear();
};
