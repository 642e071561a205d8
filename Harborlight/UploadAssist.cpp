#include "UploadAssist.h"

#include "OrbalynBinding.h"
#include "win32/oleauto.h"

using namespace win32;

namespace {

std::u16string StoredWorkDir() {
  IOrbalynDB* pDb = GetOrbalynDB();
  if (!pDb) return std::u16string();
  BSTR dir = nullptr;
  std::u16string workDir;
  if (pDb->GetWorkDir(&dir) == S_OK && dir) workDir.assign(dir, SysStringLen(dir));
  SysFreeString(dir);
  return workDir;
}

}  // namespace

CUploadAssist::CUploadAssist() : CUploadAssistCore(StoredWorkDir(), &GetOrbalynDB) {}

CUploadAssist::~CUploadAssist() = default;
