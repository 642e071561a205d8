#include "E2eTestSupport.h"

#include <algorithm>
#include <filesystem>

#include "msg.pb.h"

#include "PhoneFrame.h"

namespace uploads_e2e {

namespace fs = std::filesystem;

void UploadE2eTest::SetUp() {
  m_root = MakeTempFolder(fs::temp_directory_path().string(), "uploads-e2e-");
  ASSERT_FALSE(m_root.empty());
  m_source = m_root + "/phone";
  m_backup = m_root + "/backup";
  m_seed.pcId = kPcId;
  m_seed.idKey = KeyFromSeed(1);
  m_seed.phones = {{kPhoneA, KeyFromSeed(2), "Ostra A"}, {kPhoneB, KeyFromSeed(3), "Ostra B"}};
}

void UploadE2eTest::TearDown() {
  if (m_pHost) {
    // A clean stop, so that a sanitizer build of the host reports at its exit too.
    if (m_pHost->Process().Running()) {
      EXPECT_TRUE(m_pHost->Stop()) << "the host did not stop cleanly";
    }
    for (const std::string& line : m_pHost->Process().Lines()) {
      if (line.find("Sanitizer") != std::string::npos ||
          line.find("runtime error:") != std::string::npos) {
        ADD_FAILURE() << "host: " << line;
      }
    }
    if (HasFailure()) {
      std::fprintf(stderr, "--- %s output (tail) ---\n%s",
                   CUploadHostRunner::KindName(m_pHost->Options().kind),
                   m_pHost->Process().Tail(60).c_str());
    }
  }
  m_pHost.reset();
  RemoveTree(m_root);
}

HostKind UploadE2eTest::DefaultKind() const {
  return CUploadHostRunner::DefaultKind(LUMIDOCK_BIN_DIR);
}

void UploadE2eTest::StartHost(HostKind kind, const std::vector<std::string>& extraEnv,
                              const std::string& backup) {
  HostOptions options;
  options.kind = kind;
  options.binDir = LUMIDOCK_BIN_DIR;
  options.root = m_root;
  options.backup = backup.empty() ? m_backup : backup;
  options.extraEnv = extraEnv;
  m_backup = options.backup;
  m_pHost = std::make_unique<CUploadHostRunner>(options, m_seed);
  std::string error;
  ASSERT_TRUE(m_pHost->Prepare(&error)) << error;
  ASSERT_TRUE(m_pHost->Start(&error)) << error;
}

phonesim::PhoneSimConfig UploadE2eTest::PhoneConfig(int64_t phoneId, uint16_t encodeType) const {
  phonesim::PhoneSimConfig config;
  config.pcId = m_seed.pcId;
  config.phoneId = phoneId;
  config.encodeType = encodeType;
  config.replyTimeoutMs = 20000;
  for (const PhoneSeed& phone : m_seed.phones) {
    if (phone.id == phoneId) config.deviceKey = phone.key;
  }
  return config;
}

std::unique_ptr<phonesim::CPhoneSim> UploadE2eTest::ConnectPhone(int64_t phoneId,
                                                                 uint16_t encodeType) {
  auto pPhone = std::make_unique<phonesim::CPhoneSim>(PhoneConfig(phoneId, encodeType));
  if (!m_pHost || !pPhone->Connect("127.0.0.1", m_pHost->Port())) {
    ADD_FAILURE() << "connect: " << pPhone->LastError();
  }
  return pPhone;
}

const std::string& UploadE2eTest::PhoneName(int64_t phoneId) const {
  for (const PhoneSeed& phone : m_seed.phones) {
    if (phone.id == phoneId) return phone.name;
  }
  static const std::string kNone;
  return kNone;
}

phonesim::UploadFileSpec UploadE2eTest::MakeSourceFile(const std::string& relative, int64_t size,
                                                       uint64_t seed, int64_t mtimeMs) {
  phonesim::UploadFileSpec spec;
  spec.localPath = m_source + "/" + relative;
  EXPECT_TRUE(WritePseudoRandomFile(spec.localPath, size, seed, mtimeMs)) << spec.localPath;
  spec.phonePath = std::string("/sdcard/DCIM/") + kAlbum + "/" + relative;
  spec.albumName = kAlbum;
  spec.subPath = fs::path(relative).parent_path().generic_string();
  spec.timestampMs = mtimeMs;
  spec.size = size;
  return spec;
}

std::string UploadE2eTest::SavedPath(int64_t phoneId, const std::string& album,
                                     const std::string& relative) {
  return m_backup + "/" + PhoneName(phoneId) + "/" + album + "/" + relative;
}

void UploadE2eTest::ExpectSameFile(const phonesim::UploadFileSpec& spec,
                                   const std::string& savedPath) {
  EXPECT_EQ(FileSize(savedPath), spec.size) << savedPath;
  EXPECT_EQ(Sha256OfFile(savedPath), Sha256OfFile(spec.localPath)) << savedPath;
  EXPECT_EQ(MtimeMs(savedPath), spec.timestampMs) << savedPath;
}

bool UploadE2eTest::Announce(phonesim::CPhoneSim* pPhone, const phonesim::UploadFileSpec& spec,
                             Announced* pAnnounced) {
  protocol::C2CPhoneUploadFileFirstReq request;
  request.set_check_code(peer::kPhoneCheckCode);
  request.set_file_path(spec.phonePath);
  request.set_file_timestamp(spec.timestampMs);
  request.set_file_size(spec.size);
  request.set_file_scrc64(spec.scrc64);
  request.set_file_name(fs::path(spec.phonePath).filename().string());
  request.set_album_name(spec.albumName);
  if (!spec.subPath.empty()) request.set_file_sub_path(spec.subPath);
  phonesim::PhoneReply reply;
  protocol::C2CPhoneUploadFileFirstResp response;
  if (!pPhone->Exchange(protocol::C2C_phone_upload_file_first, pPhone->Config().encodeType, request,
                        &reply) ||
      !response.ParseFromString(reply.body)) {
    return false;
  }
  pAnnounced->session = reply.header.sequence;
  pAnnounced->result = reply.header.result;
  pAnnounced->needUpload = response.need_upload();
  pAnnounced->fileId = response.file_id();
  pAnnounced->startPosition = response.start_position();
  return true;
}

bool UploadE2eTest::SendChunks(phonesim::CPhoneSim* pPhone, const phonesim::UploadFileSpec& spec,
                               const Announced& announced, int64_t from, int64_t to,
                               uint16_t* pResult) {
  *pResult = 0;
  std::string content(static_cast<size_t>(to - from), '\0');
  {
    FILE* pFile = std::fopen(spec.localPath.c_str(), "rb");
    if (!pFile) return false;
    const bool read = std::fseek(pFile, static_cast<long>(from), SEEK_SET) == 0 &&
                      std::fread(content.data(), 1, content.size(), pFile) == content.size();
    std::fclose(pFile);
    if (!read) return false;
  }
  const uint16_t encodeType = pPhone->Config().encodeType;
  for (int64_t position = from; position < to;) {
    const int64_t room = static_cast<int64_t>(phonesim::CPhoneSim::LargestChunkData(
        encodeType, peer::kPhoneFrameMaxSize, spec.size, position, announced.fileId));
    const int64_t length = std::min(room, to - position);
    protocol::C2CPhoneUploadFileNextReq request;
    request.set_check_code(peer::kPhoneCheckCode);
    request.set_file_size(spec.size);
    request.set_start_position(position);
    request.set_data_len(static_cast<int32_t>(length));
    request.set_data(
        content.substr(static_cast<size_t>(position - from), static_cast<size_t>(length)));
    request.set_file_id(announced.fileId);
    phonesim::PhoneReply reply;
    protocol::C2CPhoneUploadFileNextResp response;
    if (!pPhone->SendCommand(protocol::C2C_phone_upload_file_next, encodeType, announced.session,
                             request.SerializeAsString(), nullptr) ||
        !pPhone->ReceiveReply(&reply) || !response.ParseFromString(reply.body) ||
        response.start_position() != position) {
      return false;
    }
    if (reply.header.result != 0) {
      *pResult = reply.header.result;
      return true;
    }
    position += length;
  }
  return true;
}

}  // namespace uploads_e2e
