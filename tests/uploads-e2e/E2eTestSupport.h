#pragma once
// The end-to-end upload fixture: a sandbox root, a source folder of the phone's files, the
// library's host process with two bound phones, and the phone-side steps the simulator's
// whole-file upload does not expose (an announcement, then chunks on a connection left open).

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "PhoneSim.h"
#include "UploadHostRunner.h"

namespace uploads_e2e {

constexpr int64_t kPcId = 710000000042;
constexpr int64_t kPhoneA = 0x0A0B0C0D0E0F1011;
constexpr int64_t kPhoneB = 0x0A0B0C0D0E0F1012;
constexpr char kAlbum[] = "Camera";

// A 6007 as the PC answered it.
struct Announced {
  uint32_t session = 0;  // the announcement's sequence, carried by every chunk
  uint16_t result = 0;
  bool needUpload = false;
  int32_t fileId = 0;
  int64_t startPosition = 0;
};

class UploadE2eTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Prepares and starts the host (kind: the default unless the test needs one); extraEnv goes
  // to the host. The backup folder is <root>/backup unless given.
  void StartHost(HostKind kind, const std::vector<std::string>& extraEnv = {},
                 const std::string& backup = {});
  HostKind DefaultKind() const;

  phonesim::PhoneSimConfig PhoneConfig(int64_t phoneId, uint16_t encodeType = 2) const;
  // A phone connected to the host's local server.
  std::unique_ptr<phonesim::CPhoneSim> ConnectPhone(int64_t phoneId, uint16_t encodeType = 2);
  const std::string& PhoneName(int64_t phoneId) const;

  // A file under the source folder (relative path), and its announcement.
  phonesim::UploadFileSpec MakeSourceFile(const std::string& relative, int64_t size, uint64_t seed,
                                          int64_t mtimeMs);
  // Where the upload assistant puts a file of that phone and album.
  std::string SavedPath(int64_t phoneId, const std::string& album, const std::string& relative);
  // Same bytes (SHA-256) and the phone's time stamp as the last-write time.
  void ExpectSameFile(const phonesim::UploadFileSpec& spec, const std::string& savedPath);

  // 6007 on an open connection.
  static bool Announce(phonesim::CPhoneSim* pPhone, const phonesim::UploadFileSpec& spec,
                       Announced* pAnnounced);
  // 6008s for [from, to) one at a time, each reply awaited; stops at the first result not 0,
  // which goes to *pResult (0 when every chunk was taken).
  static bool SendChunks(phonesim::CPhoneSim* pPhone, const phonesim::UploadFileSpec& spec,
                         const Announced& announced, int64_t from, int64_t to, uint16_t* pResult);

  std::string m_root;
  std::string m_source;
  std::string m_backup;
  HostSeed m_seed;
  std::unique_ptr<CUploadHostRunner> m_pHost;
};

}  // namespace uploads_e2e
