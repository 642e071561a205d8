#include "UploadTestSupport.h"

#include <openssl/evp.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>

#include "Logic/ClientCommMgr.h"
#include "Logic/ClientCommand.h"
#include "Logic/FileUploadMgr.h"
#include "Logic/LogicCenter.h"
#include "Logic/PhotoDb.h"
#include "Logic/PhotoDevice.h"
#include "Logic/PhotoMessage.h"
#include "NetEngine/NetHelpers.h"
#include "win32/registry.h"

namespace upload_test {
namespace {

std::mutex g_replyMutex;
std::condition_variable g_replyArrived;
std::deque<Reply> g_replies;

int CaptureReply(CClientCommand* pReply) {
  Reply reply;
  const ClientCommandHeader header = pReply->GetHeader();
  reply.command = header.commandId;
  reply.sequence = header.sequence;
  reply.echo = header.echo;
  reply.result = header.result;
  reply.destId = header.destId;
  const uint8_t* pBody = nullptr;
  uint32_t length = 0;
  if (pReply->GetBody(&pBody, &length))
    reply.body.assign(reinterpret_cast<const char*>(pBody), length);
  {
    std::lock_guard<std::mutex> lock(g_replyMutex);
    g_replies.push_back(reply);
  }
  g_replyArrived.notify_all();
  return 1;
}

void PutBe(std::string* pOut, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) pOut->push_back(static_cast<char>(value >> (8 * i)));
}


}  // namespace

bool FileExists(const std::string& posixPath) {
  struct stat st;
  return lstat(posixPath.c_str(), &st) == 0;
}

int64_t LastWriteMs(const std::string& posixPath) {
  struct stat st;
  if (stat(posixPath.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
}

std::string Sha256(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  return BytesToHex(digest, length);
}

std::string RandomBytes(size_t length, uint32_t seed) {
  std::mt19937 generator(seed);
  std::string bytes(length, '\0');
  for (char& c : bytes) c = static_cast<char>(generator());
  return bytes;
}

std::vector<std::string> ListFiles(const std::string& folder) {
  std::vector<std::string> files;
  std::error_code ignored;
  for (auto it = std::filesystem::recursive_directory_iterator(folder, ignored);
       it != std::filesystem::recursive_directory_iterator(); ++it) {
    if (!it->is_directory())
      files.push_back(std::filesystem::relative(it->path(), folder).string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string Trailer(uint64_t size, uint64_t timeStamp, uint64_t held, uint64_t scrc64,
                    uint32_t magic) {
  std::string trailer;
  for (uint64_t value : {size, timeStamp, held, scrc64}) {
    for (int i = 0; i < 8; ++i) trailer.push_back(static_cast<char>(value >> (8 * i)));
  }
  for (int i = 0; i < 4; ++i) trailer.push_back(static_cast<char>(magic >> (8 * i)));
  return trailer;
}

void ResetReplies() {
  std::lock_guard<std::mutex> lock(g_replyMutex);
  g_replies.clear();
}

bool NextReply(Reply* pReply, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(g_replyMutex);
  if (!g_replyArrived.wait_for(lock, timeout, [] { return !g_replies.empty(); })) return false;
  *pReply = g_replies.front();
  g_replies.pop_front();
  return true;
}

CClientCommand* MakeCommand(int64_t source, uint16_t commandId, uint32_t sequence,
                            const std::string& body, uint32_t echo) {
  std::string frame;
  PutBe(&frame, CClientCommand::kMagic, 2);
  PutBe(&frame, static_cast<uint64_t>(kPcId), 8);
  PutBe(&frame, static_cast<uint64_t>(source), 8);
  PutBe(&frame, commandId, 2);
  PutBe(&frame, sequence, 4);
  PutBe(&frame, CClientCommand::kHeaderSize + body.size(), 4);
  PutBe(&frame, echo, 4);
  PutBe(&frame, 0, 2);  // result
  PutBe(&frame, CClientCommand::kEncodePlain, 2);
  PutBe(&frame, 0, 4);
  frame += body;
  CClientCommand* pCommand = CClientCommand::Create(static_cast<uint32_t>(frame.size()));
  const uint8_t* pData = reinterpret_cast<const uint8_t*>(frame.data());
  uint32_t remaining = static_cast<uint32_t>(frame.size());
  EXPECT_EQ(pCommand->ParseFrom(&pData, &remaining), 0);
  pCommand->SetChannelId(1);
  pCommand->SetRelayed(true);
  return pCommand;
}

std::string Serialize(const google::protobuf::MessageLite& message) {
  std::string bytes;
  message.SerializeToString(&bytes);
  return bytes;
}

std::vector<UiMessage> TakeUiMessages() {
  std::vector<UiMessage> messages;
  while (CPhotoMessage* pMessage = CLogicCenter::Instance()->PopUiMessage()) {
    UiMessage message;
    pMessage->GetType(&message.type);
    pMessage->GetId(&message.id);
    pMessage->GetValue(&message.value);
    pMessage->GetParam1(&message.param1);
    pMessage->GetParam2(&message.param2);
    pMessage->GetParam3(&message.param3);
    pMessage->GetParam4(&message.param4);
    const win32::BYTE* pData = nullptr;
    int length = 0;
    pMessage->GetPayload(&pData, &length);
    message.payload.assign(reinterpret_cast<const char*>(pData), static_cast<size_t>(length));
    messages.push_back(message);
    pMessage->Release();
  }
  return messages;
}

void NamePhone(int64_t phone, const std::u16string& name) {
  CPhotoDevice* pDevice = CPhotoDb::Instance()->FindOrCreateDevice(phone, true);
  pDevice->SetName(name);
  pDevice->Release();
}

void UploadFixture::SetUp() {
  std::string pattern = (std::filesystem::temp_directory_path() / "upload-test-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  m_root = pattern;
  setenv("LUMIDOCK_ROOT", m_root.c_str(), 1);
  m_work = m_root + "/backup";

  CPhotoDb::Instance()->ResetForTesting();
  NamePhone(kPhoneA, u"Phone A");
  NamePhone(kPhoneB, u"Phone B");
  CLogicCenter::Instance()->ClearUiMessages();
  CClientCommMgr::Instance()->ResetForTesting();
  CClientCommMgr::Instance()->SetTransferSender(&CaptureReply);
  ResetReplies();

  m_pAssist = new test_common::RecordingUploadAssist(WindowsFromPosix(m_work),
                                                     [] { return CPhotoDb::Instance(); });
  CFileUploadMgr* pMgr = CFileUploadMgr::Instance();
  ASSERT_EQ(pMgr->Advise(m_pAssist), win32::S_OK);
  pMgr->SetPeriodsForTesting(0, 0);
  ASSERT_EQ(pMgr->Start(), 0);
}

void UploadFixture::TearDown() {
  CFileUploadMgr* pMgr = CFileUploadMgr::Instance();
  pMgr->Stop();
  pMgr->Unadvise();
  EXPECT_EQ(pMgr->ItemCountForTesting(), 0u);
  EXPECT_EQ(m_pAssist->References(), 1u);
  m_pAssist->Release();
  CClientCommMgr::Instance()->ResetForTesting();
  CLogicCenter::Instance()->ClearUiMessages();
  CPhotoDb::Instance()->ResetForTesting();
  std::error_code ignored;
  std::filesystem::remove_all(m_root, ignored);
}

protocol::C2CPhoneUploadFileFirstResp UploadFixture::Announce(
    int64_t phone, uint32_t sequence, const std::string& devicePath, int64_t size,
    int64_t timeStamp, Reply* pReply, const std::string& album, const std::string& subPath,
    int64_t scrc64) {
  protocol::C2CPhoneUploadFileFirstReq request;
  request.set_check_code(CClientCommMgr::kCheckCode);
  request.set_file_path(devicePath);
  request.set_file_timestamp(timeStamp);
  request.set_file_size(size);
  request.set_file_scrc64(scrc64);
  request.set_album_name(album);
  if (!subPath.empty()) request.set_file_sub_path(subPath);
  Enqueue(MakeCommand(phone, 6007, sequence, Serialize(request)));
  protocol::C2CPhoneUploadFileFirstResp reply;
  Reply raw;
  EXPECT_TRUE(NextReply(&raw));
  EXPECT_EQ(raw.command, 6007);
  EXPECT_EQ(raw.sequence, sequence);
  EXPECT_TRUE(reply.ParseFromString(raw.body));
  if (pReply) *pReply = raw;
  return reply;
}

int UploadFixture::SendChunk(int64_t phone, uint32_t sequence, int32_t fileId, int64_t size,
                             int64_t position, const std::string& data, bool expectReply) {
  protocol::C2CPhoneUploadFileNextReq request;
  request.set_check_code(CClientCommMgr::kCheckCode);
  request.set_file_size(size);
  request.set_start_position(position);
  request.set_data_len(static_cast<int32_t>(data.size()));
  request.set_data(data);
  request.set_file_id(fileId);
  Enqueue(MakeCommand(phone, 6008, sequence, Serialize(request)));
  if (!expectReply) return -1;
  Reply raw;
  if (!NextReply(&raw)) return -1;
  protocol::C2CPhoneUploadFileNextResp reply;
  EXPECT_TRUE(reply.ParseFromString(raw.body));
  EXPECT_EQ(raw.command, 6008);
  EXPECT_EQ(reply.start_position(), position);
  EXPECT_EQ(reply.data_len(), static_cast<int32_t>(data.size()));
  return raw.result;
}

bool UploadFixture::SendRest(int64_t phone, uint32_t sequence, int32_t fileId,
                             const std::string& content, int64_t from) {
  for (size_t at = static_cast<size_t>(from); at < content.size(); at += kChunk) {
    if (SendChunk(phone, sequence, fileId, static_cast<int64_t>(content.size()),
                  static_cast<int64_t>(at), content.substr(at, kChunk)) != 0) {
      return false;
    }
  }
  return true;
}

std::string UploadFixture::EndedPath(size_t index) {
  EXPECT_TRUE(m_pAssist->WaitForEnds(index + 1, std::chrono::seconds(10)));
  std::vector<test_common::RecordingUploadAssist::UploadEnd> ends = m_pAssist->Ends();
  return index < ends.size() ? PosixFromWindows(ends[index].savePath) : std::string();
}

void UploadFixture::Barrier() {
  protocol::C2CPhoneUploadFilesReq batch;
  batch.set_check_code(CClientCommMgr::kCheckCode);
  batch.set_files_total(0);
  batch.set_files_ok(0);
  Enqueue(MakeCommand(kPhoneA, 6006, 0xB0B0, Serialize(batch)));
  Reply raw;
  ASSERT_TRUE(NextReply(&raw));
  ASSERT_EQ(raw.sequence, 0xB0B0u);
}

void UploadFixture::Enqueue(CClientCommand* pCommand) {
  CFileUploadMgr::Instance()->Enqueue(pCommand);
  pCommand->Release();
}

}  // namespace upload_test
