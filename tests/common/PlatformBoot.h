#pragma once
// The platform core started as the program starts it, for tests and benchmarks that build
// windows from the layout file: the test's thread as the UI thread, "Harborlight.tpc" in `root`
// naming the runtime folder's layout and pictures, the core object, the file system and the UI
// framework's configuration.

#include <string>

#include "Basalt/CKwBSTR.h"
#include "Basalt/Util.h"
#include "TestFiles.h"
#include "win32/thread.h"

namespace test_common {

// The core object (the caller releases it, after Shutdown), or null when it could not be made.
inline IKwCore* StartPlatform(const std::string& root, const char* pBinDir) {
  Util::Misc::SetMainAndLogicThreadId(win32::GetCurrentThreadId(), 0);
  const std::string config = root + "/Harborlight.tpc";
  test_files::WriteWholeFile(config, std::string("layout=") + pBinDir + "/layout/\nres=" +
                                         pBinDir + "/res/\n");
  IKwCore* pCore = nullptr;
  if (Util::Com::CreateObjectFromDllFile(u"Basalt.dll", CLSID_KwCore, IID_IKwCore,
                                         reinterpret_cast<void**>(&pCore), nullptr) != win32::S_OK) {
    return nullptr;
  }
  Util::CoreCenter::InitPlatform(CKwBSTR(test_files::WindowsFromPosix(config).c_str()));
  Util::Boot::InitPlatformFileSystem();
  Util::Boot::InitPlatformLqConfig();
  return pCore;
}

}  // namespace test_common
