// The phone command manager and its handlers through real sockets on 127.0.0.1.

#include <atomic>
#include <chrono>
#include <thread>

#include "Logic/ClientChannel.h"
#include "Logic/LocalServer.h"
#include "PhoneRoadFixture.h"
#include "msg.pb.h"

namespace phone_road_test {
namespace {

template <class Message>
bool ParseReply(const WireFrame& frame, const std::string& key, Message* pMessage) {
  std::string plain;
  return DecipherBody(frame.header.encodeType, key, frame.body, &plain) &&
         pMessage->ParseFromString(plain) && pMessage->check_code() == kCheckCode;
}

struct UiMessage {
  int type;
  int value;
  int64_t id;
};

// Messages queued for the UI while no UI thread runs, oldest first.
std::vector<UiMessage> TakeQueuedUiMessages() {
  std::vector<UiMessage> messages;
  while (CPhotoMessage* pMessage = CLogicCenter::Instance()->PopUiMessage()) {
    UiMessage message{};
    pMessage->GetType(&message.type);
    pMessage->GetValue(&message.value);
    pMessage->GetId(&message.id);
    messages.push_back(message);
    pMessage->Release();
  }
  return messages;
}

std::string BindRequestBody(const std::string& name, const std::string& guid,
                            const std::string& zelid) {
  protocol::C2CPhoneBindReq request;
  request.set_check_code(kCheckCode);
  request.set_phone_name(name);
  request.set_phone_str(guid);
  request.set_phone_zelid(zelid);
  return request.SerializeAsString();
}

using ClientCommMgrTest = PhoneRoadTest;

// Phones the store does not know: only 6006 and 6011 are answered, with 10001 and their own
// bytes.

TEST_F(ClientCommMgrTest, UnknownPhoneGets10001WithItsOwnBody) {
  TestPhone phone(kPcId, kUnknownPhone);
  ASSERT_TRUE(phone.Connect(Port()));
  const std::string key = "ffffeeeeddddcccc";
  for (uint16_t command : {6011, 6006}) {
    const uint32_t echo = phone.Send(command, 2, key, CheckCodeOnlyBody());
    WireFrame reply;
    ASSERT_TRUE(phone.Receive(&reply)) << command;
    EXPECT_EQ(reply.header.result, CClientCommMgr::kResultUnbound);
    EXPECT_EQ(reply.header.command, command);
    EXPECT_EQ(reply.header.echo, echo);
    EXPECT_EQ(reply.header.sequence, phone.LastSequence());
    EXPECT_EQ(reply.header.destId, kUnknownPhone);
    EXPECT_EQ(reply.header.srcId, kPcId);
    EXPECT_EQ(reply.header.encodeType, 2);
    EXPECT_EQ(reply.body, EncipherBody(2, key, CheckCodeOnlyBody()));
  }
  // Any other command of an unknown phone: no answer, the connection stays. The next reply is
  // the next 6011's.
  phone.Send(6001, 2, key, CheckCodeOnlyBody());
  WireFrame reply;
  ASSERT_TRUE(phone.Ping(2, key, &reply));
  EXPECT_EQ(reply.header.result, CClientCommMgr::kResultUnbound);
  // Never confirmed, so a bad command still closes the connection.
  phone.Send(6011, 0, "", CheckCodeOnlyBody());
  EXPECT_TRUE(phone.WaitClosed());
  EXPECT_EQ(LocalStateOf(kUnknownPhone), -1);
}

// Bad commands: fatal before the phone is confirmed on a connection, logged after.

TEST_F(ClientCommMgrTest, BadFirstCommandClosesTheConnection) {
  TestPhone phone(kPcId, kPhoneA);
  ASSERT_TRUE(phone.Connect(Port()));
  phone.Send(6011, 2, kKeyA, CheckCodeOnlyBody(0x12345678));
  EXPECT_TRUE(phone.WaitClosed());
  EXPECT_NE(LogText().find("OnCommand_Heartbeat failed because of decode, cmd=6011, src=1001"),
            std::string::npos);
}

TEST_F(ClientCommMgrTest, BadCommandAfterAGoodOneOnlyLogs) {
  TestPhone phone(kPcId, kPhoneA);
  ASSERT_TRUE(phone.Connect(Port()));
  ASSERT_TRUE(phone.Ping(2, kKeyA));
  phone.Send(6011, 2, kKeyA, CheckCodeOnlyBody(7));  // bad check code
  phone.Send(6001, 5, kKeyA, CheckCodeOnlyBody());   // unknown encode type
  phone.Send(6001, 2, kKeyA, "\x01\x02\x03");        // not a whole block
  ASSERT_TRUE(phone.Ping(1, kKeyA));                 // still open; nothing answered before
  EXPECT_NE(LogText().find("CloseBadChannel: Found 有效 channel[1001] send bad command: id=1001, "
                           "cmd=6001, Encode=5, keep it"),
            std::string::npos);
}

TEST_F(ClientCommMgrTest, FrameForAnotherPcClosesTheConnection) {
  for (bool confirmedFirst : {false, true}) {
    TestPhone phone(kPcId, kPhoneA);
    ASSERT_TRUE(phone.Connect(Port()));
    if (confirmedFirst) {
      ASSERT_TRUE(phone.Ping(2, kKeyA));
    }
    peer::PhoneFrameHeader header;
    header.destId = kPcId + 1;
    header.srcId = kPhoneA;
    header.command = 6011;
    header.encodeType = 2;
    phone.SendBytes(BuildFrame(header, EncipherBody(2, kKeyA, CheckCodeOnlyBody())));
    EXPECT_TRUE(phone.WaitClosed()) << confirmedFirst;
  }
  EXPECT_NE(LogText().find("Error: Recv Bad Dest Command, Src=1001, Dest=4822678189205112"),
            std::string::npos);
}

// Malformed input never gets a reply and ends an unconfirmed connection.
TEST_F(ClientCommMgrTest, MalformedFramesCloseAnUnconfirmedConnection) {
  auto frameWith = [](uint32_t total, uint16_t magic, uint16_t encode, const std::string& body) {
    peer::PhoneFrameHeader header;
    header.magic = magic;
    header.destId = kPcId;
    header.srcId = kPhoneA;
    header.command = 6011;
    header.totalLength = total;
    header.encodeType = encode;
    return BuildFrame(header, body);
  };
  std::string zeroPad = std::string(15, '\x08') + '\0';
  std::string highPad = std::string(15, '\x08') + '\x80';
  auto rawBlock = [](const std::string& block) {
    return EncipherBody(2, kKeyA, block).substr(0, 16);
  };
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"length 39", frameWith(39, 0x77DE, 2, "")},
      {"length 65537", frameWith(65537, 0x77DE, 2, "")},
      {"bad magic", frameWith(0, 0x1234, 2, EncipherBody(2, kKeyA, CheckCodeOnlyBody()))},
      {"type 0", frameWith(0, 0x77DE, 0, CheckCodeOnlyBody())},
      {"type 4", frameWith(0, 0x77DE, 4, CheckCodeOnlyBody())},
      {"empty body", frameWith(0, 0x77DE, 2, "")},
      {"aes 5 bytes", frameWith(0, 0x77DE, 2, "\x01\x02\x03\x04\x05")},
      {"aes 17 bytes", frameWith(0, 0x77DE, 2, std::string(17, 'q'))},
      {"pad 0", frameWith(0, 0x77DE, 2, rawBlock(zeroPad))},
      {"pad 0x80", frameWith(0, 0x77DE, 2, rawBlock(highPad))},
      {"pad above length", frameWith(0, 0x77DE, 2, rawBlock(std::string(16, '\x7f')))},
      {"65536 garbage", frameWith(0, 0x77DE, 2, std::string(65536 - 40, '\x5a'))},
  };
  for (const auto& [name, bytes] : cases) {
    TestPhone phone(kPcId, kPhoneA);
    ASSERT_TRUE(phone.Connect(Port()));
    ASSERT_TRUE(phone.SendBytes(bytes));
    EXPECT_TRUE(phone.WaitClosed()) << name;
  }
  TestPhone survivor(kPcId, kPhoneA);
  ASSERT_TRUE(survivor.Connect(Port()));
  EXPECT_TRUE(survivor.Ping(2, kKeyA));
}

// Local presence follows the phone's connections.
TEST_F(ClientCommMgrTest, TwoConnectionsFromOnePhone) {
  TestPhone first(kPcId, kPhoneA);
  TestPhone second(kPcId, kPhoneA);
  ASSERT_TRUE(first.Connect(Port()));
  ASSERT_TRUE(second.Connect(Port()));
  EXPECT_EQ(LocalStateOf(kPhoneA), CPhotoDevice::kPresenceUnknown);
  ASSERT_TRUE(first.Ping(2, kKeyA));
  ASSERT_TRUE(second.Ping(1, kKeyA));
  EXPECT_EQ(LocalStateOf(kPhoneA), CPhotoDevice::kPresenceHere);

  first.Close();
  ASSERT_TRUE(PollUntil([] { return CClientCommMgr::Instance()->ChannelCountForTesting() == 1; }));
  ASSERT_TRUE(DrainIoThread());
  EXPECT_EQ(LocalStateOf(kPhoneA), CPhotoDevice::kPresenceHere);

  second.Close();
  ASSERT_TRUE(PollUntil([] { return LocalStateOf(kPhoneA) == CPhotoDevice::kPresenceAway; }));
  std::vector<UiMessage> local;
  for (const UiMessage& message : TakeQueuedUiMessages()) {
    if (message.type == UIMsg_device_local_state) local.push_back(message);
  }
  ASSERT_EQ(local.size(), 2u);
  EXPECT_EQ(local[0].value, 2);
  EXPECT_EQ(local[1].value, 1);
  EXPECT_EQ(local[1].id, kPhoneA);
}

// Command ids: no table entry means no reply and no uploader; upload ids go to the uploader.

TEST_F(ClientCommMgrTest, CommandWithoutHandlerIsAcceptedSilently) {
  TestPhone phone(kPcId, kPhoneA);
  ASSERT_TRUE(phone.Connect(Port()));
  for (uint16_t command : {0xFFFF, 0xFFFE, 0x1234, 6013}) {
    phone.Send(command, 2, kKeyA, CheckCodeOnlyBody());
  }
  ASSERT_TRUE(phone.Ping(2, kKeyA));  // the first frame back is the ping's
  EXPECT_EQ(g_uploads.Count(), 0u);
  // The phone was confirmed by the first of them: a bad command now only logs.
  phone.Send(6011, 2, kKeyA, CheckCodeOnlyBody(1));
  EXPECT_TRUE(phone.Ping(2, kKeyA));
}

TEST_F(ClientCommMgrTest, UploadCommandsGoToTheUploaderDeciphered) {
  TestPhone phone(kPcId, kPhoneA);
  ASSERT_TRUE(phone.Connect(Port()));
  protocol::C2CPhoneUploadFileFirstReq request;
  request.set_check_code(kCheckCode);
  request.set_file_path("/sdcard/DCIM/a.jpg");
  request.set_file_timestamp(1);
  request.set_file_size(2);
  request.set_file_scrc64(0);
  uint16_t index = 0;
  for (uint16_t command : {6006, 6007, 6008, 6012}) {
    phone.Send(command, index % 2 ? 1 : 2, kKeyA, request.SerializeAsString());
    ++index;
  }
  ASSERT_TRUE(g_uploads.WaitCount(4));
  for (size_t i = 0; i < 4; ++i) {
    CClientCommand* pCommand = g_uploads.At(i);
    const uint8_t* pBody = nullptr;
    uint32_t length = 0;
    ASSERT_TRUE(pCommand->GetBody(&pBody, &length));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(pBody), length),
              request.SerializeAsString());
    EXPECT_FALSE(pCommand->IsRelayed());
  }
  // A reply the upload thread sends later finds the phone's channel by the command's id.
  CClientCommand* pReply = CClientCommand::CreateReply(g_uploads.At(1));
  const std::string body = CheckCodeOnlyBody();
  pReply->SetBody(body.data(), static_cast<uint32_t>(body.size()));
  EXPECT_EQ(CClientCommMgr::Instance()->SendCommand(pReply, true), 1);
  pReply->Release();
  WireFrame reply;
  ASSERT_TRUE(phone.Receive(&reply));
  EXPECT_EQ(reply.header.command, 6007);
  protocol::C2CPhoneHeartbeatResp parsed;
  EXPECT_TRUE(ParseReply(reply, kKeyA, &parsed));
}

// Relayed frames: answered through the server session, never on a local channel.

TEST_F(ClientCommMgrTest, RelayedCommandIsAnsweredThroughTheServerSession) {
  peer::PhoneFrameHeader header;
  header.destId = kPcId;
  header.srcId = kPhoneA;
  header.command = 6001;
  header.sequence = 31;
  header.echo = 0xABCD;
  header.encodeType = 2;
  const std::string frame = BuildFrame(header, EncipherBody(2, kKeyA, CheckCodeOnlyBody()));

  CClientCommMgr* pMgr = CClientCommMgr::Instance();
  pMgr->OnTransferCommand(900, frame.data(), static_cast<uint32_t>(frame.size() - 1));
  peer::PhoneFrameHeader other = header;
  other.destId = kPcId + 1;
  const std::string foreign = BuildFrame(other, EncipherBody(2, kKeyA, CheckCodeOnlyBody()));
  pMgr->OnTransferCommand(900, foreign.data(), static_cast<uint32_t>(foreign.size()));
  pMgr->OnTransferCommand(900, nullptr, 0);
  const std::string trailing = frame + "trailing bytes";
  pMgr->OnTransferCommand(900, trailing.data(), static_cast<uint32_t>(trailing.size()));

  ASSERT_TRUE(g_transfers.WaitCount(1));
  ASSERT_TRUE(DrainIoThread());
  ASSERT_EQ(g_transfers.Count(), 1u);
  CClientCommand* pReply = g_transfers.At(0);
  EXPECT_TRUE(pReply->IsRelayed());
  EXPECT_EQ(pReply->ChannelId(), 900u);
  EXPECT_EQ(pReply->GetDestId(), kPhoneA);
  EXPECT_EQ(pReply->GetSequence(), 31u);
  const uint8_t* pBody = nullptr;
  uint32_t length = 0;
  ASSERT_TRUE(pReply->GetBody(&pBody, &length));
  std::string plain;
  ASSERT_TRUE(
      DecipherBody(2, kKeyA, std::string(reinterpret_cast<const char*>(pBody), length), &plain));
  protocol::C2CPhoneLoginResp parsed;
  EXPECT_TRUE(parsed.ParseFromString(plain));
  EXPECT_NE(LogText().find("Device[1001] Login from 互联网"), std::string::npos);
  // A relayed reply says nothing about the local network.
  EXPECT_EQ(LocalStateOf(kPhoneA), CPhotoDevice::kPresenceUnknown);

  // With no server session the relayed reply is dropped, not sent anywhere else.
  pMgr->SetTransferSender(nullptr);
  EXPECT_EQ(pMgr->SendCommand(pReply, false), 0);
}

// Flow control: a phone that sends without waiting for replies has its frames read only while
// those not yet handled hold less than the bound; it meets TCP flow control instead of growing
// the queues, and every frame still arrives, in order, once the queue drains.
TEST_F(ClientCommMgrTest, APhoneThatNeverWaitsIsHeldAtTheQueueBound) {
  constexpr int kFrames = 360;  // about 21 MiB
  constexpr int64_t kFrameBytes = 40 + 60016;
  const std::string data(60000, 'd');
  TestPhone phone(kPcId, kPhoneA);
  ASSERT_TRUE(phone.Connect(Port()));
  std::atomic<int> sent{0};
  std::thread sender([&] {
    for (int i = 0; i < kFrames; ++i) {
      phone.Send(6008, 2, kKeyA, data);
      ++sent;
    }
  });
  int received = 0;
  int rounds = 0;
  uint32_t nextSequence = 0;
  while (received < kFrames) {
    // Held by the uploader's stand-in until the count stops growing.
    size_t count = 0;
    for (;;) {
      count = g_uploads.Count();
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
      if (g_uploads.Count() == count && (count > 0 || sent.load() == kFrames)) break;
    }
    ASSERT_GT(count, 0u);
    EXPECT_LE(static_cast<int64_t>(count) * kFrameBytes,
              CClientChannel::kMaxQueuedBytes + 2 * kFrameBytes);
    for (size_t i = 0; i < count; ++i) {
      if (received == 0 && i == 0) nextSequence = g_uploads.At(0)->GetSequence();
      EXPECT_EQ(g_uploads.At(i)->GetSequence(), nextSequence++);
    }
    received += static_cast<int>(count);
    ++rounds;
    g_uploads.Clear();  // the frames are done with: reading resumes
  }
  sender.join();
  EXPECT_EQ(received, kFrames);
  EXPECT_GE(rounds, 3);
  EXPECT_TRUE(phone.Ping(2, kKeyA));
}

// A reply the upload thread sends just as the connection ends: the end, handled on the I/O
// thread, has the last word, so the phone is not left "connected" with no connection.
TestPhone* g_pClosingPhone = nullptr;

void CloseThePhoneAndWaitForTheEnd(uint32_t /*channelId*/) {
  g_pClosingPhone->Close();
  PollUntil([] { return CClientCommMgr::Instance()->ChannelCountForTesting() == 0; });
}

TEST_F(ClientCommMgrTest, AReplySentAsTheConnectionEndsLeavesThePhoneAway) {
  TestPhone phone(kPcId, kPhoneA);
  ASSERT_TRUE(phone.Connect(Port()));
  phone.Send(6008, 2, kKeyA, "chunk");
  ASSERT_TRUE(g_uploads.WaitCount(1));
  ASSERT_TRUE(DrainIoThread());
  ASSERT_LE(LocalStateOf(kPhoneA), CPhotoDevice::kPresenceAway);
  CClientCommand* pReply = CClientCommand::CreateReply(g_uploads.At(0));
  ASSERT_NE(pReply, nullptr);
  g_pClosingPhone = &phone;
  CClientCommMgr::Instance()->SetSentHookForTesting(&CloseThePhoneAndWaitForTheEnd);
  EXPECT_EQ(CClientCommMgr::Instance()->SendCommand(pReply, true), 1);
  CClientCommMgr::Instance()->SetSentHookForTesting(nullptr);  // ResetForTesting clears it too
  pReply->Release();
  ASSERT_EQ(CClientCommMgr::Instance()->ChannelCountForTesting(), 0u);
  EXPECT_LE(LocalStateOf(kPhoneA), CPhotoDevice::kPresenceAway);
}

// Binding: the refusals and the failed finish (the full flow runs with the phone simulator).

TEST_F(ClientCommMgrTest, BindFromIdZeroOrThePcsOwnIdIsRefused) {
  for (int64_t phoneId : {int64_t{0}, kPcId}) {
    TestPhone phone(kPcId, phoneId);
    ASSERT_TRUE(phone.Connect(Port()));
    phone.Send(6003, 3, BindKey(), BindRequestBody("x", "y", "z"));
    EXPECT_TRUE(phone.WaitClosed()) << phoneId;
    EXPECT_EQ(BindStateOf(phoneId), -1) << phoneId;
  }
}

TEST_F(ClientCommMgrTest, BindFinishFalseResetsAPhoneThatIsNotBound) {
  const int64_t phoneId = 777;
  TestPhone phone(kPcId, phoneId);
  ASSERT_TRUE(phone.Connect(Port()));
  phone.Send(6003, 3, BindKey(), BindRequestBody("", "", ""));
  WireFrame reply;
  ASSERT_TRUE(phone.Receive(&reply));
  protocol::C2CPhoneBindResp bind;
  ASSERT_TRUE(ParseReply(reply, BindKey(), &bind));
  ASSERT_TRUE(DrainIoThread());
  CPhotoDevice* pDevice = CPhotoDb::Instance()->FindOrCreateDevice(phoneId, false);
  ASSERT_NE(pDevice, nullptr);
  EXPECT_EQ(pDevice->Name(), u"");
  EXPECT_EQ(pDevice->Guid(), u"");
  pDevice->Release();

  protocol::C2CPhoneBindFinishReq finish;
  finish.set_check_code(kCheckCode);
  finish.set_check_bind(false);
  phone.Send(6005, 3, BindKey(), finish.SerializeAsString());  // the bind key is accepted too
  ASSERT_TRUE(phone.Receive(&reply));
  protocol::C2CPhoneBindFinishResp finished;
  ASSERT_TRUE(ParseReply(reply, BindKey(), &finished));
  EXPECT_FALSE(finished.bind_result());
  ASSERT_TRUE(DrainIoThread());
  EXPECT_EQ(BindStateOf(phoneId), CPhotoDevice::kBindNone);
}

}  // namespace
}  // namespace phone_road_test
