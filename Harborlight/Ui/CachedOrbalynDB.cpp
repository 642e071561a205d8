#include "CachedOrbalynDB.h"

#include "OrbalynBinding.h"

namespace {

IOrbalynDB* g_pDB = nullptr;  // one reference

}  // namespace

IOrbalynDB* CachedOrbalynDB::Get() {
  if (!g_pDB) g_pDB = GetOrbalynDB();
  return g_pDB;
}

void CachedOrbalynDB::Clear() {
  if (g_pDB) g_pDB->Release();
  g_pDB = nullptr;
}
