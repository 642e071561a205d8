#include "PhoneRoadTestHost.h"

#include <gtest/gtest.h>

#include "../common/Polling.h"
#include "Logic/ClientCommMgr.h"
#include "Logic/LocalServer.h"
#include "Logic/LogicCenter.h"
#include "Logic/PhotoDb.h"
#include "NetEngine/ABConnectionThread.h"
#include "NetEngine/IOThread.h"

namespace phone_road_test {

namespace {

constexpr win32::DWORD kThreadStopMs = 10000;

// One sandbox root per test process; the library log goes there too.
[[maybe_unused]] ::testing::Environment* const g_pSandbox = ::testing::AddGlobalTestEnvironment(
    new test_common::LogFolderEnvironment("phone-road", "phone_road_tests", true));

}  // namespace

// --- PhoneRoadTestHost ---

bool PhoneRoadTestHost::Start(const PhoneRoadSeed& seed) {
  if (m_started) return true;
  if (!test_common::WriteSettingsSeed(seed)) return false;
  m_started = true;
  if (CIOThread::Instance()->Start() != 0) return false;
  if (CABConnectionThread::Instance()->Start() != 0) return false;
  if (!CPhotoDb::Instance()->Open()) return false;
  CClientCommMgr::Instance()->Start();
  CLocalServer::Instance()->Start();
  m_bindKey = CPhotoDb::Instance()->BindKey(true);
  return test_common::PollUntil([&] { return (m_port = CLocalServer::Instance()->GetPort()) != 0; },
                                std::chrono::seconds(10), std::chrono::milliseconds(2));
}

void PhoneRoadTestHost::Stop() {
  if (!m_started) return;
  m_started = false;
  CLocalServer::Instance()->Close();
  CClientCommMgr::Instance()->Stop();
  CPhotoDb::Instance()->Save();
  CPhotoDb::Instance()->ClearDevices();
  CABConnectionThread::Instance()->Stop(kThreadStopMs);
  CIOThread::Instance()->Stop(kThreadStopMs);
  m_port = 0;
}

std::string PhoneRoadTestHost::SettingsPath() { return test_common::SettingsFilePosixPath(); }

// --- HeadlessUiThread ---

HeadlessUiThread::HeadlessUiThread(IOrbalynLogicSink* pSink) {
  Run(
      [this, pSink] {
        CLogicCenter::Instance()->SetLogicSink(pSink);
        m_windowReady = CLogicCenter::Instance()->Start();
      },
      std::chrono::seconds(20));
}

HeadlessUiThread::~HeadlessUiThread() {
  Run(
      [] {
        CLogicCenter::Instance()->Stop();
        CLogicCenter::Instance()->SetLogicSink(nullptr);
      },
      std::chrono::seconds(20));
}

}  // namespace phone_road_test
