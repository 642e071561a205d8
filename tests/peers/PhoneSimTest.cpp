#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "msg.pb.h"
#include "uimsg.pb.h"

#include "PeerHex.h"
#include "PhoneCipher.h"
#include "PhoneSim.h"
#include "ScriptedPc.h"
#include "TcpFrameTransport.h"

namespace {

namespace fs = std::filesystem;
using phonesim::CPhoneSim;
using phonesim::FileOutcome;

constexpr int64_t kPcId = 4242;
constexpr char kBindKey[] = "b1nd0000b1nd0000";
constexpr char kIssuedKey[] = "0123456789abcdef";

// Relay path stand-in: the direct connection, announced with the relay limit and watched.
class CRelaySizedTransport final : public peer::IPhoneFrameTransport {
 public:
  explicit CRelaySizedTransport(std::unique_ptr<phonesim::CTcpFrameTransport> inner)
      : m_inner(std::move(inner)) {}
  size_t MaxFrameSize() const override { return peer::kRelayedPhoneFrameMaxSize; }
  bool SendFrame(std::string_view frame) override {
    m_largest = std::max(m_largest, frame.size());
    return m_inner->SendFrame(frame);
  }
  RecvResult ReceiveFrame(std::string* frame, int timeoutMs) override {
    return m_inner->ReceiveFrame(frame, timeoutMs);
  }
  void Close() override { m_inner->Close(); }
  std::string LastError() const override { return m_inner->LastError(); }
  size_t Largest() const { return m_largest; }

 private:
  std::unique_ptr<phonesim::CTcpFrameTransport> m_inner;
  size_t m_largest = 0;
};

class PhoneSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "peer-tests-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    m_root = pattern;
    m_pc = std::make_unique<CScriptedPc>(kPcId, kBindKey, kIssuedKey);
    ASSERT_NE(m_pc->Port(), 0);
  }
  void TearDown() override {
    m_pc.reset();
    fs::remove_all(m_root);
  }

  std::unique_ptr<CPhoneSim> NewPhone(int64_t phoneId, uint16_t encodeType = 2) {
    phonesim::PhoneSimConfig config;
    config.pcId = kPcId;
    config.phoneId = phoneId;
    config.bindKey = kBindKey;
    config.deviceKey = kIssuedKey;
    config.encodeType = encodeType;
    config.replyTimeoutMs = 5000;
    auto phone = std::make_unique<CPhoneSim>(config);
    EXPECT_TRUE(phone->Connect("127.0.0.1", m_pc->Port())) << phone->LastError();
    return phone;
  }

  // Writes `size` bytes that differ at every offset; returns the contents.
  std::string WriteFile(const std::string& relative, size_t size, int64_t mtimeMs = 0) {
    const fs::path path = m_root / "album" / relative;
    fs::create_directories(path.parent_path());
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
    std::ofstream(path, std::ios::binary).write(bytes.data(), bytes.size());
    if (mtimeMs > 0) {
      const timespec times[2] = {{mtimeMs / 1000, (mtimeMs % 1000) * 1000000},
                                 {mtimeMs / 1000, (mtimeMs % 1000) * 1000000}};
      EXPECT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }
    return bytes;
  }

  std::string Album() const { return (m_root / "album").string(); }

  fs::path m_root;
  std::unique_ptr<CScriptedPc> m_pc;
};

}  // namespace

// Chunk sizing: the largest chunk fills the frame to its limit; one byte more overflows it
// (under AES by a whole block: 65528 becomes 65544).
TEST(PhoneSimChunkTest, LargestChunkFitsAtTheExactBoundary) {
  struct Case {
    uint16_t encodeType;
    size_t maxFrame;
    int64_t fileSize;
    int64_t position;
    int32_t fileId;
    size_t data;
    size_t frame;
    size_t frameWithOneMore;
  };
  const Case cases[] = {
      {2, 65536, 100 << 20, 50 << 20, 7, 65461, 65528, 65544},
      {3, 65536, int64_t{1} << 30, int64_t{900} << 20, 7, 65459, 65528, 65544},
      {2, 65536, INT64_MAX, INT64_MAX - 1, INT32_MAX, 65447, 65528, 65544},
      {1, 65536, 100 << 20, 50 << 20, 7, 65470, 65536, 65537},
      {1, 65536, int64_t{1} << 30, int64_t{900} << 20, 7, 65468, 65536, 65537},
      {1, 65536, 200000, 0, 7, 65474, 65536, 65537},
      {2, 65524, 100 << 20, 50 << 20, 7, 65445, 65512, 65528},
      {2, 65524, INT64_MAX, INT64_MAX - 1, INT32_MAX, 65431, 65512, 65528},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "type " << c.encodeType << ", limit " << c.maxFrame << ", size " << c.fileSize);
    const size_t data =
        CPhoneSim::LargestChunkData(c.encodeType, c.maxFrame, c.fileSize, c.position, c.fileId);
    EXPECT_EQ(data, c.data);
    auto frameSize = [&](size_t n) {
      protocol::C2CPhoneUploadFileNextReq next;
      next.set_check_code(peer::kPhoneCheckCode);
      next.set_file_size(c.fileSize);
      next.set_start_position(c.position);
      next.set_data_len(static_cast<int32_t>(n));
      next.set_data(std::string(n, 'd'));
      next.set_file_id(c.fileId);
      return peer::kPhoneFrameHeaderSize +
             peer::CPhoneCipher::CipherSize(c.encodeType, next.ByteSizeLong());
    };
    EXPECT_EQ(frameSize(data), c.frame);
    EXPECT_EQ(frameSize(data + 1), c.frameWithOneMore);
    EXPECT_GT(c.frameWithOneMore, c.maxFrame);
  }
}

// Binding: each step travels under the key its path names, and the issued key is taken.
TEST_F(PhoneSimTest, BindPathsUseTheirEncodeTypes) {
  auto phone = NewPhone(7);
  phone->SetDeviceKey("");
  std::string pcName;
  ASSERT_TRUE(phone->Bind(phonesim::BindPath::kFinishUnderDeviceKey, &pcName))
      << phone->LastError();
  EXPECT_EQ(phone->DeviceKey(), kIssuedKey);
  EXPECT_EQ(pcName, "scripted-pc");
  ASSERT_TRUE(phone->Login()) << phone->LastError();
  phone.reset();  // the scripted PC serves one connection at a time

  auto second = NewPhone(8, 1);
  ASSERT_TRUE(second->Bind(phonesim::BindPath::kAllBindKey)) << second->LastError();
  ASSERT_TRUE(second->Heartbeat()) << second->LastError();
  ASSERT_TRUE(second->Report()) << second->LastError();

  EXPECT_EQ(m_pc->EncodeTypesOf(6003), (std::vector<uint16_t>{3, 3}));
  EXPECT_EQ(m_pc->EncodeTypesOf(6004), (std::vector<uint16_t>{3, 3}));
  EXPECT_EQ(m_pc->EncodeTypesOf(6005), (std::vector<uint16_t>{2, 3}));
  EXPECT_EQ(m_pc->EncodeTypesOf(6001), (std::vector<uint16_t>{2}));
  EXPECT_EQ(m_pc->EncodeTypesOf(6011), (std::vector<uint16_t>{1}));
  EXPECT_EQ(m_pc->EncodeTypesOf(6009), (std::vector<uint16_t>{1}));
  EXPECT_TRUE(m_pc->Errors().empty());
}

// Reply checks: a reply that does not mirror its request, or whose body is wrong, is refused
// with the reason.
TEST_F(PhoneSimTest, BrokenRepliesAreRefused) {
  const std::pair<CScriptedPc::Fault, const char*> faults[] = {
      {CScriptedPc::Fault::kWrongSequence, "sequence"},
      {CScriptedPc::Fault::kWrongEcho, "echo"},
      {CScriptedPc::Fault::kWrongDest, "dest"},
      {CScriptedPc::Fault::kWrongEncode, "encode type"},
      {CScriptedPc::Fault::kBadCheckCode, "check_code"},
      {CScriptedPc::Fault::kBadPad, "does not decipher"},
  };
  auto phone = NewPhone(9);
  for (const auto& [fault, reason] : faults) {
    m_pc->BreakNextReply(fault);
    EXPECT_FALSE(phone->Heartbeat()) << reason;
    EXPECT_NE(phone->LastError().find(reason), std::string::npos) << phone->LastError();
    EXPECT_TRUE(phone->Heartbeat()) << phone->LastError();
  }
}

// Uploads: every byte arrives in order, the window fills, the announcement carries the
// folder's shape and the file's time.
TEST_F(PhoneSimTest, WindowedUploadDeliversEveryByte) {
  WriteFile("empty.jpg", 0);
  const std::string video = WriteFile("trip/day1/clip.mp4", 300000, 1700000000123);
  m_pc->SetHoldChunks(4);
  auto phone = NewPhone(11);
  phonesim::UploadOptions options;
  options.window = 4;
  options.maxChunk = 20000;
  phonesim::UploadSummary summary;
  ASSERT_TRUE(phone->UploadFolder(Album(), options, &summary)) << phone->LastError();

  ASSERT_EQ(summary.files.size(), 2u);
  EXPECT_EQ(summary.files[0].outcome, FileOutcome::kInPlace);
  EXPECT_EQ(summary.files[1].outcome, FileOutcome::kInPlace);
  EXPECT_EQ(summary.bytesAcked, 300000);
  const std::string clip = "/sdcard/DCIM/album/trip/day1/clip.mp4";
  EXPECT_EQ(m_pc->FileAt(clip).bytes, video);
  EXPECT_EQ(m_pc->FileAt(clip).subPath, "trip/day1");
  EXPECT_EQ(m_pc->FileAt("/sdcard/DCIM/album/empty.jpg").subPath, "<absent>");
  EXPECT_EQ(m_pc->FileAt(clip).timestamp, 1700000000123);
  EXPECT_EQ(m_pc->MaxChunksWaiting(), 4);
  EXPECT_EQ(m_pc->BatchValue(2), 2);  // files_total
  EXPECT_EQ(m_pc->BatchValue(4), 1);  // f_pic_total
  EXPECT_EQ(m_pc->BatchValue(6), 1);  // f_video_total
  ASSERT_TRUE(phone->UploadFinish(summary.counts, 0, 0)) << phone->LastError();
  EXPECT_TRUE(m_pc->Errors().empty());
}

// Interruption and resume: the run closes the connection at the chosen byte, and the next run
// continues from the position the PC answers, not from what the phone remembers.
TEST_F(PhoneSimTest, StopsAtChosenByteAndResumesFromPcPosition) {
  const std::string bytes = WriteFile("a.jpg", 200000);
  const std::string path = "/sdcard/DCIM/album/a.jpg";
  phonesim::UploadOptions options;
  options.window = 3;
  options.maxChunk = 30000;
  options.stopAtBytes = 100000;
  phonesim::UploadSummary summary;

  auto first = NewPhone(12);
  ASSERT_TRUE(first->UploadFolder(Album(), options, &summary)) << first->LastError();
  EXPECT_TRUE(summary.stopped);
  EXPECT_FALSE(first->IsConnected());
  EXPECT_EQ(summary.bytesAcked, 100000);
  ASSERT_TRUE(m_pc->WaitForDisconnects(1, 5000));
  EXPECT_EQ(m_pc->FileAt(path).bytes, bytes.substr(0, 100000));

  // Sent but not acknowledged: the phone closes right after the send; the PC keeps what came.
  options.stopAtBytes = 45000;
  options.stopWhenSent = true;
  auto second = NewPhone(12);
  ASSERT_TRUE(second->UploadFolder(Album(), options, &summary)) << second->LastError();
  EXPECT_TRUE(summary.stopped);
  EXPECT_EQ(summary.files[0].startPosition, 100000);
  EXPECT_EQ(summary.bytesSent, 45000);
  ASSERT_TRUE(m_pc->WaitForDisconnects(2, 5000));
  EXPECT_EQ(m_pc->FileAt(path).bytes, bytes.substr(0, 145000));

  options.stopAtBytes = -1;
  auto third = NewPhone(12);
  ASSERT_TRUE(third->UploadFolder(Album(), options, &summary)) << third->LastError();
  EXPECT_EQ(summary.files[0].startPosition, 145000);
  EXPECT_EQ(summary.bytesSent, 55000);
  EXPECT_EQ(m_pc->FileAt(path).bytes, bytes);

  ASSERT_TRUE(third->UploadFolder(Album(), options, &summary)) << third->LastError();
  EXPECT_EQ(summary.files[0].outcome, FileOutcome::kSkipped);
  EXPECT_TRUE(m_pc->Errors().empty());
}

// A chunk the PC refuses fails that file; the replies to the chunks behind it are taken, so
// the next command still lines up.
TEST_F(PhoneSimTest, RefusedChunkFailsFileAndKeepsStreamInStep) {
  WriteFile("a.jpg", 100000);
  WriteFile("b.jpg", 1000);
  m_pc->SetHoldChunks(8);
  m_pc->RefuseChunkAt(20000);
  auto phone = NewPhone(13);
  phonesim::UploadOptions options;
  options.window = 8;
  options.maxChunk = 10000;
  phonesim::UploadSummary summary;
  EXPECT_FALSE(phone->UploadFolder(Album(), options, &summary));
  ASSERT_EQ(summary.files.size(), 2u);
  EXPECT_EQ(summary.files[0].outcome, FileOutcome::kFailed);
  EXPECT_FALSE(summary.files[0].fatal);
  EXPECT_EQ(summary.files[0].result, 11001);
  EXPECT_EQ(summary.files[0].bytesAcked, 20000);
  EXPECT_EQ(summary.files[1].outcome, FileOutcome::kInPlace);
  EXPECT_EQ(summary.counts.filesFailed, 1);
  EXPECT_TRUE(phone->Heartbeat()) << phone->LastError();
}

// The relay path's smaller limit shapes the chunks.
TEST_F(PhoneSimTest, RelayLimitKeepsFramesWithin65524) {
  const std::string bytes = WriteFile("big.mov", 200000);
  phonesim::PhoneSimConfig config;
  config.pcId = kPcId;
  config.phoneId = 14;
  config.deviceKey = kIssuedKey;
  CPhoneSim phone(config);
  auto direct = std::make_unique<phonesim::CTcpFrameTransport>();
  ASSERT_TRUE(direct->Connect("127.0.0.1", m_pc->Port(), 5000));
  auto relay = std::make_unique<CRelaySizedTransport>(std::move(direct));
  const CRelaySizedTransport* watch = relay.get();
  phone.SetTransport(std::move(relay));
  phonesim::UploadSummary summary;
  ASSERT_TRUE(phone.UploadFolder(Album(), phonesim::UploadOptions(), &summary))
      << phone.LastError();
  EXPECT_EQ(m_pc->FileAt("/sdcard/DCIM/album/big.mov").bytes, bytes);
  // At position 0 of a small file the varints are short: 65449 bytes make a 65471-byte body,
  // the most that fits; its AES frame is 65512, and one more block would be 65528 > 65524.
  EXPECT_EQ(m_pc->ChunkSizes().front(), 65449u);
  EXPECT_EQ(watch->Largest(), 65512u);
}

// The program: the QR text stands in for host, port, PC id and bind key; the key file carries
// the device key to the next run; a failing step ends the run with exit code 1.
TEST_F(PhoneSimTest, ProgramBindsThenUploadsInALaterRun) {
  WriteFile("a.jpg", 70000);
  protocol::UIBindInfo info;
  info.set_id_pc(kPcId);
  info.set_bind_key(kBindKey);
  info.set_local_ip("127.0.0.1");
  info.set_local_port(m_pc->Port());
  const std::string keyFile = (m_root / "phone.key").string();
  const std::string common = std::string(PHONE_SIM_PATH) + " --bind-info " +
                             peer::ToHex(info.SerializeAsString()) + " --phone-id 21 --key-file " +
                             keyFile;
  auto run = [](const std::string& command, std::string* output) {
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return -1;
    char line[512];
    while (fgets(line, sizeof(line), pipe)) *output += line;
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };

  std::string output;
  ASSERT_EQ(run(common + " bind", &output), 0) << output;
  EXPECT_NE(output.find("bind: ok, key=0123456789abcdef"), std::string::npos) << output;
  ASSERT_TRUE(m_pc->WaitForDisconnects(1, 5000));

  output.clear();
  ASSERT_EQ(run(common + " login upload " + Album() + " --window 2 finish", &output), 0) << output;
  EXPECT_NE(output.find("key: loaded"), std::string::npos) << output;
  EXPECT_NE(output.find("upload /sdcard/DCIM/album/a.jpg: in place"), std::string::npos) << output;
  EXPECT_NE(output.find("finish: ok"), std::string::npos) << output;
  ASSERT_TRUE(m_pc->WaitForDisconnects(2, 5000));
  EXPECT_EQ(m_pc->EncodeTypesOf(6008), (std::vector<uint16_t>{2, 2}));

  output.clear();
  m_pc->BreakNextReply(CScriptedPc::Fault::kWrongEcho);
  EXPECT_EQ(run(common + " heartbeat", &output), 1) << output;
  EXPECT_NE(output.find("heartbeat: failed"), std::string::npos) << output;
}
