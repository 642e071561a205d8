#include "ServerRoadTestHost.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <system_error>

#include "../common/Polling.h"
#include "../common/TestFiles.h"
#include "Logic/ClientCommMgr.h"
#include "Logic/FileUploadMgr.h"
#include "Logic/LocalServer.h"
#include "Logic/LogicCenter.h"
#include "Logic/PhotoDb.h"
#include "Logic/PhotoDevice.h"
#include "NetEngine/ABConnectionThread.h"
#include "NetEngine/ADNSResolver.h"
#include "NetEngine/IOThread.h"
#include "NetEngine/NetHelpers.h"

namespace server_road_test {

namespace {

constexpr win32::DWORD kThreadStopMs = 10000;

// The library log of the whole run lives outside the per-test roots.
[[maybe_unused]] ::testing::Environment* const g_pLogEnvironment =
    ::testing::AddGlobalTestEnvironment(
        new test_common::LogFolderEnvironment("server-road-log", "server_road_tests", false));

}  // namespace

// --- ServerRoadHost ---

bool ServerRoadHost::Start(const Seed& seed, IOrbalynLogicSink* pSink) {
  if (m_started) return true;
  m_root = test_files::MakeTempFolder("server-road");
  if (m_root.empty()) return false;
  setenv("LUMIDOCK_ROOT", m_root.c_str(), 1);
  if (!test_common::WriteSettingsSeed(seed)) return false;
  m_started = true;
  m_pSink = pSink;
  if (CIOThread::Instance()->Start() != 0) return false;
  if (!CADNSResolver::Instance()->Start()) return false;
  if (CABConnectionThread::Instance()->Start() != 0) return false;
  if (!CPhotoDb::Instance()->Open()) return false;
  CClientCommMgr::Instance()->Start();
  if (CFileUploadMgr::Instance()->Start() != 0) return false;
  bool sessionStarted = false;
  m_ui.Run([&] {
    sessionStarted =
        CLogicCenter::Instance()->Start() && CLogicCenter::Instance()->Advise(pSink) == win32::S_OK;
  });
  if (!sessionStarted) return false;
  CLocalServer::Instance()->Start();
  return Eventually([&] { return (m_localPort = CLocalServer::Instance()->GetPort()) != 0; });
}

void ServerRoadHost::Stop() {
  if (!m_started) return;
  m_started = false;
  CLocalServer::Instance()->Close();
  m_ui.Run([&] {
    CLogicCenter::Instance()->Stop();
    CLogicCenter::Instance()->Unadvise(m_pSink);
  });
  CFileUploadMgr::Instance()->Stop();
  CClientCommMgr::Instance()->Stop();
  CClientCommMgr::Instance()->ResetForTesting();
  DrainIoThread();
  CPhotoDb::Instance()->Save();
  CPhotoDb::Instance()->ClearDevices();
  CABConnectionThread::Instance()->Stop(kThreadStopMs);
  CADNSResolver::Instance()->Stop();
  DrainIoThread();
  CIOThread::Instance()->Stop(kThreadStopMs);
  CLogicCenter::Instance()->ResetForTesting();
  CLogicCenter::Instance()->ClearUiMessages();
  CPhotoDb::Instance()->ResetForTesting();
  m_localPort = 0;
  std::error_code ignored;
  std::filesystem::remove_all(m_root, ignored);
}

// --- Helpers ---

std::string Setting(const char16_t* pSection, const char16_t* pKey) {
  std::u16string path;
  if (!CPhotoDb::SettingsFilePath(&path)) return {};
  return WideToUtf8(CPhotoDb::ReadValue(path, pSection, pKey, u""));
}

bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  return test_common::PollUntil(done, timeout, std::chrono::milliseconds(5));
}

int RemoteStateOf(int64_t id) {
  CPhotoDevice* pDevice = CPhotoDb::Instance()->FindOrCreateDevice(id, false);
  if (!pDevice) return -1;
  const int state = pDevice->RemoteState();
  pDevice->Release();
  return state;
}

bool HasDevice(int64_t id) { return RemoteStateOf(id) != -1; }

}  // namespace server_road_test
