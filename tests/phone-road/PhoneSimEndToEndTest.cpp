// The phone simulator (the peers' own frame and cipher code) against the phone road, end to
// end: binding as the QR page starts it, with the UI thread's view of it.

#include <fstream>
#include <memory>
#include <sstream>

#include "PhoneRoadFixture.h"
#include "PhoneSim.h"

namespace phone_road_test {
namespace {

using PhoneSimEndToEndTest = PhoneRoadTest;

phonesim::PhoneSimConfig SimConfig(int64_t phoneId, const std::string& bindKey,
                                   const std::string& name) {
  phonesim::PhoneSimConfig config;
  config.pcId = kPcId;
  config.phoneId = phoneId;
  config.bindKey = bindKey;
  config.phoneName = name;
  config.phoneStr = "guid-" + std::to_string(phoneId);
  config.replyTimeoutMs = 10000;
  return config;
}

std::string ReadSettings() {
  std::ifstream in(PhoneRoadTestHost::SettingsPath(), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST_F(PhoneSimEndToEndTest, BindIssuesOneKeyAndTheUiSeesEveryStepInOrder) {
  RecordingSink sink;
  auto pUi = std::make_unique<HeadlessUiThread>(&sink);
  ASSERT_TRUE(pUi->WindowReady());
  const int64_t phoneId = 6161;

  phonesim::CPhoneSim phone(SimConfig(phoneId, BindKey(), "Ostra 7a"));
  ASSERT_TRUE(phone.Connect("127.0.0.1", Port())) << phone.LastError();
  // Each handler's effects follow its reply: the drain makes them visible.
  ASSERT_TRUE(phone.BindRequest(nullptr)) << phone.LastError();
  ASSERT_TRUE(DrainIoThread());
  const std::string key = phone.DeviceKey();
  EXPECT_EQ(KeyOf(phoneId), key);
  EXPECT_EQ(BindStateOf(phoneId), CPhotoDevice::kBindRequested);
  ASSERT_TRUE(phone.BindWait(0, 2)) << phone.LastError();
  ASSERT_TRUE(DrainIoThread());
  EXPECT_EQ(BindStateOf(phoneId), CPhotoDevice::kBindWaiting);
  ASSERT_TRUE(phone.BindFinish(true, 2)) << phone.LastError();
  ASSERT_TRUE(DrainIoThread());
  EXPECT_EQ(BindStateOf(phoneId), CPhotoDevice::kBindBound);
  for (bool ok : {phone.Login(), phone.Heartbeat(), phone.Report(), phone.Logout()}) {
    EXPECT_TRUE(ok) << phone.LastError();
  }

  // A second bind request, on a new connection, answers the same key and takes the new name;
  // the phone stays bound.
  phonesim::CPhoneSim again(SimConfig(phoneId, BindKey(), "Ostra 7a (2)"));
  ASSERT_TRUE(again.Connect("127.0.0.1", Port())) << again.LastError();
  ASSERT_TRUE(again.BindRequest(nullptr)) << again.LastError();
  EXPECT_EQ(again.DeviceKey(), key);
  ASSERT_TRUE(DrainIoThread());
  EXPECT_EQ(BindStateOf(phoneId), CPhotoDevice::kBindBound);
  CPhotoDevice* pDevice = CPhotoDb::Instance()->FindOrCreateDevice(phoneId, false);
  ASSERT_NE(pDevice, nullptr);
  EXPECT_EQ(pDevice->Name(), u"Ostra 7a (2)");
  pDevice->Release();

  ASSERT_TRUE(sink.WaitFor([](const std::vector<UiRecord>& records) {
    int count = 0;
    for (const UiRecord& record : records) count += record.type == UIMsg_bind_state;
    return count == 4;
  }));
  std::vector<int> values;
  for (const UiRecord& record : sink.OfType(UIMsg_bind_state)) {
    values.push_back(record.value);
    EXPECT_EQ(record.id, phoneId);
    EXPECT_EQ(record.threadId, pUi->ThreadId());
  }
  EXPECT_EQ(values, (std::vector<int>{1, 2, 3, 1}));
  std::vector<UiRecord> local = sink.OfType(UIMsg_device_local_state);
  ASSERT_FALSE(local.empty());
  EXPECT_EQ(local[0].value, 2);
  pUi.reset();

  const std::string settings = ReadSettings();
  EXPECT_NE(settings.find("Id=6161"), std::string::npos);
  EXPECT_NE(settings.find("Key=" + key), std::string::npos);
  EXPECT_NE(LogText().find("Device[6161] Login from 局域网"), std::string::npos);
}

// The settings file holds the phone by the time its 6005 reply arrives, and the texts it gave
// keep everything but NULs and bidirectional controls.
TEST_F(PhoneSimEndToEndTest, BoundPhoneIsOnDiskBeforeItHearsSoWithItsTextsCleaned) {
  const int64_t phoneId = 6363;
  phonesim::CPhoneSim phone(
      SimConfig(phoneId, BindKey(), std::string("Pix\0el \u202Egpj.exe\u2066 7a", 23)));
  ASSERT_TRUE(phone.Connect("127.0.0.1", Port())) << phone.LastError();
  ASSERT_TRUE(phone.Bind(phonesim::BindPath::kFinishUnderDeviceKey)) << phone.LastError();
  const std::string settings = ReadSettings();
  EXPECT_NE(settings.find("Id=6363\r\nKey=" + phone.DeviceKey() + "\r\n"), std::string::npos)
      << settings;
  EXPECT_NE(settings.find("Name=Pixel gpj.exe 7a\r\n"), std::string::npos) << settings;
  CPhotoDevice* pDevice = CPhotoDb::Instance()->FindOrCreateDevice(phoneId, false);
  ASSERT_NE(pDevice, nullptr);
  EXPECT_EQ(pDevice->Name(), u"Pixel gpj.exe 7a");
  pDevice->Release();
}

TEST_F(PhoneSimEndToEndTest, BindUnderTheBindKeyAloneThenXorCommands) {
  phonesim::PhoneSimConfig config = SimConfig(6262, BindKey(), "Marlo");
  config.encodeType = 1;
  phonesim::CPhoneSim phone(config);
  ASSERT_TRUE(phone.Connect("127.0.0.1", Port())) << phone.LastError();
  ASSERT_TRUE(phone.Bind(phonesim::BindPath::kAllBindKey)) << phone.LastError();
  ASSERT_TRUE(DrainIoThread());
  EXPECT_EQ(BindStateOf(6262), CPhotoDevice::kBindBound);
  EXPECT_TRUE(phone.Heartbeat()) << phone.LastError();
  EXPECT_TRUE(phone.Login()) << phone.LastError();
}

}  // namespace
}  // namespace phone_road_test
