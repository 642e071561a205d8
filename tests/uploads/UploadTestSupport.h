#pragma once
// Shared by the upload tests: a sandbox root per test, file helpers, phone commands built as
// the wire carries them, the replies captured on their way out (they go back "relayed", so the
// server session's sender hands them to the test instead of a socket), the UI messages left in
// the queue, and a fixture running the upload manager with the upload assistant.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "../common/RecordingUploadAssist.h"
#include "../common/TestFiles.h"
#include "msg.pb.h"

class CClientCommand;

namespace upload_test {

constexpr int64_t kPcId = 0x00000000000A0B0C;
constexpr int64_t kPhoneA = 0x0102030405060708;
constexpr int64_t kPhoneB = 0x0102030405060709;
// Fits every path of the phone protocol.
constexpr size_t kChunk = 65408;

using test_files::PosixFromWindows;
using test_files::ReadWholeFile;
using test_files::WindowsFromPosix;
using test_files::WriteWholeFile;
bool FileExists(const std::string& posixPath);
// Last-write time in ms since 1970; -1 when the file is missing.
int64_t LastWriteMs(const std::string& posixPath);
std::string Sha256(const std::string& bytes);
std::string RandomBytes(size_t length, uint32_t seed);
// Every file below `folder`, relative to it, sorted.
std::vector<std::string> ListFiles(const std::string& folder);
// A partial file's 36-byte trailer.
std::string Trailer(uint64_t size, uint64_t timeStamp, uint64_t held, uint64_t scrc64,
                    uint32_t magic = 0x66757274);

struct Reply {
  uint16_t command = 0;
  uint32_t sequence = 0;
  uint32_t echo = 0;
  uint16_t result = 0;
  int64_t destId = 0;
  std::string body;
};

// Replies sent through the phone command manager since the last ResetReplies.
void ResetReplies();
bool NextReply(Reply* pReply, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A phone frame (plain body, relayed) as the channel would hand it over, one reference.
CClientCommand* MakeCommand(int64_t source, uint16_t commandId, uint32_t sequence,
                            const std::string& body, uint32_t echo = 0);
std::string Serialize(const google::protobuf::MessageLite& message);

struct UiMessage {
  int type = -1;
  int64_t id = 0;
  int value = 0;
  int param1 = 0;
  int param2 = 0;
  int param3 = 0;
  int param4 = 0;
  std::string payload;
};
std::vector<UiMessage> TakeUiMessages();

// Gives a phone (known to the store, or added to it) a display name.
void NamePhone(int64_t phone, const std::u16string& name);

// The upload manager started with the program's upload assistant saving under <root>/backup,
// phones A and B known to the store.
class UploadFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // 6007; the reply is checked to be the answer to it.
  protocol::C2CPhoneUploadFileFirstResp Announce(int64_t phone, uint32_t sequence,
                                                 const std::string& devicePath, int64_t size,
                                                 int64_t timeStamp, Reply* pReply,
                                                 const std::string& album = "Camera",
                                                 const std::string& subPath = "",
                                                 int64_t scrc64 = 0);
  // 6008 with `data` at `position`; the reply's result, or -1 when none came.
  int SendChunk(int64_t phone, uint32_t sequence, int32_t fileId, int64_t size, int64_t position,
                const std::string& data, bool expectReply = true);
  // Sends the chunks of `content` from `from` on; true when every reply said 0.
  bool SendRest(int64_t phone, uint32_t sequence, int32_t fileId, const std::string& content,
                int64_t from);
  // The save path of the nth end the assistant heard of (waits for it), as a POSIX path.
  std::string EndedPath(size_t index);
  void Enqueue(CClientCommand* pCommand);
  // Returns once the upload thread has finished everything queued before (a 6006 round trip).
  void Barrier();

  std::string m_root;
  std::string m_work;  // POSIX form
  test_common::RecordingUploadAssist* m_pAssist = nullptr;
};

}  // namespace upload_test
