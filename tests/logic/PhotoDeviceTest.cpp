// Devices and device lists: bind and presence states with their UI messages, the complete
// offline step, bind finish with its save and report, and the list's reference rules.

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "Logic/DeviceOfflineHook.h"
#include "Logic/LogicCenter.h"
#include "Logic/PhotoDb.h"
#include "Logic/PhotoDevice.h"
#include "Logic/PhotoDeviceContainer.h"
#include "Logic/PhotoMessage.h"
#include "LogicTestSupport.h"
#include "machine-identity/ReportClientMgr.h"

namespace {

struct Posted {
  int type;
  int value;
  int64_t id;
  bool operator==(const Posted&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Posted& p) {
  return out << "{" << p.type << ", " << p.value << ", " << p.id << "}";
}

std::vector<int64_t> g_offlineCalls;
std::mutex g_offlineMutex;

void RecordOffline(int64_t deviceId) {
  std::lock_guard<std::mutex> lock(g_offlineMutex);
  g_offlineCalls.push_back(deviceId);
}

class CPhotoDeviceTest : public logic_test::SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    CLogicCenter::Instance()->ClearUiMessages();
    CPhotoDb::Instance()->ResetForTesting();
    g_offlineCalls.clear();
    g_deviceOfflineHandler.store(&RecordOffline);
  }
  void TearDown() override {
    g_deviceOfflineHandler.store(nullptr);
    CLogicCenter::Instance()->ClearUiMessages();
    CPhotoDb::Instance()->ResetForTesting();
    SandboxTest::TearDown();
  }

  // Everything queued so far, oldest first.
  static std::vector<Posted> TakePosted() {
    std::vector<Posted> posted;
    while (CPhotoMessage* pMessage = CLogicCenter::Instance()->PopUiMessage()) {
      Posted p{};
      pMessage->GetType(&p.type);
      pMessage->GetValue(&p.value);
      pMessage->GetId(&p.id);
      posted.push_back(p);
      pMessage->Release();
    }
    return posted;
  }

  static std::vector<int64_t> OfflineCalls() {
    std::lock_guard<std::mutex> lock(g_offlineMutex);
    return g_offlineCalls;
  }

  static CPhotoDevice* NewStoredDevice(int64_t id, int bindState) {
    CPhotoDevice* pDevice = CPhotoDb::Instance()->FindOrCreateDevice(id, true);
    pDevice->SetKey("0123456789abcdef");
    pDevice->SetName(u"Phone");
    pDevice->SetBindState(bindState);
    return pDevice;
  }
};

TEST_F(CPhotoDeviceTest, NewDeviceIsUnboundUnknownAndOffline) {
  CPhotoDevice* pDevice = new CPhotoDevice(12);
  int value = -1;
  EXPECT_EQ(pDevice->GetBindState(&value), win32::S_OK);
  EXPECT_EQ(value, 0);
  pDevice->GetRemoteState(&value);
  EXPECT_EQ(value, 0);
  pDevice->GetLocalState(&value);
  EXPECT_EQ(value, 0);
  pDevice->IsOnline(&value);
  EXPECT_EQ(value, 0);
  pDevice->IsOffline(&value);
  EXPECT_EQ(value, 1);
  EXPECT_EQ(pDevice->Release(), 0u);
}

// Presence: only changes are acted on, each with one message.
TEST_F(CPhotoDeviceTest, RemotePresenceChangesPostOnce) {
  CPhotoDevice* pDevice = new CPhotoDevice(7);
  pDevice->SetRemoteState(false);  // unknown stays unknown
  pDevice->SetRemoteState(true);
  pDevice->SetRemoteState(true);
  pDevice->SetRemoteState(false);
  pDevice->SetRemoteState(false);
  EXPECT_EQ(TakePosted(), (std::vector<Posted>{{3, 2, 7}, {3, 1, 7}}));
  EXPECT_EQ(pDevice->RemoteState(), CPhotoDevice::kPresenceAway);
  EXPECT_EQ(OfflineCalls(), std::vector<int64_t>{7});
  pDevice->Release();
}

TEST_F(CPhotoDeviceTest, CompleteOfflineOnlyWhenAwayBothWays) {
  CPhotoDevice* pDevice = new CPhotoDevice(8);
  pDevice->SetLocalState(true);
  pDevice->SetRemoteState(true);
  pDevice->SetLocalState(false);
  EXPECT_TRUE(pDevice->IsOnlineNow());
  EXPECT_TRUE(OfflineCalls().empty());
  pDevice->SetRemoteState(false);
  EXPECT_FALSE(pDevice->IsOnlineNow());
  EXPECT_EQ(OfflineCalls(), std::vector<int64_t>{8});
  EXPECT_EQ(TakePosted(), (std::vector<Posted>{{4, 2, 8}, {3, 2, 8}, {4, 1, 8}, {3, 1, 8}}));
  pDevice->Release();
}

TEST_F(CPhotoDeviceTest, SameChangeFromManyThreadsHappensOnce) {
  CPhotoDevice* pDevice = new CPhotoDevice(9);
  for (bool connected : {true, false}) {
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
      threads.emplace_back([&] {
        while (!go.load()) std::this_thread::yield();
        pDevice->SetLocalState(connected);
      });
    }
    go.store(true);
    for (std::thread& t : threads) t.join();
  }
  EXPECT_EQ(TakePosted(), (std::vector<Posted>{{4, 2, 9}, {4, 1, 9}}));
  EXPECT_EQ(OfflineCalls(), std::vector<int64_t>{9});
  pDevice->Release();
}

// Bind finish
TEST_F(CPhotoDeviceTest, BindFinishSuccessBindsOnceAndSaves) {
  CPhotoDb::Instance()->SetDeviceId(1000);
  CPhotoDevice* pDevice = NewStoredDevice(21, CPhotoDevice::kBindWaiting);
  pDevice->BindFinish(true);
  EXPECT_EQ(pDevice->BindState(), CPhotoDevice::kBindBound);
  std::string settings = logic_test::ReadWholeFile(SettingsPath());
  EXPECT_NE(settings.find("Id=21"), std::string::npos);
  EXPECT_NE(settings.find("DeviceCount=1"), std::string::npos);
  EXPECT_EQ(TakePosted(), (std::vector<Posted>{{5, 3, 21}}));
  pDevice->Release();
}

TEST_F(CPhotoDeviceTest, BindFinishOnLoadedDeviceKeepsStateAndDoesNotSave) {
  CPhotoDevice* pDevice = NewStoredDevice(22, CPhotoDevice::kBindLoaded);
  pDevice->BindFinish(true);
  EXPECT_EQ(pDevice->BindState(), CPhotoDevice::kBindLoaded);
  EXPECT_FALSE(std::filesystem::exists(SettingsPath()));
  pDevice->BindFinish(false);  // a failure does not unbind a bound device either
  EXPECT_EQ(pDevice->BindState(), CPhotoDevice::kBindLoaded);
  EXPECT_EQ(TakePosted(), (std::vector<Posted>{{5, 3, 22}, {5, 0, 22}}));
  pDevice->Release();
}

TEST_F(CPhotoDeviceTest, BindFinishFailureResetsAnUnboundDevice) {
  CPhotoDevice* pDevice = NewStoredDevice(23, CPhotoDevice::kBindRequested);
  pDevice->BindFinish(false);
  EXPECT_EQ(pDevice->BindState(), CPhotoDevice::kBindNone);
  EXPECT_FALSE(std::filesystem::exists(SettingsPath()));
  EXPECT_EQ(TakePosted(), (std::vector<Posted>{{5, 0, 23}}));
  pDevice->Release();
}

// The bind report leaves through the statistics client: kind, id, name, failure flag.
TEST_F(CPhotoDeviceTest, BindFinishSendsTheBindReport) {
  const std::string library = std::string(LUMIDOCK_BIN_DIR) + "/dadovo.so";
  if (!std::filesystem::exists(library)) GTEST_SKIP() << "dadovo.so not built";
  CReportClientMgr* pClient = GetReportClientMgr();
  ASSERT_EQ(pClient->Init(
                logic_test::WindowsFromPosix(std::string(LUMIDOCK_BIN_DIR) + "/dadovo.dll").c_str(),
                win32::TRUE),
            1);
  CPhotoDevice* pDevice = NewStoredDevice(0x0102030405060708, CPhotoDevice::kBindWaiting);
  pDevice->SetName(u"Ab");
  pDevice->BindFinish(false);
  pDevice->Release();
  while (pClient->UserCountForTesting() > 0) pClient->UnInit(0);

  std::string spool = logic_test::ReadWholeFile(Root() + "/statistics/spool.bin");
  ASSERT_GE(spool.size(), 4u + 18u);
  uint32_t length;
  memcpy(&length, spool.data(), 4);
  ASSERT_EQ(spool.size(), 4u + length);
  EXPECT_EQ(static_cast<uint8_t>(spool[4 + 6]), 0x04);  // report id 5892, as it lies in memory
  EXPECT_EQ(static_cast<uint8_t>(spool[4 + 7]), 0x17);
  const std::string block(
      "\0\0\0\x01"
      "\x01\x02\x03\x04\x05\x06\x07\x08"
      "\0\x03"
      "Ab\0"
      "\0\0\0\x01",
      4 + 8 + 2 + 3 + 4);
  ASSERT_GE(spool.size(), block.size());
  EXPECT_EQ(spool.substr(spool.size() - block.size()), block);
}

TEST_F(CPhotoDeviceTest, PhoneTextsLoseLineBreaks) {
  CPhotoDevice* pDevice = new CPhotoDevice(1);
  pDevice->SetName(std::u16string(u"a\r\nb\0c", 6));
  pDevice->SetGuid(u"g\n");
  pDevice->SetZelid(u"\rz");
  EXPECT_EQ(pDevice->Name(), u"a  b c");
  EXPECT_EQ(pDevice->Guid(), u"g ");
  EXPECT_EQ(pDevice->Zelid(), u" z");
  pDevice->Release();
}

// Lists
TEST_F(CPhotoDeviceTest, ContainerHandsOutReferencesAndReleasesItsOwn) {
  CPhotoDevice* pDevice = new CPhotoDevice(3);
  CPhotoDeviceContainer* pList = new CPhotoDeviceContainer();
  pList->Add(pDevice);
  EXPECT_EQ(pDevice->AddRef(), 3u);  // creator, list, this probe
  pDevice->Release();

  int count = -1;
  EXPECT_EQ(pList->GetCount(&count), win32::S_OK);
  EXPECT_EQ(count, 1);
  IOrbalynDevice* pOut = reinterpret_cast<IOrbalynDevice*>(0x1);
  EXPECT_EQ(pList->GetAt(-1, &pOut), win32::S_FALSE);
  EXPECT_EQ(pOut, nullptr);
  pOut = reinterpret_cast<IOrbalynDevice*>(0x1);
  EXPECT_EQ(pList->GetAt(1, &pOut), win32::S_FALSE);
  EXPECT_EQ(pOut, nullptr);
  EXPECT_EQ(pList->GetAt(0, nullptr), win32::E_INVALIDARG);
  ASSERT_EQ(pList->GetAt(0, &pOut), win32::S_OK);
  EXPECT_EQ(pOut, static_cast<IOrbalynDevice*>(pDevice));
  EXPECT_EQ(pOut->Release(), 2u);

  EXPECT_EQ(pList->Release(), 0u);
  EXPECT_EQ(pDevice->Release(), 0u);  // the list gave its reference back
}

}  // namespace
