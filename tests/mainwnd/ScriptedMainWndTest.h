// The main window against the scripted logic library, and the upload-begin record the library
// sends: shared by the tests that need no real library.

#pragma once

#include <gtest/gtest.h>

#include <string>

#include "LibraryPath.h"
#include "MainWndTestSupport.h"
#include "fakes/ScriptedOrbalyn.h"
#include "uimsg.pb.h"
#include "win32/module.h"

namespace mainwnd_test {

// Loads the scripted library from its own folder, as the window binds it, with a fresh state.
class CScriptedMainWndTest : public CMainWndTestBase {
 protected:
  CScriptedMainWndTest() : CMainWndTestBase(SCRIPTED_ORBALYN_DIR) {}

  void SetUp() override {
    CMainWndTestBase::SetUp();
    if (HasFatalFailure()) return;
    m_hModule = win32::LoadLibraryW(
        LibraryPathInFolder(ui_test::WindowsFromPosix(SCRIPTED_ORBALYN_DIR).c_str(),
                            u"Orbalyn.dll")
            .c_str());
    ASSERT_NE(m_hModule, nullptr);
    auto getState = reinterpret_cast<scripted_orbalyn::ScriptedStateFn>(
        win32::GetProcAddress(m_hModule, scripted_orbalyn::kScriptedStateName));
    ASSERT_NE(getState, nullptr);
    m_pLibrary = getState();
    *m_pLibrary = scripted_orbalyn::State{};
  }
  void TearDown() override {
    CMainWndTestBase::TearDown();
    if (m_hModule) win32::FreeLibrary(m_hModule);
  }

  win32::HMODULE m_hModule = nullptr;
  scripted_orbalyn::State* m_pLibrary = nullptr;
};

// The type-8 record of file `fileId` of phone `deviceId`, saved at `path` (Windows form).
inline CTestMessage UploadBeginMessage(int32_t fileId, int64_t deviceId, const std::string& path,
                                       int64_t size = 1) {
  protocol::UIUploadFileInfo info;
  info.set_file_id(fileId);
  info.set_device_id(deviceId);
  info.set_file_path(path);
  info.set_file_device_path("/DCIM/a.jpg");
  info.set_file_timestamp(1);
  info.set_file_size(size);
  info.set_file_scrc64(1);
  info.set_file_device_subpath("");
  CTestMessage message(UIMsg_upload_begin, 0, deviceId, fileId);
  message.m_hasPayload = info.SerializeToString(&message.m_payload);
  return message;
}

}  // namespace mainwnd_test
