#pragma once

#include "Common/Singleton.h"
#include "UploadAssistCore.h"

// The program's upload assistant, registered once with the library's uploader when the main
// window sets up the logic. It starts with the work dir the device store holds (empty when there
// is no store or no value yet) and asks the bound library's store at each question.
// Lifetime: built at first use by Singleton<CUploadAssist>::Instance, destroyed at exit.
// Threading: as CUploadAssistCore.
class CUploadAssist final : public CUploadAssistCore, public Singleton<CUploadAssist> {
 private:
  friend class Singleton<CUploadAssist>;

  CUploadAssist();
  ~CUploadAssist() override;
};
