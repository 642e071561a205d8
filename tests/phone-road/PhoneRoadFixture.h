#pragma once
// The fixture of the socket tests: the phone road started with two bound phones, hooks that
// record what reaches the upload manager and the server session, and checks that every test
// leaves the operation pool as it found it.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "../common/Polling.h"
#include "Logic/ClientCommMgr.h"
#include "Logic/ClientCommand.h"
#include "Logic/LogicCenter.h"
#include "Logic/PhotoDb.h"
#include "Logic/PhotoDevice.h"
#include "Logic/PhotoMessage.h"
#include "NetEngine/IOOperation.h"
#include "PhoneRoadTestHost.h"
#include "TestPhone.h"

namespace phone_road_test {

constexpr int64_t kPcId = 0x0011223344556677;
constexpr int64_t kPhoneA = 1001;
constexpr int64_t kPhoneB = 1002;
constexpr int64_t kUnknownPhone = 5555;
inline const std::string kKeyA = "a1b2c3d4e5f60718";
inline const std::string kKeyB = "0f1e2d3c4b5a6978";

// Commands handed to a hook, each with a reference of the recorder's own.
class CommandRecorder {
 public:
  void Add(CClientCommand* pCommand) {
    pCommand->AddRef();
    m_waiter.Signal([&] { m_commands.push_back(pCommand); });
  }
  bool WaitCount(size_t count) {
    return m_waiter.WaitFor([&] { return m_commands.size() >= count; });
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(m_waiter.Mutex());
    return m_commands.size();
  }
  CClientCommand* At(size_t index) {
    std::lock_guard<std::mutex> lock(m_waiter.Mutex());
    return m_commands.at(index);
  }
  void Clear() {
    std::vector<CClientCommand*> commands;
    {
      std::lock_guard<std::mutex> lock(m_waiter.Mutex());
      commands.swap(m_commands);
    }
    for (CClientCommand* pCommand : commands) pCommand->Release();
  }

 private:
  Waiter m_waiter;
  std::vector<CClientCommand*> m_commands;
};

inline CommandRecorder g_uploads;
inline CommandRecorder g_transfers;

inline void RecordUpload(CClientCommand* pCommand) { g_uploads.Add(pCommand); }
inline int RecordTransfer(CClientCommand* pReply) {
  g_transfers.Add(pReply);
  return 1;
}

// Returns once the I/O thread has handled everything queued before the call.
inline bool DrainIoThread() { return test_common::DrainIoThread(std::chrono::seconds(10)); }

// Polls `done` until it holds or the time is up.
inline bool PollUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  return test_common::PollUntil(done, timeout, std::chrono::milliseconds(2));
}

// A device's local state, or -1 when the store does not know it.
inline int LocalStateOf(int64_t id) {
  CPhotoDevice* pDevice = CPhotoDb::Instance()->FindOrCreateDevice(id, false);
  if (!pDevice) return -1;
  int state = pDevice->LocalState();
  pDevice->Release();
  return state;
}

inline int BindStateOf(int64_t id) {
  CPhotoDevice* pDevice = CPhotoDb::Instance()->FindOrCreateDevice(id, false);
  if (!pDevice) return -1;
  int state = pDevice->BindState();
  pDevice->Release();
  return state;
}

inline std::string KeyOf(int64_t id) {
  CPhotoDevice* pDevice = CPhotoDb::Instance()->FindOrCreateDevice(id, false);
  if (!pDevice) return {};
  std::string key = pDevice->Key();
  pDevice->Release();
  return key;
}

class PhoneRoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_poolInUse = CIOOperation::Allocator::Instance()->InUseCountForTesting();
    PhoneRoadSeed seed;
    seed.pcId = kPcId;
    seed.devices = {{kPhoneA, kKeyA, u"Phone A"}, {kPhoneB, kKeyB, u"Phone B"}};
    ASSERT_TRUE(m_host.Start(seed));
    CClientCommMgr::Instance()->SetUploadForwarderForTesting(&RecordUpload);
    CClientCommMgr::Instance()->SetTransferSender(&RecordTransfer);
  }

  void TearDown() override {
    CClientCommMgr::Instance()->ResetForTesting();
    EXPECT_TRUE(DrainIoThread());
    m_host.Stop();
    CPhotoDb::Instance()->ResetForTesting();
    CLogicCenter::Instance()->ClearUiMessages();
    g_uploads.Clear();
    g_transfers.Clear();
    EXPECT_EQ(CIOOperation::Allocator::Instance()->InUseCountForTesting(), m_poolInUse);
  }

  uint16_t Port() const { return m_host.Port(); }
  const std::string& BindKey() const { return m_host.BindKey(); }

  PhoneRoadTestHost m_host;

 private:
  size_t m_poolInUse = 0;
};

}  // namespace phone_road_test
