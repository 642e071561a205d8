// The server session against the server simulator: the login road and each step's failure,
// time-outs and retries, heartbeats, presence notices, the unbind requests both ways, the
// logic interface and the statistics reports.

#include <filesystem>
#include <fstream>
#include <sstream>

#include "Interface/IOrbalyn.h"
#include "Logic/CommandKey.h"
#include "Logic/PhotoDb.h"
#include "Logic/PhotoMessage.h"
#include "Logic/ServerChannel.h"
#include "Logic/ServerCommand.h"
#include "NetEngine/NetHelpers.h"
#include "ServerSessionFixture.h"
#include "machine-identity/ReportClientMgr.h"
#include "msg.pb.h"
#include "uimsg.pb.h"

namespace server_road_test {
namespace {

using Values = std::vector<int>;

std::string BigEndian64(int64_t value) {
  std::string bytes;
  for (int i = 7; i >= 0; --i) bytes.push_back(static_cast<char>(uint64_t(value) >> (8 * i)));
  return bytes;
}

std::string Enciphered(const std::string& key, const std::string& plain) {
  CCommandKey cipher;
  cipher.SetKey(key);
  return cipher.Encrypt(CCommandKey::kTypeAes, plain.data(), plain.size());
}

std::string NoticeUnbind(int64_t pcId, int64_t phoneId, const std::string& record) {
  protocol::C2SNoticePhoneUnbind notice;
  notice.set_id_pc(pcId);
  notice.set_id_phone(phoneId);
  notice.set_unbind_info(record);
  return notice.SerializeAsString();
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The whole road, then what the logic interface tells about it.
TEST_F(ServerSessionTest, LoginRoadRegistersProvesItselfAndGoesOnline) {
  StartSim();
  StartHost(Seed{});
  auto* const pSentinel = reinterpret_cast<IOrbalynMessage*>(uintptr_t{0x5a});
  IOrbalynMessage* pInfo = pSentinel;
  EXPECT_EQ(Session()->GetBindInfo(&pInfo), 1);  // not registered: nothing, and no login
  EXPECT_EQ(pInfo, pSentinel);
  EXPECT_EQ(State(), CLogicCenter::kStateStopped);

  LoginOnline();
  EXPECT_EQ(m_sink.Values(UIMsg_login_result), Values{0});
  EXPECT_EQ(m_sink.Values(UIMsg_login_state), (Values{1, 2}));
  for (const char* pEvent : {"register", "time", "redirect", "login"}) {
    EXPECT_EQ(m_sim->EventCount(pEvent), 1u) << pEvent;
  }
  ASSERT_TRUE(m_sim->WaitForEvent("get-unbind-info", 1, 10000));
  EXPECT_GE(m_sim->EventCount("check-key"), 2u);
  EXPECT_EQ(m_sim->EventCount("check-key-rejected"), 0u);

  const int64_t pcId = CPhotoDb::Instance()->DeviceId();
  ASSERT_GT(pcId, 0);
  EXPECT_EQ(Setting(u"Basic", u"DeviceId"), std::to_string(pcId));
  EXPECT_EQ(Setting(u"Basic", u"DeviceIdKey"), m_sim->IdKeyOf(pcId));
  const auto login = m_sim->LastLogin();
  ASSERT_TRUE(login.has_value());
  EXPECT_EQ(login->idPc, pcId);
  EXPECT_EQ(login->pcGuid.size(), 32u);
  EXPECT_EQ(login->softVersion,
            (int64_t{1} << 48) | (int64_t{2} << 32) | (int64_t{10065} << 16) | 201);
  EXPECT_EQ(login->localIp, "127.0.0.1");
  EXPECT_EQ(login->localPort, m_host.LocalPort());
  const std::string log = LogText();
  EXPECT_TRUE(Contains(log, "Register Device success: id=" + std::to_string(pcId)));
  EXPECT_TRUE(
      Contains(log, "Login Request: id=" + std::to_string(pcId) + ", version=1.2.10065.201"));
  EXPECT_TRUE(
      Contains(log, "Begin ConnectServer: ip=127.0.0.1:" + std::to_string(m_sim->CommPort())));

  // Registered: the bind information carries the PC and its local server, with one key per run.
  std::string keys[2];
  for (std::string& key : keys) {
    IOrbalynMessage* pMessage = nullptr;
    ASSERT_EQ(Session()->GetBindInfo(&pMessage), win32::S_OK);
    int type = -1;
    int value = -1;
    int64_t id = 0;
    const win32::BYTE* pData = nullptr;
    int length = 0;
    pMessage->GetType(&type);
    pMessage->GetValue(&value);
    pMessage->GetId(&id);
    pMessage->GetPayload(&pData, &length);
    protocol::UIBindInfo info;
    ASSERT_TRUE(info.ParseFromArray(pData, length));
    pMessage->Release();
    EXPECT_EQ(type, UIMsg_bind_info);
    EXPECT_EQ(value, 2);
    EXPECT_EQ(id, pcId);
    EXPECT_EQ(info.id_pc(), pcId);
    EXPECT_EQ(info.local_ip(), "127.0.0.1");
    EXPECT_EQ(info.local_port(), m_host.LocalPort());
    key = info.bind_key();
  }
  EXPECT_EQ(keys[0].size(), 16u);
  EXPECT_EQ(keys[0], keys[1]);

  // Login while online repeats the state and starts nothing.
  m_sink.Clear();
  ASSERT_EQ(Session()->Login(), win32::S_OK);
  ASSERT_TRUE(m_sink.WaitMessage(UIMsg_login_state, CLogicCenter::kStateOnline));
  ASSERT_TRUE(DrainIoThread());
  EXPECT_EQ(m_sim->EventCount("login"), 1u);
  EXPECT_TRUE(m_sink.Values(UIMsg_login_result).empty());
}

TEST_F(ServerSessionTest, StoredIdSkipsRegistrationAndReportsBoundPhones) {
  StartSim();
  StartHost(SeededPc(true));
  m_sim->SetPhoneOnline(kPhoneA, true, false);
  LoginOnline();
  EXPECT_EQ(m_sim->EventCount("register"), 0u);
  const auto login = m_sim->LastLogin();
  ASSERT_TRUE(login.has_value());
  EXPECT_EQ(login->phones, (std::vector<int64_t>{kPhoneA, kPhoneB, kPhoneC}));
  EXPECT_TRUE(m_sink.WaitMessage(UIMsg_device_remote_state, 2, kPhoneA));
  EXPECT_EQ(RemoteStateOf(kPhoneB), 0);
}

// Each step's failure ends the attempt in state 3 with the step's message, and nothing wrong is
// kept: the server's bad values are checked before they are used.
struct StepFault {
  const char* pFault;
  bool registered;
  int result;
};

void PrintTo(const StepFault& fault, std::ostream* pOut) { *pOut << fault.pFault; }

class ServerStepFailureTest : public ServerSessionTest,
                              public ::testing::WithParamInterface<StepFault> {};

TEST_P(ServerStepFailureTest, EndsInState3WithTheStepsMessage) {
  m_periods.stepTimeoutMs = 3000;  // only the wrong-command case waits for it
  StartSim();
  AddFault(GetParam().pFault);
  StartHost(GetParam().registered ? SeededPc(false) : Seed{});
  Session()->Login();
  ASSERT_TRUE(m_sink.WaitMessage(UIMsg_login_state, CLogicCenter::kStateOffline));
  EXPECT_EQ(m_sink.Values(UIMsg_login_result), Values{GetParam().result});
  EXPECT_EQ(State(), CLogicCenter::kStateOffline);
  EXPECT_EQ(m_sim->EventCount("login"), 0u);
  if (!GetParam().registered) {
    EXPECT_EQ(CPhotoDb::Instance()->DeviceId(), 0);
    EXPECT_EQ(Setting(u"Basic", u"DeviceId"), "0");
    EXPECT_EQ(Setting(u"Basic", u"DeviceIdKey"), Seed{}.idKey);
    EXPECT_TRUE(CPhotoDb::Instance()->IdKey().empty());
  }
  if (GetParam().result == CLogicCenter::kLoginTimedOut) {
    EXPECT_TRUE(Eventually([] { return Session()->ChannelCountForTesting() == 0; }));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ServerStepFailureTest,
    ::testing::Values(
        StepFault{"refuse", false, 2}, StepFault{"register-id-zero", false, 2},
        StepFault{"register-id-negative", false, 2}, StepFault{"register-short-key", false, 2},
        // Keys a settings file cannot give back as they came.
        StepFault{"register-long-key", false, 2}, StepFault{"register-key-line-feed", false, 2},
        StepFault{"register-key-nul", false, 2}, StepFault{"register-key-non-ascii", false, 2},
        StepFault{"register-key-quoted", false, 2},
        StepFault{"close-mid-frame:5001", true, 3}, StepFault{"bad-magic:5001", true, 3},
        StepFault{"short-length:5001", true, 3}, StepFault{"long-length:5001", true, 3},
        StepFault{"close-mid-frame:1007", true, 4}, StepFault{"redirect-host-name", true, 4},
        StepFault{"redirect-broadcast-ip", true, 4}, StepFault{"redirect-port-zero", true, 4},
        StepFault{"redirect-port-big", true, 4}, StepFault{"refuse-comm", true, 5},
        // A reply of another step on this connection proves nothing: time-out.
        StepFault{"wrong-command:5001", true, 6}));

TEST_F(ServerSessionTest, UnresolvableEntryServerIsStep1) {
  StartSim();
  StartHost(SeededPc(false));
  // An IPv6 literal has no IPv4 address, and asks no DNS server about it.
  Session()->SetEntryServerForTesting("::1", 443);
  Session()->Login();
  ASSERT_TRUE(m_sink.WaitMessage(UIMsg_login_state, CLogicCenter::kStateOffline));
  EXPECT_EQ(m_sink.Values(UIMsg_login_result), Values{1});
  EXPECT_TRUE(Contains(LogText(), "Redirect server dns failed"));
}

TEST_F(ServerSessionTest, RepliesInPiecesStillLogIn) {
  StartSim();
  AddFault("one-byte");
  StartHost(SeededPc(false));
  LoginOnline();
  EXPECT_GE(m_sim->EventCount("fault"), 3u);
}

// Time-outs and the retry: an attempt of the retry timer (state 3) times out too, and its login
// fetches the unbind list without a second "login succeeded".
TEST_F(ServerSessionTest, StepTimeoutEndsTheAttemptAndTheRetryTriesAgain) {
  m_periods.stepTimeoutMs = 400;
  m_periods.retryMs = 300;
  StartSim();
  AddFault("no-answer:5001", 2);
  StartHost(SeededPc(false));
  Session()->Login();
  ASSERT_TRUE(m_sink.WaitMessage(UIMsg_login_state, CLogicCenter::kStateOnline));
  EXPECT_EQ(m_sink.Values(UIMsg_login_result), (Values{6, 6}));
  EXPECT_EQ(m_sink.Values(UIMsg_login_state), (Values{1, 3, 3, 2}));
  EXPECT_EQ(m_sim->EventCount("time"), 3u);
  EXPECT_TRUE(m_sim->WaitForEvent("get-unbind-info", 1, 10000));
}

// Heartbeats: at the redirect's interval, clamped both ways; a server that stops answering
// them is dropped and the retry logs in anew.
TEST_F(ServerSessionTest, HeartbeatsFollowTheRedirectInterval) {
  m_periods.heartbeatFloorMs = 200;
  CServerSim::Options options;
  options.heartbeatCycle = 1;
  StartSim(options);
  StartHost(SeededPc(false));
  LoginOnline();
  const auto online = std::chrono::steady_clock::now();
  EXPECT_EQ(Session()->HeartbeatIntervalMsForTesting(), 1000u);
  ASSERT_TRUE(m_sim->WaitForEvent("heartbeat", 2, 10000));
  EXPECT_GE(std::chrono::steady_clock::now() - online, std::chrono::milliseconds(1900));
  EXPECT_EQ(m_sim->EventCount("heartbeat-rejected"), 0u);
  EXPECT_EQ(State(), CLogicCenter::kStateOnline);
}

TEST_F(ServerSessionTest, HeartbeatIntervalIsClampedBothWays) {
  m_periods.heartbeatFloorMs = 10000;
  CServerSim::Options options;
  options.heartbeatCycle = 2;
  StartSim(options);
  StartHost(SeededPc(false));
  LoginOnline();
  EXPECT_EQ(Session()->HeartbeatIntervalMsForTesting(), 10000u);
  StopAll();

  StartSim();
  AddFault("redirect-huge-heartbeat");
  StartHost(SeededPc(false));
  LoginOnline();
  EXPECT_EQ(Session()->HeartbeatIntervalMsForTesting(), 3600u * 1000u);
}

TEST_F(ServerSessionTest, UnansweredHeartbeatsDropTheServerAndTheRetryLogsInAgain) {
  m_periods.heartbeatFloorMs = 100;
  m_periods.retryMs = 300;
  CServerSim::Options options;
  options.heartbeatCycle = 0;
  StartSim(options);
  AddFault("half-open");
  StartHost(SeededPc(false));
  LoginOnline();
  ASSERT_TRUE(m_sim->WaitForEvent("comm-closed", 1, 10000));
  ASSERT_TRUE(m_sink.WaitMessage(UIMsg_login_state, CLogicCenter::kStateOffline));
  m_sim->Faults().Clear();
  EXPECT_TRUE(Contains(LogText(), "Comm Channel disconnect: op=3, error=10060"));
  ASSERT_TRUE(m_sim->WaitForEvent("get-unbind-info", 2, 10000));
  ASSERT_TRUE(Eventually([] { return State() == CLogicCenter::kStateOnline; }));
  // Neither the drop of an online session nor a retry's login is a "login result".
  EXPECT_EQ(m_sink.Values(UIMsg_login_result), Values{0});
}

// Presence: notices, the login and heartbeat lists; replies and notices count only on the
// channel that expects them.
TEST_F(ServerSessionTest, NoticesAndHeartbeatListsDriveRemoteStates) {
  m_periods.heartbeatFloorMs = 100;
  CServerSim::Options options;
  options.heartbeatCycle = 0;
  StartSim(options);
  StartHost(SeededPc(true));
  LoginOnline();
  m_sim->SetPhoneOnline(kPhoneA, true, true);
  ASSERT_TRUE(m_sink.WaitMessage(UIMsg_device_remote_state, 2, kPhoneA));
  m_sim->SetPhoneOnline(kPhoneA, false, true);
  ASSERT_TRUE(m_sink.WaitMessage(UIMsg_device_remote_state, 1, kPhoneA));
  // The heartbeat reply's list is the whole truth, with or without notices.
  m_sim->SetPhoneOnline(kPhoneB, true, false);
  ASSERT_TRUE(m_sink.WaitMessage(UIMsg_device_remote_state, 2, kPhoneB));
  m_sim->SetPhoneOnline(kPhoneB, false, false);
  ASSERT_TRUE(m_sink.WaitMessage(UIMsg_device_remote_state, 1, kPhoneB));

  protocol::C2SPcCreateUinResp stray;
  stray.set_version(1);
  stray.set_id_pc(424242);
  stray.set_id_key("ffffffffffffffff");
  ASSERT_TRUE(m_sim->SendToPc(0, protocol::C2S_pc_create_uin, stray.SerializeAsString()));
  ASSERT_TRUE(Eventually([] { return Contains(LogText(), "ignored: cmd=1008 on Tag=4"); }));
  EXPECT_EQ(CPhotoDb::Instance()->DeviceId(), kPcId);
  EXPECT_EQ(CPhotoDb::Instance()->IdKey(), kIdKey);
}

// Unbinds made on the phone reach the PC as a notice or in the unbind list.
TEST_F(ServerSessionTest, UnbindNoticeRemovesAMatchingPhoneOnly) {
  StartSim();
  StartHost(SeededPc(true));
  m_sim->SetPhoneKey(kPhoneA, kKeyA);
  m_sim->SetPhoneKey(kPhoneB, "ffffffffffffffff");  // not the key the PC holds
  LoginOnline();
  ASSERT_TRUE(m_sim->NoticePhoneUnbind(0, kPhoneB));
  // Too short once deciphered, and one for another PC: both ignored.
  ASSERT_TRUE(m_sim->SendToPc(0, protocol::C2S_notice_phone_unbind,
                              NoticeUnbind(kPcId, kPhoneC, Enciphered(kIdKey, "8 bytes!"))));
  ASSERT_TRUE(m_sim->SendToPc(
      0, protocol::C2S_notice_phone_unbind,
      NoticeUnbind(kPcId, kPhoneC,
                   Enciphered(kIdKey, BigEndian64(kPcId + 1) + BigEndian64(kPhoneC) + kKeyC))));
  // A good notice for C, but as if it came on an entry-server connection: ignored.
  CServerChannel* pEntryChannel = new CServerChannel(Session(), CLogicCenter::kTagRegister);
  CServerCommand* pNotice = CServerCommand::Create(protocol::C2S_notice_phone_unbind, 256);
  const std::string body = NoticeUnbind(
      kPcId, kPhoneC, Enciphered(kIdKey, BigEndian64(kPcId) + BigEndian64(kPhoneC) + kKeyC));
  ASSERT_TRUE(pNotice->SetBody(body.data(), static_cast<uint32_t>(body.size())));
  EXPECT_EQ(Session()->OnCommand(pEntryChannel, pNotice), 0);
  pNotice->Release();
  pEntryChannel->Release();
  ASSERT_TRUE(DrainIoThread());
  EXPECT_TRUE(Contains(LogText(), "ignored: cmd=4005 on Tag=1"));
  ASSERT_TRUE(m_sim->NoticePhoneUnbind(0, kPhoneA));
  ASSERT_TRUE(m_sink.WaitMessage(UIMsg_unbind, 1, kPhoneA));
  EXPECT_FALSE(HasDevice(kPhoneA));
  EXPECT_TRUE(HasDevice(kPhoneB));
  EXPECT_TRUE(HasDevice(kPhoneC));
  EXPECT_EQ(Setting(u"Basic", u"DeviceCount"), "2");
  EXPECT_EQ(m_sink.Values(UIMsg_unbind), Values{1});
  const std::string log = LogText();
  EXPECT_TRUE(Contains(log, "unbind record ignored: 8 bytes deciphered"));
  EXPECT_TRUE(Contains(log, "unbind record ignored: pc id=" + std::to_string(kPcId + 1)));

  ASSERT_TRUE(m_sim->WaitForEvent("unbind", 1, 10000));
  const auto unbinds = m_sim->ReceivedUnbinds();
  ASSERT_EQ(unbinds.size(), 1u);
  EXPECT_EQ(unbinds[0].idPhone, kPhoneA);
  EXPECT_EQ(unbinds[0].phoneKey, kKeyA);
  EXPECT_TRUE(m_sim->WaitForEvent("clear-unbind-info", 1, 10000));
  EXPECT_EQ(m_sim->EventCount("check-key-rejected"), 0u);
}

TEST_F(ServerSessionTest, UnbindListOfThreePostsOneMessageAndEveryRequestLeaves) {
  StartSim();
  StartHost(SeededPc(true));
  for (auto [id, key] : {std::pair{kPhoneA, kKeyA}, {kPhoneB, kKeyB}, {kPhoneC, kKeyC}}) {
    m_sim->SetPhoneKey(id, key);
    ASSERT_TRUE(m_sim->QueueUnbindInfo(kPcId, id));
  }
  LoginOnline();
  ASSERT_TRUE(m_sink.WaitMessage(UIMsg_unbind, 3));
  EXPECT_EQ(m_sink.Values(UIMsg_unbind), Values{3});
  EXPECT_EQ(Setting(u"Basic", u"DeviceCount"), "0");
  // One record leaves per connection; each 1009 reply sends the next.
  ASSERT_TRUE(m_sim->WaitForEvent("unbind", 3, 10000));
  std::vector<int64_t> phones;
  for (const auto& unbind : m_sim->ReceivedUnbinds()) phones.push_back(unbind.idPhone);
  EXPECT_EQ(phones, (std::vector<int64_t>{kPhoneA, kPhoneB, kPhoneC}));
  EXPECT_TRUE(m_sim->WaitForEvent("clear-unbind-info", 1, 10000));
}

// Unbinds made on the PC: each one reaches the server, also when the server left the previous
// request's connection open.
TEST_F(ServerSessionTest, UnbindsInARowEachReachTheServer) {
  m_periods.sideChannelMs = 500;
  StartSim();
  StartHost(SeededPc(true));
  LoginOnline();
  ASSERT_TRUE(m_sim->WaitForEvent("get-unbind-info", 1, 10000));
  AddFault("no-answer:1009", 1);
  ASSERT_EQ(Session()->UnbindDevice(kPhoneA), win32::S_OK);
  ASSERT_EQ(Session()->UnbindDevice(kPhoneB), win32::S_OK);
  ASSERT_TRUE(m_sim->WaitForEvent("unbind", 2, 10000));
  ASSERT_TRUE(Eventually([] { return Session()->ChannelCountForTesting() == 1; }));  // tag 4
  ASSERT_EQ(Session()->UnbindDevice(kPhoneC), win32::S_OK);
  ASSERT_TRUE(m_sim->WaitForEvent("unbind", 3, 10000));
  const auto unbinds = m_sim->ReceivedUnbinds();
  ASSERT_EQ(unbinds.size(), 3u);
  EXPECT_EQ(unbinds[0].idPhone, kPhoneA);
  EXPECT_EQ(unbinds[1].idPhone, kPhoneB);
  EXPECT_EQ(unbinds[1].phoneKey, kKeyB);
  EXPECT_EQ(unbinds[2].idPhone, kPhoneC);
  EXPECT_EQ(m_sim->EventCount("check-key-rejected"), 0u);

  // An unknown phone still saves the settings and asks the server nothing.
  std::filesystem::remove(m_host.Root() + "/appdata/Corvane/Orbalyn/Orbalyn.dat");
  ASSERT_EQ(Session()->UnbindDevice(4040), win32::S_OK);
  EXPECT_EQ(Setting(u"Basic", u"DeviceId"), std::to_string(kPcId));
  EXPECT_EQ(Session()->PendingUnbindCountForTesting(), 0u);
  EXPECT_TRUE(m_sink.Values(UIMsg_unbind).empty());
}

// The logic interface's own rules.
TEST_F(ServerSessionTest, OneSinkAtATime) {
  StartHost(Seed{});
  RecordingSink other;
  ASSERT_TRUE(m_host.Ui().Run([&] {
    EXPECT_EQ(Session()->Advise(&other), win32::E_FAIL);
    EXPECT_EQ(Session()->Advise(&m_sink), win32::E_FAIL);
    EXPECT_EQ(Session()->Advise(nullptr), win32::E_FAIL);
    EXPECT_EQ(Session()->Unadvise(&other), win32::E_FAIL);
    EXPECT_EQ(Session()->Unadvise(nullptr), win32::E_FAIL);
    EXPECT_EQ(Session()->Unadvise(&m_sink), win32::S_OK);
    EXPECT_EQ(Session()->Unadvise(nullptr), win32::S_OK);
    EXPECT_EQ(Session()->Advise(&m_sink), win32::S_OK);
  }));
  EXPECT_EQ(other.References(), 0u);
  EXPECT_EQ(m_sink.References(), 1u);
  void* pLogic = nullptr;
  EXPECT_EQ(Session()->QueryInterface(IID_IOrbalynLogic, &pLogic), win32::S_OK);
  EXPECT_EQ(pLogic, static_cast<IOrbalynLogic*>(Session()));
  EXPECT_EQ(Session()->QueryInterface(IID_IOrbalynDB, &pLogic), win32::E_NOINTERFACE);
  EXPECT_EQ(Session()->AddRef(), 1u);
  EXPECT_EQ(Session()->GetLoginState(nullptr), win32::E_INVALIDARG);
}

TEST_F(ServerSessionTest, LogoutGoesOfflineAndStopEndsTheSession) {
  StartSim();
  StartHost(SeededPc(false));
  LoginOnline();
  ASSERT_EQ(Session()->Logout(), win32::S_OK);
  ASSERT_TRUE(m_sim->WaitForEvent("comm-closed", 1, 10000));
  ASSERT_TRUE(m_sink.WaitMessage(UIMsg_login_state, CLogicCenter::kStateOffline));
  // Asking for the bind information while offline logs in again.
  IOrbalynMessage* pInfo = nullptr;
  ASSERT_EQ(Session()->GetBindInfo(&pInfo), win32::S_OK);
  pInfo->Release();
  ASSERT_TRUE(m_sim->WaitForEvent("login", 2, 10000));
  ASSERT_TRUE(m_sink.WaitFor([](const std::vector<UiRecord>& records) {
    return std::count_if(records.begin(), records.end(), [](const UiRecord& record) {
             return record.type == UIMsg_login_state && record.value == 2;
           }) == 2;
  }));

  m_sink.Clear();
  const win32::DWORD uiThread = m_host.Ui().ThreadId();
  m_host.Stop();
  const auto records = m_sink.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].type, UIMsg_login_state);
  EXPECT_EQ(records[0].value, 0);
  EXPECT_EQ(records[0].threadId, uiThread);
  EXPECT_EQ(State(), CLogicCenter::kStateStopped);
  EXPECT_TRUE(m_sim->WaitForEvent("comm-closed", 2, 10000));
}

// Statistics: the daily report at start and on a new day, and the unbind report.
TEST_F(ServerSessionTest, DailyAndUnbindReportsAreSent) {
  const std::string library = std::string(LUMIDOCK_BIN_DIR) + "/dadovo.so";
  if (!std::filesystem::exists(library)) GTEST_SKIP() << "dadovo.so not built";
  std::u16string libraryPath = Utf8ToWide(std::string(LUMIDOCK_BIN_DIR) + "/dadovo.dll");
  for (char16_t& c : libraryPath) {
    if (c == u'/') c = u'\\';
  }
  CReportClientMgr* pClient = GetReportClientMgr();
  ASSERT_EQ(pClient->Init(libraryPath.c_str(), win32::TRUE), 1);
  m_periods.dayCheckMs = 50;
  StartHost(SeededPc(true));
  ASSERT_EQ(Session()->UnbindDevice(kPhoneA), win32::S_OK);
  Session()->SetLastReportTimeForTesting(time(nullptr) - 2 * 86400);
  const std::string spoolPath = m_host.Root() + "/statistics/spool.bin";
  // Reports by id: the data after the header, record and all.
  auto reports = [&](uint16_t id) {
    std::ifstream in(spoolPath, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    const std::string spool = text.str();
    std::vector<std::string> found;
    for (size_t at = 0; at + 4 + 18 <= spool.size();) {
      uint32_t length = 0;
      for (int i = 3; i >= 0; --i) length = (length << 8) | static_cast<uint8_t>(spool[at + i]);
      uint16_t command = 0;
      memcpy(&command, spool.data() + at + 4 + 6, sizeof(command));
      if (command == id) found.push_back(spool.substr(at + 4 + 18, length - 18));
      at += 4 + length;
    }
    return found;
  };
  ASSERT_TRUE(Eventually([&] { return reports(kReportDaily).size() >= 2; }));
  const auto daily = reports(kReportDaily);
  EXPECT_EQ(daily[0].substr(daily[0].size() - 4), std::string("\0\0\0\x03", 4));
  EXPECT_EQ(daily[1].substr(daily[1].size() - 4), std::string("\0\0\0\x02", 4));
  const auto binds = reports(kReportBind);
  ASSERT_EQ(binds.size(), 1u);
  const std::string tail = std::string("\0\0\0\x02", 4) + BigEndian64(kPhoneA) +
                           std::string("\0\x08Phone A\0", 10) + std::string(4, '\0');
  EXPECT_EQ(binds[0].substr(binds[0].size() - tail.size()), tail);
  while (pClient->UserCountForTesting() > 0) pClient->UnInit(0);
}

}  // namespace
}  // namespace server_road_test
