#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "IPhoneFrameTransport.h"
#include "PhoneFrame.h"

namespace google::protobuf {
class Message;
}  // namespace google::protobuf

namespace phonesim {

struct PhoneSimConfig {
  int64_t pcId = 0;         // destination of every request
  int64_t phoneId = 0;      // source of every request; chosen by the test, non-zero
  std::string bindKey;      // the PC's bind key from the QR text (encode type 3)
  std::string deviceKey;    // issued in the bind reply, or loaded from a key file (types 1, 2)
  uint16_t encodeType = 2;  // for every command but the bind steps
  std::string phoneName = "phone-sim";
  std::string phoneStr;    // kept by the PC as the phone's GUID; empty: "phone-sim-<id>"
  std::string phoneZelid;  // sent only when non-empty
  int replyTimeoutMs = 15000;
  int connectTimeoutMs = 5000;
};

enum class BindPath {
  kFinishUnderDeviceKey,  // 6003 and 6004 under type 3, 6005 under type 2 with the new key
  kAllBindKey,            // all three steps under type 3
};

// A reply frame with its body deciphered.
struct PhoneReply {
  peer::PhoneFrameHeader header;
  std::string body;
};

// The counters of 6006 and 6012.
struct BatchCounts {
  int32_t filesTotal = 0;
  int32_t filesOk = 0;
  int32_t picTotal = 0;
  int32_t picOk = 0;
  int32_t videoTotal = 0;
  int32_t videoOk = 0;
  int32_t filesFailed = 0;
};

struct UploadFileSpec {
  std::string localPath;
  std::string phonePath;  // file_path; its last component becomes the PC's file name
  std::string subPath;    // file_sub_path; sent only when non-empty
  std::string albumName;
  int64_t timestampMs = 0;  // file_timestamp: the mtime in ms since 1970 UTC
  int64_t size = 0;
  int64_t scrc64 = 0;  // 0: no checksum
};

enum class FileOutcome {
  kInPlace,  // the last chunk (or a complete partial file) was acknowledged with result 0
  kSkipped,  // need_upload false with result 0: the same file is already there
  kFailed,   // a non-zero result, or a protocol fault (then `fatal` is set)
  kStopped,  // the connection was closed on purpose part way (UploadOptions::stopAtBytes)
};

struct FileResult {
  std::string phonePath;
  FileOutcome outcome = FileOutcome::kFailed;
  bool fatal = false;   // the connection can no longer be trusted; the run ends
  uint16_t result = 0;  // header result of the reply that failed the file
  int32_t fileId = 0;
  int64_t size = 0;
  int64_t startPosition = 0;  // as the PC answered the 6007
  int64_t bytesSent = 0;      // data bytes sent in 6008s
  int64_t bytesAcked = 0;     // of those, acknowledged with result 0
  std::string error;
};

struct UploadOptions {
  int window = 1;       // chunks in flight, 1..64; replies are matched by the echo field
  size_t maxChunk = 0;  // 0: the largest the path, encode type and field values allow
  // Close the connection once this many data bytes (over the whole run) have been sent and,
  // unless stopWhenSent, acknowledged. Negative: never.
  int64_t stopAtBytes = -1;
  bool stopWhenSent = false;
  bool sendBatch = true;  // 6006 before the files
  std::string albumName;  // empty: the folder's own name
  std::string phoneRoot = "/sdcard/DCIM";
  std::function<void(const FileResult&)> onFile;  // after each file, for progress lines
};

struct UploadSummary {
  std::vector<FileResult> files;
  BatchCounts counts;
  bool stopped = false;
  int64_t bytesSent = 0;
  int64_t bytesAcked = 0;
};

// A simulated phone speaking the phone<->PC protocol: binding with the QR's bind key, the
// check-code-only commands, and file uploads with a window of chunks, resume from the PC's
// start_position and a deliberate interruption. Every reply is checked: the header must mirror
// the request (ids swapped, command, sequence, echo, encode type; reserved 0), the body must
// decipher with an exact pad, parse, and carry check_code 0x5B2D7E61. Any failure returns false
// with LastError() set; nothing throws.
// Lifetime: owns its transport (a direct TCP connection, or a relay path handed in).
// Threading: one thread drives a phone; separate phones are independent objects.
class CPhoneSim {
 public:
  static constexpr int kMaxWindow = 64;

  explicit CPhoneSim(PhoneSimConfig config);
  CPhoneSim(const CPhoneSim&) = delete;
  CPhoneSim& operator=(const CPhoneSim&) = delete;
  ~CPhoneSim();

  // Direct path to the PC's local server.
  [[nodiscard]] bool Connect(const std::string& host, uint16_t port);
  // Any other path (the server simulator's relay).
  void SetTransport(std::unique_ptr<peer::IPhoneFrameTransport> transport);
  void Disconnect();
  bool IsConnected() const { return m_transport != nullptr; }

  // 6003 under type 3, then 6004 under type 3, then 6005 (check_bind true) under type 2 or 3.
  // On success the device key is the one the PC issued.
  [[nodiscard]] bool Bind(BindPath path, std::string* pcName = nullptr);
  [[nodiscard]] bool BindRequest(std::string* pcName);
  [[nodiscard]] bool BindWait(int32_t waitTime, uint16_t encodeType);
  [[nodiscard]] bool BindFinish(bool checkBind, uint16_t encodeType);

  // Commands whose bodies hold only check_code, under the configured encode type.
  [[nodiscard]] bool Login();      // 6001
  [[nodiscard]] bool Logout();     // 6002
  [[nodiscard]] bool Report();     // 6009
  [[nodiscard]] bool Heartbeat();  // 6011

  [[nodiscard]] bool UploadBatch(const BatchCounts& counts);  // 6006
  [[nodiscard]] bool UploadFinish(const BatchCounts& counts, int32_t filesLeft,
                                  int32_t finishReason);  // 6012
  // Sends 6006 (unless disabled) and every regular file under `folder`, in path order. True
  // when no file failed; a deliberate stop counts as success.
  [[nodiscard]] bool UploadFolder(const std::string& folder, const UploadOptions& options,
                                  UploadSummary* summary);
  // One file: 6007, then 6008 chunks from the PC's start_position.
  FileResult UploadFile(const UploadFileSpec& spec, const UploadOptions& options);

  // The files under `folder` as the phone announces them: file_path = root/album/relative,
  // file_sub_path = the relative folder, timestamp from the mtime.
  [[nodiscard]] static bool ScanFolder(const std::string& folder, const UploadOptions& options,
                                       std::vector<UploadFileSpec>* files, std::string* error);
  // Largest `data` of a 6008 whose frame stays within maxFrameSize under encodeType, given the
  // other field values (their varint sizes count).
  static size_t LargestChunkData(uint16_t encodeType, size_t maxFrameSize, int64_t fileSize,
                                 int64_t position, int32_t fileId);

  // Lower level, for fault tests. SendCommand enciphers `plainBody` with the key that the
  // encode type names (type 0 and types above 3 go unchanged) and sends it without waiting.
  uint32_t NextSequence() { return m_nextSequence++; }
  [[nodiscard]] bool SendCommand(uint16_t command, uint16_t encodeType, uint32_t sequence,
                                 std::string_view plainBody, uint32_t* echo);
  [[nodiscard]] bool SendRawFrame(std::string_view frame);
  // The next frame exactly as received.
  [[nodiscard]] bool ReceiveFrame(std::string* frame);
  // The next frame, parsed and deciphered (no mirror check: there is no request to compare).
  [[nodiscard]] bool ReceiveReply(PhoneReply* reply);
  // Sends `request` with a new sequence and waits for its reply, checking the mirror and the
  // body cipher. The reply's result code is left to the caller.
  [[nodiscard]] bool Exchange(uint16_t command, uint16_t encodeType,
                              const google::protobuf::Message& request, PhoneReply* reply);

  const PhoneSimConfig& Config() const { return m_config; }
  const std::string& DeviceKey() const { return m_config.deviceKey; }
  void SetDeviceKey(std::string key) { m_config.deviceKey = std::move(key); }
  const std::string& LastError() const { return m_lastError; }
  // Header result of the last reply received.
  uint16_t LastResult() const { return m_lastResult; }

 private:
  struct SentRequest {
    uint16_t command = 0;
    uint16_t encodeType = 0;
    uint32_t sequence = 0;
    uint32_t echo = 0;
  };
  // Data bytes the run may still send or have acknowledged before it stops on purpose.
  struct StopBudget {
    bool active = false;
    int64_t left = 0;
  };

  [[nodiscard]] bool Fail(std::string error);
  [[nodiscard]] bool KeyFor(uint16_t encodeType, std::string_view* key);
  [[nodiscard]] bool Send(uint16_t command, uint16_t encodeType, uint32_t sequence,
                          const google::protobuf::Message& request, SentRequest* sent);
  [[nodiscard]] bool AwaitReply(const SentRequest& sent, PhoneReply* reply);
  [[nodiscard]] bool DecipherBody(const peer::PhoneFrameHeader& header, std::string_view body,
                                  std::string* plain);
  [[nodiscard]] bool ParseChecked(const PhoneReply& reply, google::protobuf::Message* response);
  [[nodiscard]] bool RequireResultOk(const PhoneReply& reply, const char* what);
  [[nodiscard]] bool Call(uint16_t command, uint16_t encodeType, uint32_t sequence,
                          const google::protobuf::Message& request,
                          google::protobuf::Message* response, PhoneReply* reply);
  [[nodiscard]] bool CheckCodeOnly(uint16_t command);
  FileResult UploadOne(const UploadFileSpec& spec, const UploadOptions& options,
                       StopBudget* budget);

  PhoneSimConfig m_config;
  std::unique_ptr<peer::IPhoneFrameTransport> m_transport;
  uint32_t m_nextSequence = 1;
  uint32_t m_nextEcho = 1;
  uint16_t m_lastResult = 0;
  std::string m_lastError;
  // The enciphered body and the frame of the command being sent, kept so that chunks reuse
  // their memory.
  std::string m_sendBody;
  std::string m_sendFrame;
};

}  // namespace phonesim
