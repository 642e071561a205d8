// A phone that reaches the PC only through the server: the phone simulator speaks to the server
// simulator's relay port, which wraps each frame in a 3001 on the PC's communication channel;
// the PC's replies go back as 3002.

#include <filesystem>
#include <fstream>
#include <random>

#include "../common/RecordingUploadAssist.h"
#include "../common/TestFiles.h"
#include "Logic/FileUploadMgr.h"
#include "Logic/PhotoDb.h"
#include "PhoneSim.h"
#include "ServerSessionFixture.h"
#include "uimsg.pb.h"

namespace server_road_test {
namespace {

constexpr int64_t kRelayPhone = 4711;

using test_files::PosixFromWindows;
using test_files::WindowsFromPosix;

std::string BindKeyOf(IOrbalynLogic* pLogic) {
  IOrbalynMessage* pMessage = nullptr;
  if (pLogic->GetBindInfo(&pMessage) != win32::S_OK) return {};
  const win32::BYTE* pData = nullptr;
  int length = 0;
  pMessage->GetPayload(&pData, &length);
  protocol::UIBindInfo info;
  const bool parsed = info.ParseFromArray(pData, length);
  pMessage->Release();
  return parsed ? info.bind_key() : std::string();
}

TEST_F(ServerSessionTest, RelayedPhoneBindsAndUploadsAFile) {
  CServerSim::Options options;
  options.relayPort = 0;
  StartSim(options);
  StartHost(SeededPc(false));
  const std::string work = m_host.Root() + "/backup";
  std::filesystem::create_directories(work);
  auto* pAssist = new test_common::RecordingUploadAssist(WindowsFromPosix(work),
                                                         [] { return CPhotoDb::Instance(); });
  ASSERT_EQ(CFileUploadMgr::Instance()->Advise(pAssist), win32::S_OK);
  LoginOnline();

  phonesim::PhoneSimConfig config;
  config.pcId = kPcId;
  config.phoneId = kRelayPhone;
  config.bindKey = BindKeyOf(Session());
  config.phoneName = "Relay Phone";
  ASSERT_EQ(config.bindKey.size(), 16u);
  phonesim::CPhoneSim phone(config);
  ASSERT_TRUE(phone.Connect("127.0.0.1", m_sim->RelayPort())) << phone.LastError();
  ASSERT_TRUE(phone.Bind(phonesim::BindPath::kFinishUnderDeviceKey)) << phone.LastError();
  ASSERT_TRUE(m_sink.WaitMessage(UIMsg_bind_state, 3, kRelayPhone));
  EXPECT_NE(LogText().find("Device[4711] Bind Req from 互联网"), std::string::npos);

  std::string content(150000, '\0');
  std::mt19937 random(7);
  for (char& byte : content) byte = static_cast<char>(random());
  const std::string local = m_host.Root() + "/phone/IMG_0001.jpg";
  std::filesystem::create_directories(m_host.Root() + "/phone");
  std::ofstream(local, std::ios::binary) << content;
  phonesim::UploadFileSpec spec;
  spec.localPath = local;
  spec.phonePath = "/sdcard/DCIM/Camera/IMG_0001.jpg";
  spec.albumName = "Camera";
  spec.timestampMs = 1700000000000;
  spec.size = static_cast<int64_t>(content.size());
  phonesim::UploadOptions upload;
  upload.maxChunk = 60000;  // a relayed phone frame must fit a server frame
  const phonesim::FileResult result = phone.UploadFile(spec, upload);
  EXPECT_EQ(result.outcome, phonesim::FileOutcome::kInPlace) << result.error;
  ASSERT_TRUE(pAssist->WaitForEnds(1, std::chrono::seconds(20)));
  const auto ends = pAssist->Ends();
  EXPECT_EQ(ends[0].error, win32::S_OK);
  EXPECT_EQ(test_files::ReadWholeFile(PosixFromWindows(ends[0].savePath)), content);
  EXPECT_GE(m_sim->EventCount("relay-to-pc"), 5u);
  EXPECT_GE(m_sim->EventCount("relay-to-phone"), 5u);
  EXPECT_EQ(m_sim->EventCount("relay-reply-dropped"), 0u);

  // A 3001 that does not hold a whole frame is dropped; the session carries on.
  ASSERT_TRUE(m_sim->SendToPc(0, 3001, std::string(20, 'x')));
  ASSERT_TRUE(
      Eventually([] { return LogText().find("OnTransferCommand dropped") != std::string::npos; }));
  EXPECT_TRUE(phone.Heartbeat()) << phone.LastError();
  EXPECT_EQ(State(), CLogicCenter::kStateOnline);

  phone.Disconnect();
  CFileUploadMgr::Instance()->Unadvise();
  pAssist->Release();
}

}  // namespace
}  // namespace server_road_test
