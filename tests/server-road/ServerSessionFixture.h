#pragma once
// The fixture of the session tests: a server simulator on 127.0.0.1 that ORBALYN_ENTRY_SERVER
// points at, the library's parts started around it, shrunk session periods, and the check that
// every test leaves the operation pool as it found it.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>

#include "CServerSim.h"
#include "Logic/LogicCenter.h"
#include "NetEngine/IOOperation.h"
#include "ServerRoadTestHost.h"

namespace server_road_test {

constexpr int64_t kPcId = 700000000777;
constexpr int64_t kPhoneA = 1001;
constexpr int64_t kPhoneB = 1002;
constexpr int64_t kPhoneC = 1003;
inline const std::string kIdKey = "5e55104e1d4b3a21";
inline const std::string kKeyA = "a1b2c3d4e5f60718";
inline const std::string kKeyB = "0f1e2d3c4b5a6978";
inline const std::string kKeyC = "c0ffee00c0ffee11";

inline Seed SeededPc(bool withPhones) {
  Seed seed;
  seed.pcId = kPcId;
  seed.idKey = kIdKey;
  if (withPhones) {
    seed.devices = {
        {kPhoneA, kKeyA, u"Phone A"}, {kPhoneB, kKeyB, u"Phone B"}, {kPhoneC, kKeyC, u"Phone C"}};
  }
  return seed;
}

class ServerSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_inUse = CIOOperation::Allocator::Instance()->InUseCountForTesting();
    // Far above a loopback login, even under the sanitizers.
    m_periods.stepTimeoutMs = 15000;
  }

  void TearDown() override {
    StopAll();
    unsetenv("ORBALYN_ENTRY_SERVER");
    EXPECT_EQ(CIOOperation::Allocator::Instance()->InUseCountForTesting(), m_inUse);
  }

  void StopAll() {
    m_host.Stop();
    if (m_sim) m_sim->Stop();
    m_sim.reset();
    m_sink.Clear();
  }

  void StartSim(CServerSim::Options options = {}) {
    m_sim = std::make_unique<CServerSim>(std::move(options));
    ASSERT_TRUE(m_sim->Start());
    const std::string entry = "127.0.0.1:" + std::to_string(m_sim->EntryPort());
    setenv("ORBALYN_ENTRY_SERVER", entry.c_str(), 1);
  }

  void StartHost(const Seed& seed) {
    Session()->SetPeriodsForTesting(m_periods);
    ASSERT_TRUE(m_host.Start(seed, &m_sink));
    if (seed.pcId != 0 && m_sim) m_sim->AddPc(seed.pcId, seed.idKey);
  }

  // Logs in and waits for the online state.
  void LoginOnline() {
    Session()->Login();
    ASSERT_TRUE(m_sink.WaitMessage(UIMsg_login_state, CLogicCenter::kStateOnline));
  }

  void AddFault(const char* pSpec, int times = 0) {
    CFaultPlan::Fault fault;
    ASSERT_TRUE(CFaultPlan::Parse(pSpec, &fault)) << pSpec;
    fault.remaining = times;
    m_sim->Faults().Add(fault);
  }

  static CLogicCenter* Session() { return CLogicCenter::Instance(); }
  static int State() {
    int state = -1;
    Session()->GetLoginState(&state);
    return state;
  }

  SessionPeriods m_periods;
  RecordingSink m_sink;
  ServerRoadHost m_host;
  std::unique_ptr<CServerSim> m_sim;

 private:
  size_t m_inUse = 0;
};

}  // namespace server_road_test
