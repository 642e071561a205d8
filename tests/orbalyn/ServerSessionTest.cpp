// The library against the server simulator on 127.0.0.1: the bind information before and
// after registration, a restart of the whole library (each run connects and logs in), and a
// bound phone that survives a restart and is then unbound by the host, which reaches the
// server as an unbind request (1009).

#include <string>

#include "OrbalynTestSupport.h"
#include "uimsg.pb.h"

namespace orbalyn_test {
namespace {

constexpr int64_t kPhoneId = 770001;

class ServerSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(ServerSim().WaitForLine("entry-port ", 0, std::chrono::seconds(20)).empty());
    ASSERT_TRUE(m_library.Load());
    ASSERT_EQ(Root()->Start(), win32::S_OK);
    ASSERT_EQ(Root()->GetLogic(&m_pLogic), win32::S_OK);
    ASSERT_EQ(Root()->GetDB(&m_pDb), win32::S_OK);
    ASSERT_NE(m_pLogic, nullptr);
    m_pSink = new CRecordingSink();
    ASSERT_EQ(m_pLogic->Advise(m_pSink), win32::S_OK);
  }
  void TearDown() override {
    if (Root()) Root()->Stop();
    // The logic is static and outlives Stop; the sink is handed back here.
    if (m_pLogic && m_pSink) m_pLogic->Unadvise(m_pSink);
    if (m_pSink) m_pSink->Release();
    m_library.Unload();
  }

  IOrbalyn* Root() { return m_library.Root(); }

  bool LogInAndWaitOnline() {
    m_pLogic->Login();
    return PumpUntil(
        [&] {
          int state = 0;
          m_pLogic->GetLoginState(&state);
          return state == LoginState_online;
        },
        kOnlineTimeout);
  }

  int64_t PcId() {
    int64_t id = 0;
    m_pDb->GetDeviceId(&id);
    return id;
  }

  // The serialized UIBindInfo of a successful GetBindInfo, with its message checked.
  std::string BindInfoBytes() {
    IOrbalynMessage* pMessage = nullptr;
    EXPECT_EQ(m_pLogic->GetBindInfo(&pMessage), win32::S_OK);
    if (!pMessage) return {};
    int type = -1;
    int value = -1;
    int64_t id = 0;
    pMessage->GetType(&type);
    pMessage->GetValue(&value);
    pMessage->GetId(&id);
    EXPECT_EQ(type, UIMsg_bind_info);
    EXPECT_EQ(value, 2);
    EXPECT_EQ(id, PcId());
    const win32::BYTE* pData = nullptr;
    int length = 0;
    pMessage->GetPayload(&pData, &length);
    std::string bytes(reinterpret_cast<const char*>(pData), static_cast<size_t>(length));
    EXPECT_EQ(pMessage->Release(), 0u);  // the caller's reference was the only one
    return bytes;
  }

  // Waits for a server-sim line starting with `prefix` at or after `from`, pumping meanwhile.
  bool WaitForServerLine(const std::string& prefix, size_t from) {
    return PumpUntil(
        [&] {
          return !ServerSim().WaitForLine(prefix, from, std::chrono::milliseconds(0)).empty();
        },
        kOnlineTimeout);
  }

  CLoadedOrbalyn m_library;
  IOrbalynLogic* m_pLogic = nullptr;
  IOrbalynDB* m_pDb = nullptr;
  CRecordingSink* m_pSink = nullptr;
};

// Before the PC has an id, GetBindInfo answers 1 and writes nothing; after the login registered
// it, the message carries the id, a 16-character bind key (the same one for the whole run) and
// the local server's port.
TEST_F(ServerSessionTest, BindInfoOnlyOnceRegistered) {
  if (PcId() != 0) {
    GTEST_SKIP() << "needs a process whose PC was never registered; CTest runs each case alone";
  }
  IOrbalynMessage* const kUntouched = reinterpret_cast<IOrbalynMessage*>(0x77);
  IOrbalynMessage* pMessage = kUntouched;
  EXPECT_EQ(m_pLogic->GetBindInfo(&pMessage), 1);
  EXPECT_EQ(pMessage, kUntouched);

  size_t from = ServerSim().LineCount();
  ASSERT_TRUE(LogInAndWaitOnline());
  ASSERT_NE(PcId(), 0);
  EXPECT_TRUE(WaitForServerLine("register id=" + std::to_string(PcId()), from));
  EXPECT_TRUE(m_pSink->Saw(UIMsg_login_state, LoginState_online));

  protocol::UIBindInfo first;
  ASSERT_TRUE(first.ParseFromString(BindInfoBytes()));
  EXPECT_EQ(first.id_pc(), PcId());
  EXPECT_EQ(first.bind_key().size(), 16u);
  EXPECT_TRUE(first.has_local_port());
  EXPECT_GT(first.local_port(), 0);
  protocol::UIBindInfo second;
  ASSERT_TRUE(second.ParseFromString(BindInfoBytes()));
  EXPECT_EQ(second.bind_key(), first.bind_key());
}

// Stop and Start bring the whole library back: the connect thread, the resolver and the
// session connect and log in again in the second run; the sink hears "stopped" at Stop.
TEST_F(ServerSessionTest, LibraryRestartsAndLogsInAgain) {
  size_t from = ServerSim().LineCount();
  ASSERT_TRUE(LogInAndWaitOnline());
  size_t firstLogin = 0;
  ASSERT_FALSE(
      ServerSim().WaitForLine("login id=", from, std::chrono::seconds(10), &firstLogin).empty());

  ASSERT_EQ(Root()->Stop(), win32::S_OK);
  std::vector<CRecordingSink::Record> records = m_pSink->Records();
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back().type, UIMsg_login_state);
  EXPECT_EQ(records.back().value, 0);

  ASSERT_EQ(Root()->Start(), win32::S_OK);
  ASSERT_TRUE(LogInAndWaitOnline());
  EXPECT_TRUE(WaitForServerLine("login id=" + std::to_string(PcId()), firstLogin + 1));
}

// A phone bound through the local server is saved at Stop, loaded at the next Start, and
// unbinding it from the host sends 1009 for that phone to the entry server and forgets it.
TEST_F(ServerSessionTest, BoundPhoneSurvivesRestartAndUnbindReachesServer) {
  ASSERT_TRUE(LogInAndWaitOnline());
  protocol::UIBindInfo info;
  std::string bytes = BindInfoBytes();
  ASSERT_TRUE(info.ParseFromString(bytes));
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += kDigits[c >> 4];
    hex += kDigits[c & 0xF];
  }

  {
    CChildProcess phone;
    ASSERT_TRUE(
        phone.Start("phone-sim", {"--host", "127.0.0.1", "--bind-info", hex, "--phone-id",
                                  std::to_string(kPhoneId), "--name", "Unbind Phone", "bind"}));
    int status = -1;
    // The phone's commands reach the library on its I/O thread; the UI messages they cause
    // are pumped here meanwhile.
    std::thread waiter([&] { status = phone.Wait(std::chrono::seconds(60)); });
    PumpUntil([&] { return !phone.WaitForLine("bind: ", 0, std::chrono::milliseconds(0)).empty(); },
              std::chrono::seconds(60));
    waiter.join();
    ASSERT_EQ(status, 0) << ::testing::PrintToString(phone.Lines());
  }
  IOrbalynDevice* pDevice = nullptr;
  ASSERT_EQ(m_pDb->FindDevice(kPhoneId, &pDevice), win32::S_OK);
  pDevice->Release();

  ASSERT_EQ(Root()->Stop(), win32::S_OK);
  EXPECT_NE(ReadWholeFile(SettingsPath()).find("Id=" + std::to_string(kPhoneId)),
            std::string::npos);
  ASSERT_EQ(Root()->Start(), win32::S_OK);
  ASSERT_EQ(m_pDb->FindDevice(kPhoneId, &pDevice), win32::S_OK);
  pDevice->Release();

  size_t from = ServerSim().LineCount();
  EXPECT_EQ(m_pLogic->UnbindDevice(kPhoneId), win32::S_OK);
  EXPECT_TRUE(WaitForServerLine(
      "unbind id=" + std::to_string(PcId()) + " phone=" + std::to_string(kPhoneId), from));
  pDevice = reinterpret_cast<IOrbalynDevice*>(0x1);
  EXPECT_EQ(m_pDb->FindDevice(kPhoneId, &pDevice), 1);
  EXPECT_EQ(pDevice, nullptr);
}

}  // namespace
}  // namespace orbalyn_test
