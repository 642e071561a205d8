#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>

#include "msg.pb.h"

#include "CServerSim.h"
#include "PcLink.h"
#include "TestAes.h"

namespace {

using serversim_test::AesPkcs7;
using serversim_test::Be64;
using serversim_test::CheckKey;
using serversim_test::PcLink;

constexpr int kWaitMs = 5000;
const std::string kPhoneKey = "ab12cd34ef56ab78";

template <typename Message>
std::string Body(const Message& message) {
  std::string body;
  message.SerializePartialToString(&body);
  return body;
}

// A phone frame with just the fields the server reads.
std::string PhoneFrame(int64_t dest, int64_t src, size_t size) {
  std::string frame(size, '\x5A');
  frame.replace(0, 2, "\x77\xDE");
  frame.replace(2, 8, Be64(dest));
  frame.replace(10, 8, Be64(src));
  frame.replace(24, 4, Be64(static_cast<int64_t>(size)).substr(4));
  return frame;
}

class ServerSimTest : public ::testing::Test {
 protected:
  struct Session {
    int64_t idPc = 0;
    std::string idKey;
    int64_t svrTime = 0;
    protocol::C2SPcRedirectResp redirect;
    std::unique_ptr<PcLink> comm;
  };

  void SetUp() override {
    CServerSim::Options options;
    options.relayPort = 0;
    options.reportPort = 0;
    options.heartbeatCycle = 25;
    m_sim = std::make_unique<CServerSim>(options);
    ASSERT_TRUE(m_sim->Start());
    m_sim->SetPhoneKey(77, kPhoneKey);
  }

  void TearDown() override { m_sim->Stop(); }

  // One request on a fresh entry connection, as the PC makes each step.
  template <typename Reply>
  bool Ask(uint16_t cmd, const std::string& body, Reply* pReply) {
    PcLink link(m_sim->EntryPort());
    uint16_t replyCmd = 0;
    std::string replyBody;
    return link.Send(cmd, body) && link.Read(&replyCmd, &replyBody) && replyCmd == cmd &&
           pReply->ParseFromString(replyBody);
  }

  int64_t FetchTime() {
    protocol::C2SGetSvrtimeReq request;
    request.set_version(1);
    protocol::C2SGetSvrtimeResp reply;
    return Ask(5001, Body(request), &reply) ? reply.svr_time() : 0;
  }

  // register -> time -> redirect -> login, as the PC runs them.
  void LogIn(Session* pSession) {
    protocol::C2SPcCreateUinReq registration;
    registration.set_version(1);
    protocol::C2SPcCreateUinResp registered;
    ASSERT_TRUE(Ask(1008, Body(registration), &registered));
    pSession->idPc = registered.id_pc();
    pSession->idKey = registered.id_key();
    ASSERT_NE(pSession->idPc, 0);
    ASSERT_EQ(pSession->idKey.size(), 16u);
    pSession->svrTime = FetchTime();
    ASSERT_NE(pSession->svrTime, 0);

    protocol::C2SPcRedirectReq redirect;
    redirect.set_id_pc(pSession->idPc);
    redirect.set_check_key(CheckKey(pSession->idKey, pSession->idPc, pSession->svrTime));
    ASSERT_TRUE(Ask(1007, Body(redirect), &pSession->redirect));

    pSession->comm = std::make_unique<PcLink>(pSession->redirect.proxy_port());
    protocol::C2SPcLoginReq login;
    login.set_id_pc(pSession->idPc);
    login.set_pc_guid("0123456789abcdef0123456789abcdef");
    login.set_session_key(pSession->redirect.session_key());
    login.set_pc_local_ip("127.0.0.1");
    login.set_pc_local_port(40123);
    login.add_id_phone_list(77);
    ASSERT_TRUE(pSession->comm->Send(1001, Body(login)));
    ExpectOnComm(*pSession, 1001);
  }

  // Reads the next frame on the communication connection, which must be of `cmd`.
  std::string ExpectOnComm(Session& session, uint16_t cmd) {
    uint16_t got = 0;
    std::string body;
    EXPECT_TRUE(session.comm->Read(&got, &body));
    EXPECT_EQ(got, cmd);
    return body;
  }

  void Heartbeat(Session& session) {
    protocol::C2SPcHeartbeatReq heartbeat;
    heartbeat.set_id_pc(session.idPc);
    heartbeat.set_session_key(session.redirect.session_key());
    ASSERT_TRUE(session.comm->Send(1003, Body(heartbeat)));
  }

  // Sends one entry request with the given check key; true when the server answered.
  bool RedirectWith(const Session& session, const std::string& checkKey) {
    protocol::C2SPcRedirectReq redirect;
    redirect.set_id_pc(session.idPc);
    redirect.set_check_key(checkKey);
    PcLink link(m_sim->EntryPort());
    uint16_t cmd = 0;
    std::string body;
    EXPECT_TRUE(link.Send(1007, Body(redirect)));
    bool answered = link.Read(&cmd, &body);
    EXPECT_TRUE(answered || link.Closed()) << "neither answered nor closed";
    return answered;
  }

  std::unique_ptr<CServerSim> m_sim;
};

// The whole login: values handed out, recorded and verified; heartbeats list online phones.
TEST_F(ServerSimTest, RegisterTimeRedirectLoginHeartbeat) {
  Session session;
  LogIn(&session);
  EXPECT_EQ(session.redirect.proxy_ip(), "127.0.0.1");
  EXPECT_EQ(session.redirect.proxy_port(), m_sim->CommPort());
  EXPECT_EQ(session.redirect.heartbeat_cycle(), 25);
  EXPECT_EQ(session.redirect.session_key().size(), 16u);
  EXPECT_EQ(m_sim->IssuedTimes(), std::vector<int64_t>{session.svrTime});
  auto login = m_sim->LastLogin();
  ASSERT_TRUE(login);
  EXPECT_EQ(login->localIp, "127.0.0.1");
  EXPECT_EQ(login->localPort, 40123);
  EXPECT_EQ(login->phones, std::vector<int64_t>{77});

  m_sim->SetPhoneOnline(77, true, true);
  protocol::C2SNoticePhoneOnline online;
  ASSERT_TRUE(online.ParseFromString(ExpectOnComm(session, 4004)));
  EXPECT_EQ(online.id_phone(), 77);
  Heartbeat(session);
  protocol::C2SPcHeartbeatResp heartbeat;
  ASSERT_TRUE(heartbeat.ParseFromString(ExpectOnComm(session, 1003)));
  EXPECT_EQ(heartbeat.id_phone_online_list_size(), 1);
  EXPECT_EQ(heartbeat.id_phone_online_list(0), 77);

  // A login with a session key the server never issued is closed unanswered.
  PcLink stranger(m_sim->CommPort());
  protocol::C2SPcLoginReq bad;
  bad.set_id_pc(session.idPc);
  bad.set_session_key("not the key");
  ASSERT_TRUE(stranger.Send(1001, Body(bad)));
  EXPECT_TRUE(stranger.WaitClosed());
}

// Check keys: only the id key's padded cipher of the PC's id and an issued time pass.
TEST_F(ServerSimTest, CheckKeyVerification) {
  Session session;
  LogIn(&session);
  std::string plain = Be64(session.idPc) + Be64(session.svrTime);
  std::string padBlock(16, '\x10');
  padBlock[3] = '\x0F';
  std::string wrongPad = AesPkcs7(true, session.idKey, plain + padBlock);
  EXPECT_FALSE(RedirectWith(session, wrongPad.substr(0, 32)));
  EXPECT_FALSE(RedirectWith(session, CheckKey(session.idKey, session.idPc, session.svrTime + 99)));
  EXPECT_FALSE(RedirectWith(session, CheckKey(session.idKey, session.idPc + 1, session.svrTime)));
  EXPECT_FALSE(RedirectWith(session, std::string()));
  EXPECT_EQ(m_sim->EventCount("check-key-rejected"), 4u);
  // A newer 5001 does not retire the older value the PC may still hold.
  ASSERT_GT(FetchTime(), session.svrTime);
  EXPECT_TRUE(RedirectWith(session, CheckKey(session.idKey, session.idPc, session.svrTime)));
}

// Unbinds both ways: 1009 records, 1010 lists the queue, 1011 clears it and closes, 4005.
TEST_F(ServerSimTest, UnbindRecordsAndQueue) {
  Session session;
  LogIn(&session);
  std::string checkKey = CheckKey(session.idKey, session.idPc, session.svrTime);
  protocol::C2SPcUnbindReq unbind;
  unbind.set_id_pc(session.idPc);
  unbind.set_check_key(checkKey);
  unbind.set_unbind_info(AesPkcs7(true, session.idKey, Be64(session.idPc) + Be64(77) + kPhoneKey));
  protocol::C2SPcUnbindResp unbound;
  ASSERT_TRUE(Ask(1009, Body(unbind), &unbound));
  ASSERT_EQ(m_sim->ReceivedUnbinds().size(), 1u);
  EXPECT_EQ(m_sim->ReceivedUnbinds()[0].idPhone, 77);
  EXPECT_EQ(m_sim->ReceivedUnbinds()[0].phoneKey, kPhoneKey);
  unbind.set_unbind_info(std::string());  // what a PC with no record pending would send
  EXPECT_FALSE(Ask(1009, Body(unbind), &unbound));

  ASSERT_TRUE(m_sim->QueueUnbindInfo(session.idPc, 77));
  ASSERT_TRUE(m_sim->QueueUnbindInfo(0, 77));
  protocol::C2SPcGetUnbindInfoReq get;
  get.set_id_pc(session.idPc);
  get.set_check_key(checkKey);
  protocol::C2SPcGetUnbindInfoResp info;
  ASSERT_TRUE(Ask(1010, Body(get), &info));
  ASSERT_EQ(info.unbind_info_list_size(), 2);
  EXPECT_EQ(AesPkcs7(false, session.idKey, info.unbind_info_list(1)),
            Be64(session.idPc) + Be64(77) + kPhoneKey);

  protocol::C2SPcClearUnbindInfoReq clear;
  clear.set_id_pc(session.idPc);
  clear.set_check_key(checkKey);
  PcLink link(m_sim->EntryPort());
  ASSERT_TRUE(link.Send(1011, Body(clear)));
  EXPECT_TRUE(link.WaitClosed());
  ASSERT_TRUE(Ask(1010, Body(get), &info));
  EXPECT_EQ(info.unbind_info_list_size(), 0);

  ASSERT_TRUE(m_sim->NoticePhoneUnbind(0, 77));
  protocol::C2SNoticePhoneUnbind notice;
  ASSERT_TRUE(notice.ParseFromString(ExpectOnComm(session, 4005)));
  EXPECT_EQ(notice.id_phone(), 77);
  EXPECT_EQ(AesPkcs7(false, session.idKey, notice.unbind_info()),
            Be64(session.idPc) + Be64(77) + kPhoneKey);
}

// Relay: phone frames in as 3001, 3002 replies back to the phone by their destination.
TEST_F(ServerSimTest, RelaysInProcessAndThroughRelayPort) {
  Session session;
  LogIn(&session);
  std::string request = PhoneFrame(session.idPc, 77, 100);
  ASSERT_TRUE(m_sim->RelayPhoneFrame(77, request));
  EXPECT_EQ(ExpectOnComm(session, 3001), request);
  std::string reply = PhoneFrame(77, session.idPc, 64);
  ASSERT_TRUE(session.comm->Send(3002, reply + "trailing"));
  ASSERT_TRUE(session.comm->Send(3002, reply.substr(0, 50)));  // incomplete: dropped
  std::string got;
  ASSERT_TRUE(m_sim->WaitRelayReply(77, kWaitMs, &got));
  EXPECT_EQ(got, reply);
  EXPECT_TRUE(m_sim->WaitForEvent("relay-reply-dropped", 1, kWaitMs));
  EXPECT_FALSE(m_sim->WaitRelayReply(77, 0, &got));
  // 65524 is the largest phone frame a 65536-byte server frame carries.
  EXPECT_FALSE(m_sim->RelayPhoneFrame(77, PhoneFrame(session.idPc, 77, 65525)));
  EXPECT_TRUE(m_sim->RelayPhoneFrame(77, PhoneFrame(session.idPc, 77, 65524)));
  EXPECT_EQ(ExpectOnComm(session, 3001).size(), 65524u);

  // A phone on the relay port: announced online, its frames relayed, replies written back,
  // and announced offline when it leaves.
  auto phone = std::make_unique<PcLink>(m_sim->RelayPort());
  std::string fromPhone = PhoneFrame(session.idPc, 88, 80);
  ASSERT_TRUE(phone->SendBytes(fromPhone.substr(0, 30)));
  ASSERT_TRUE(phone->SendBytes(fromPhone.substr(30)));
  ExpectOnComm(session, 4004);
  EXPECT_EQ(ExpectOnComm(session, 3001), fromPhone);
  std::string toPhone = PhoneFrame(88, session.idPc, 45);
  ASSERT_TRUE(session.comm->Send(3002, toPhone));
  ASSERT_TRUE(phone->ReadExact(toPhone.size(), &got));
  EXPECT_EQ(got, toPhone);
  phone.reset();
  protocol::C2SNoticePhoneOffline offline;
  ASSERT_TRUE(offline.ParseFromString(ExpectOnComm(session, 4002)));
  EXPECT_EQ(offline.id_phone(), 88);
}

// Faults on the entry server, each seen from the PC's side of the wire.
TEST_F(ServerSimTest, EntryFaults) {
  protocol::C2SGetSvrtimeReq timeRequest;
  timeRequest.set_version(1);
  std::string body = Body(timeRequest);
  uint16_t cmd = 0;
  std::string reply;

  m_sim->Faults().Add({CFaultPlan::Kind::kOneBytePieces, 5001, 1});
  {
    PcLink link(m_sim->EntryPort());
    ASSERT_TRUE(link.Send(5001, body));
    ASSERT_TRUE(link.Read(&cmd, &reply));
    EXPECT_GT(link.Reads(), 2);
  }
  m_sim->Faults().Add({CFaultPlan::Kind::kReplyThenClose, 0, 1});
  {
    PcLink link(m_sim->EntryPort());
    ASSERT_TRUE(link.Send(5001, body));
    EXPECT_TRUE(link.Read(&cmd, &reply));
    EXPECT_TRUE(link.WaitClosed());
  }
  CFaultPlan::Fault fault;
  ASSERT_TRUE(CFaultPlan::Parse("malformed:5001", &fault));
  fault.remaining = 1;
  m_sim->Faults().Add(fault);
  {
    PcLink link(m_sim->EntryPort());
    ASSERT_TRUE(link.Send(5001, body));
    ASSERT_TRUE(link.ReadExact(2, &reply));
    EXPECT_EQ(reply, "\x67\xDF");
  }
  m_sim->Faults().Add({CFaultPlan::Kind::kWrongAnswer, 5001, 1});
  protocol::C2SGetSvrtimeResp timeReply;
  EXPECT_FALSE(Ask(5001, body, &timeReply));
  m_sim->Faults().Add({CFaultPlan::Kind::kRefuse, 0, 1});
  {
    PcLink link(m_sim->EntryPort());
    EXPECT_TRUE(link.WaitClosed());
  }
  EXPECT_EQ(m_sim->EventCount("fault"), 5u);
  EXPECT_TRUE(Ask(5001, body, &timeReply));

  // Bad registration and redirect values reach the PC as they are.
  m_sim->Faults().Add({CFaultPlan::Kind::kRegisterIdZero, 0, 1});
  m_sim->Faults().Add({CFaultPlan::Kind::kRegisterShortKey, 0, 1});
  protocol::C2SPcCreateUinReq registration;
  registration.set_version(1);
  protocol::C2SPcCreateUinResp registered;
  ASSERT_TRUE(Ask(1008, Body(registration), &registered));
  EXPECT_EQ(registered.id_pc(), 0);
  EXPECT_LE(registered.id_key().size(), 10u);
  m_sim->AddPc(5, "5555555555555555");
  m_sim->Faults().Add({CFaultPlan::Kind::kRedirectHostName, 0, 1});
  m_sim->Faults().Add({CFaultPlan::Kind::kRedirectPortBig, 0, 1});
  m_sim->Faults().Add({CFaultPlan::Kind::kRedirectHugeHeartbeat, 0, 1});
  protocol::C2SPcRedirectReq redirect;
  redirect.set_id_pc(5);
  redirect.set_check_key(CheckKey("5555555555555555", 5, FetchTime()));
  protocol::C2SPcRedirectResp redirected;
  ASSERT_TRUE(Ask(1007, Body(redirect), &redirected));
  EXPECT_EQ(redirected.proxy_ip(), "comm.lumidock.invalid");
  EXPECT_EQ(redirected.proxy_port(), 70000);
  EXPECT_EQ(redirected.heartbeat_cycle(), INT32_MAX);
}

// The communication server: half-open heartbeats, the frame limit on what the PC sends.
TEST_F(ServerSimTest, HalfOpenHeartbeatAndOversizeFrame) {
  Session session;
  LogIn(&session);
  CFaultPlan::Fault halfOpen;
  ASSERT_TRUE(CFaultPlan::Parse("half-open", &halfOpen));
  m_sim->Faults().Add(halfOpen);
  Heartbeat(session);
  ASSERT_TRUE(m_sim->WaitForEvent("fault", 1, kWaitMs));
  m_sim->SetPhoneOnline(77, true, true);  // the connection itself still carries notices
  ExpectOnComm(session, 4004);
  m_sim->Faults().Clear();
  Heartbeat(session);
  ExpectOnComm(session, 1003);

  ASSERT_TRUE(session.comm->SendBytes(PcLink::Frame(3002, "", 0x67DE, 65537)));
  EXPECT_TRUE(session.comm->WaitClosed());
  EXPECT_TRUE(m_sim->WaitForEvent("comm-closed", 1, kWaitMs));
  EXPECT_FALSE(m_sim->RelayPhoneFrame(77, PhoneFrame(session.idPc, 77, 40)));
}

// Statistics reports: u32 little-endian length, then the record, one connection each.
TEST_F(ServerSimTest, RecordsReports) {
  for (const std::string& record : {std::string("first"), std::string(300, '\x01')}) {
    PcLink link(m_sim->ReportPort());
    uint32_t size = static_cast<uint32_t>(record.size());
    std::string frame{static_cast<char>(size), static_cast<char>(size >> 8),
                      static_cast<char>(size >> 16), static_cast<char>(size >> 24)};
    ASSERT_TRUE(link.SendBytes(frame + record));
  }
  ASSERT_TRUE(m_sim->WaitForEvent("report", 2, kWaitMs));
  std::vector<std::string> reports = m_sim->Reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(std::count(reports.begin(), reports.end(), std::string(300, '\x01')), 1);
}

// The install popup's pages: the login page logs what it was given and links only to a web
// address; both download pages close their window from a link; nothing else is served.
TEST(ServerSimWeb, LoginAndDownloadPages) {
  std::vector<std::string> events;
  std::mutex eventLock;
  CServerSim::Options options;
  options.webPort = 0;
  options.onEvent = [&](const std::string& line) {
    std::lock_guard<std::mutex> lock(eventLock);
    if (line.rfind("web-", 0) == 0) events.push_back(line);
  };
  CServerSim sim(options);
  ASSERT_TRUE(sim.Start());
  ASSERT_NE(sim.WebPort(), 0);
  auto ask = [&](const std::string& requestLine) {
    PcLink link(sim.WebPort());
    EXPECT_TRUE(link.SendBytes(requestLine + "\r\nHost: 127.0.0.1\r\n\r\n"));
    std::string response;
    link.ReadExact(1 << 20, &response);  // until the server closes
    return response;
  };
  auto get = [&](const std::string& target) { return ask("GET " + target + " HTTP/1.1"); };
  std::string login = get(
      "/cgi-bin/login?appid=ferry-1&s_url=http%3A%2F%2F127.0.0.1%3A9%2Ftidepool%2Fdownload.html");
  EXPECT_EQ(login.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << login;
  EXPECT_NE(login.find("<a id=\"login\" href=\"http://127.0.0.1:9/tidepool/download.html\">"),
            std::string::npos);
  const std::string hostile = get("/cgi-bin/login?appid=x&s_url=javascript%3Aalert(1)");
  EXPECT_EQ(hostile.find("<a "), std::string::npos);
  for (const char* pPage : {"/tidepool/download.html", "/tidepool-download.html"}) {
    const std::string page = get(pPage);
    EXPECT_EQ(page.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_NE(page.find("<a id=\"done\" href=\"#\" onclick=\"window.close();return false;\">"),
              std::string::npos);
  }
  EXPECT_EQ(get("/favicon.ico").rfind("HTTP/1.1 404", 0), 0u);
  EXPECT_EQ(ask("POST / HTTP/1.1").find("HTTP/1.1 400"), 0u);
  sim.Stop();
  EXPECT_EQ(events,
            (std::vector<std::string>{
                "web-login appid=ferry-1 s_url=http://127.0.0.1:9/tidepool/download.html",
                "web-login appid=x s_url=javascript:alert(1)",
                "web-page path=/tidepool/download.html", "web-page path=/tidepool-download.html",
                "web-not-found path=/favicon.ico", "web-bad-request"}));
}

}  // namespace
