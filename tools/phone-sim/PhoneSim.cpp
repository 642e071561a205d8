#include "PhoneSim.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <system_error>

#include "msg.pb.h"

#include "PhoneCipher.h"
#include "TcpFrameTransport.h"

namespace phonesim {

namespace {

namespace fs = std::filesystem;
using google::protobuf::Message;
using peer::CPhoneCipher;
using peer::CPhoneFrame;
using peer::kPhoneCheckCode;
using peer::kPhoneFrameHeaderSize;
using peer::PhoneFrameHeader;

// The bind steps always travel under the PC's bind key.
constexpr uint16_t kBindEncodeType = 3;
constexpr int32_t kBindWaitSeconds = 60;

size_t VarintSize(uint64_t value) {
  size_t size = 1;
  for (; value >= 0x80; value >>= 7) ++size;
  return size;
}

// Tag byte plus varint; negative values take ten bytes, as protobuf writes them.
size_t IntFieldSize(int64_t value) { return 1 + VarintSize(static_cast<uint64_t>(value)); }

void SetCheckCode(Message* message) {
  message->GetReflection()->SetInt32(message, message->GetDescriptor()->FindFieldByNumber(1),
                                     kPhoneCheckCode);
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool IsPicture(const std::string& path) {
  static const char* const kExtensions[] = {".jpg",  ".jpeg", ".png",  ".gif", ".heic",
                                            ".heif", ".bmp",  ".webp", ".dng"};
  const std::string ext = Lower(fs::path(path).extension().string());
  return std::find_if(std::begin(kExtensions), std::end(kExtensions),
                      [&](const char* e) { return ext == e; }) != std::end(kExtensions);
}

bool IsVideo(const std::string& path) {
  static const char* const kExtensions[] = {".mp4", ".mov", ".3gp", ".mkv", ".avi", ".m4v"};
  const std::string ext = Lower(fs::path(path).extension().string());
  return std::find_if(std::begin(kExtensions), std::end(kExtensions),
                      [&](const char* e) { return ext == e; }) != std::end(kExtensions);
}

bool IsLowerHex(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string HeaderMismatch(const PhoneSimConfig& config, uint16_t command, uint16_t encodeType,
                           uint32_t sequence, uint32_t echo, const PhoneFrameHeader& h) {
  auto field = [](const char* name, int64_t got, int64_t want) {
    return std::string(name) + " " + std::to_string(got) + ", expected " + std::to_string(want);
  };
  if (h.destId != config.phoneId) return field("dest", h.destId, config.phoneId);
  if (h.srcId != config.pcId) return field("src", h.srcId, config.pcId);
  if (h.command != command) return field("command", h.command, command);
  if (h.sequence != sequence) return field("sequence", h.sequence, sequence);
  if (h.echo != echo) return field("echo", h.echo, echo);
  if (h.encodeType != encodeType) return field("encode type", h.encodeType, encodeType);
  if (h.reserved != 0) return field("reserved", h.reserved, 0);
  return {};
}

class FdCloser {
 public:
  explicit FdCloser(int fd) : m_hFile(fd) {}
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;
  ~FdCloser() {
    if (m_hFile >= 0) close(m_hFile);
  }

 private:
  int m_hFile;
};

bool ReadAt(int fd, int64_t position, char* out, size_t size) {
  while (size > 0) {
    const ssize_t n = pread(fd, out, size, static_cast<off_t>(position));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    size -= static_cast<size_t>(n);
    position += n;
  }
  return true;
}

}  // namespace

CPhoneSim::CPhoneSim(PhoneSimConfig config) : m_config(std::move(config)) {
  if (m_config.phoneStr.empty()) {
    m_config.phoneStr = "phone-sim-" + std::to_string(m_config.phoneId);
  }
}

CPhoneSim::~CPhoneSim() { Disconnect(); }

bool CPhoneSim::Connect(const std::string& host, uint16_t port) {
  auto transport = std::make_unique<CTcpFrameTransport>();
  if (!transport->Connect(host, port, m_config.connectTimeoutMs)) {
    return Fail("connect to " + host + ":" + std::to_string(port) + ": " + transport->LastError());
  }
  SetTransport(std::move(transport));
  return true;
}

void CPhoneSim::SetTransport(std::unique_ptr<peer::IPhoneFrameTransport> transport) {
  Disconnect();
  m_transport = std::move(transport);
}

void CPhoneSim::Disconnect() {
  if (m_transport) {
    m_transport->Close();
    m_transport.reset();
  }
}

bool CPhoneSim::Bind(BindPath path, std::string* pcName) {
  const uint16_t finishType = path == BindPath::kFinishUnderDeviceKey ? 2 : kBindEncodeType;
  return BindRequest(pcName) && BindWait(kBindWaitSeconds, kBindEncodeType) &&
         BindFinish(true, finishType);
}

bool CPhoneSim::BindRequest(std::string* pcName) {
  if (m_config.bindKey.size() != CPhoneCipher::kKeySize) {
    return Fail("bind key must have 16 characters");
  }
  protocol::C2CPhoneBindReq request;
  SetCheckCode(&request);
  request.set_phone_str(m_config.phoneStr);
  request.set_phone_name(m_config.phoneName);
  if (!m_config.phoneZelid.empty()) request.set_phone_zelid(m_config.phoneZelid);
  protocol::C2CPhoneBindResp response;
  PhoneReply reply;
  if (!Call(protocol::C2C_phone_bind, kBindEncodeType, NextSequence(), request, &response,
            &reply) ||
      !RequireResultOk(reply, "bind")) {
    return false;
  }
  // The PC issues keys as 16 lowercase hex digits; anything else is its fault, not ours to use.
  if (response.new_key().size() != CPhoneCipher::kKeySize || !IsLowerHex(response.new_key())) {
    return Fail("bind: new_key \"" + response.new_key() + "\" is not 16 lowercase hex digits");
  }
  m_config.deviceKey = response.new_key();
  if (pcName) *pcName = response.pc_name();
  return true;
}

bool CPhoneSim::BindWait(int32_t waitTime, uint16_t encodeType) {
  protocol::C2CPhoneBindWaitReq request;
  SetCheckCode(&request);
  request.set_wait_time(waitTime);
  protocol::C2CPhoneBindWaitResp response;
  PhoneReply reply;
  if (!Call(protocol::C2C_phone_bind_wait, encodeType, NextSequence(), request, &response,
            &reply) ||
      !RequireResultOk(reply, "bind wait")) {
    return false;
  }
  if (response.wait_time() != waitTime) {
    return Fail("bind wait: wait_time " + std::to_string(response.wait_time()) + ", sent " +
                std::to_string(waitTime));
  }
  return true;
}

bool CPhoneSim::BindFinish(bool checkBind, uint16_t encodeType) {
  protocol::C2CPhoneBindFinishReq request;
  SetCheckCode(&request);
  request.set_check_bind(checkBind);
  protocol::C2CPhoneBindFinishResp response;
  PhoneReply reply;
  if (!Call(protocol::C2C_phone_bind_finish, encodeType, NextSequence(), request, &response,
            &reply) ||
      !RequireResultOk(reply, "bind finish")) {
    return false;
  }
  if (response.bind_result() != checkBind) return Fail("bind finish: bind_result differs");
  return true;
}

bool CPhoneSim::Login() { return CheckCodeOnly(protocol::C2C_phone_login); }

bool CPhoneSim::Logout() { return CheckCodeOnly(protocol::C2C_phone_logout); }

bool CPhoneSim::Report() { return CheckCodeOnly(protocol::C2C_phone_report); }

bool CPhoneSim::Heartbeat() { return CheckCodeOnly(protocol::C2C_phone_heartbeat); }

bool CPhoneSim::UploadBatch(const BatchCounts& counts) {
  protocol::C2CPhoneUploadFilesReq request;
  SetCheckCode(&request);
  request.set_files_total(counts.filesTotal);
  request.set_files_ok(counts.filesOk);
  request.set_f_pic_total(counts.picTotal);
  request.set_f_pic_ok(counts.picOk);
  request.set_f_video_total(counts.videoTotal);
  request.set_f_video_ok(counts.videoOk);
  request.set_files_failed(counts.filesFailed);
  protocol::C2CPhoneUploadFilesResp response;
  PhoneReply reply;
  return Call(protocol::C2C_phone_upload_files, m_config.encodeType, NextSequence(), request,
              &response, &reply) &&
         RequireResultOk(reply, "upload batch");
}

bool CPhoneSim::UploadFinish(const BatchCounts& counts, int32_t filesLeft, int32_t finishReason) {
  protocol::C2CPhoneUploadFinishReq request;
  SetCheckCode(&request);
  request.set_files_total(counts.filesTotal);
  request.set_files_ok(counts.filesOk);
  request.set_f_pic_total(counts.picTotal);
  request.set_f_pic_ok(counts.picOk);
  request.set_f_video_total(counts.videoTotal);
  request.set_f_video_ok(counts.videoOk);
  request.set_files_failed(counts.filesFailed);
  request.set_files_left(filesLeft);
  request.set_finish_reason(finishReason);
  protocol::C2CPhoneUploadFinishResp response;
  PhoneReply reply;
  return Call(protocol::C2C_phone_upload_finish, m_config.encodeType, NextSequence(), request,
              &response, &reply) &&
         RequireResultOk(reply, "upload finish");
}

bool CPhoneSim::UploadFolder(const std::string& folder, const UploadOptions& options,
                             UploadSummary* summary) {
  *summary = UploadSummary();
  std::vector<UploadFileSpec> files;
  std::string error;
  if (!ScanFolder(folder, options, &files, &error)) return Fail(error);
  BatchCounts& counts = summary->counts;
  counts.filesTotal = static_cast<int32_t>(files.size());
  for (const UploadFileSpec& spec : files) {
    counts.picTotal += IsPicture(spec.phonePath) ? 1 : 0;
    counts.videoTotal += IsVideo(spec.phonePath) ? 1 : 0;
  }
  if (options.sendBatch && !UploadBatch(counts)) return false;

  StopBudget budget{options.stopAtBytes >= 0, std::max<int64_t>(options.stopAtBytes, 0)};
  std::string fatalError;
  for (const UploadFileSpec& spec : files) {
    if (budget.active && budget.left == 0) {
      Disconnect();
      summary->stopped = true;
      break;
    }
    FileResult file = UploadOne(spec, options, &budget);
    summary->bytesSent += file.bytesSent;
    summary->bytesAcked += file.bytesAcked;
    if (file.outcome == FileOutcome::kInPlace || file.outcome == FileOutcome::kSkipped) {
      ++counts.filesOk;
      counts.picOk += IsPicture(spec.phonePath) ? 1 : 0;
      counts.videoOk += IsVideo(spec.phonePath) ? 1 : 0;
    } else if (file.outcome == FileOutcome::kFailed) {
      ++counts.filesFailed;
    }
    summary->files.push_back(file);
    if (options.onFile) options.onFile(file);
    if (file.outcome == FileOutcome::kStopped) {
      summary->stopped = true;
      break;
    }
    if (file.fatal) {
      fatalError = file.phonePath + ": " + file.error;
      break;
    }
  }
  if (!fatalError.empty()) return Fail(fatalError);
  if (counts.filesFailed > 0) {
    return Fail(std::to_string(counts.filesFailed) + " of " + std::to_string(files.size()) +
                " files failed");
  }
  return true;
}

FileResult CPhoneSim::UploadFile(const UploadFileSpec& spec, const UploadOptions& options) {
  StopBudget budget{options.stopAtBytes >= 0, std::max<int64_t>(options.stopAtBytes, 0)};
  return UploadOne(spec, options, &budget);
}

bool CPhoneSim::ScanFolder(const std::string& folder, const UploadOptions& options,
                           std::vector<UploadFileSpec>* files, std::string* error) {
  files->clear();
  std::error_code ec;
  const fs::path root = fs::absolute(fs::path(folder), ec).lexically_normal();
  if (ec || !fs::is_directory(root, ec)) {
    *error = "not a folder: " + folder;
    return false;
  }
  std::string album = options.albumName;
  if (album.empty()) {
    album = root.filename().string();
    if (album.empty()) album = root.parent_path().filename().string();
  }
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code statusError;
    // Links are not followed: a phone's media folder holds plain files.
    if (!it->is_regular_file(statusError) || it->is_symlink(statusError)) continue;
    struct stat info {};
    if (stat(it->path().c_str(), &info) != 0) {
      *error = "cannot stat " + it->path().string() + ": " + std::strerror(errno);
      return false;
    }
    const fs::path relative = it->path().lexically_relative(root);
    UploadFileSpec spec;
    spec.localPath = it->path().string();
    spec.phonePath = options.phoneRoot + "/" + album + "/" + relative.generic_string();
    spec.subPath = relative.parent_path().generic_string();
    spec.albumName = album;
    spec.size = info.st_size;
    spec.timestampMs =
        static_cast<int64_t>(info.st_mtim.tv_sec) * 1000 + info.st_mtim.tv_nsec / 1000000;
    files->push_back(std::move(spec));
  }
  if (ec) {
    *error = "cannot read " + folder + ": " + ec.message();
    return false;
  }
  std::sort(files->begin(), files->end(), [](const UploadFileSpec& a, const UploadFileSpec& b) {
    return a.phonePath < b.phonePath;
  });
  return true;
}

size_t CPhoneSim::LargestChunkData(uint16_t encodeType, size_t maxFrameSize, int64_t fileSize,
                                   int64_t position, int32_t fileId) {
  if (maxFrameSize <= kPhoneFrameHeaderSize) return 0;
  const size_t maxPlain =
      CPhoneCipher::MaxPlainSize(encodeType, maxFrameSize - kPhoneFrameHeaderSize);
  const size_t fixed = IntFieldSize(kPhoneCheckCode) + IntFieldSize(fileSize) +
                       IntFieldSize(position) + IntFieldSize(fileId);
  // data_len and data both grow with the chunk: the value, its varint, the length prefix.
  auto bodySize = [fixed](size_t data) {
    return fixed + IntFieldSize(static_cast<int64_t>(data)) + 1 + VarintSize(data) + data;
  };
  if (bodySize(0) > maxPlain) return 0;
  size_t data = maxPlain - fixed;
  while (data > 0 && bodySize(data) > maxPlain) --data;
  return data;
}

bool CPhoneSim::SendCommand(uint16_t command, uint16_t encodeType, uint32_t sequence,
                            std::string_view plainBody, uint32_t* echo) {
  if (!m_transport) return Fail("not connected");
  std::string& body = m_sendBody;
  if (encodeType >= 1 && encodeType <= 3) {
    std::string_view key;
    if (!KeyFor(encodeType, &key)) return false;
    if (!CPhoneCipher::Encrypt(encodeType, key, plainBody, &body)) {
      return Fail("cannot encipher under type " + std::to_string(encodeType));
    }
  } else {
    body.assign(plainBody);
  }
  PhoneFrameHeader header;
  header.destId = m_config.pcId;
  header.srcId = m_config.phoneId;
  header.command = command;
  header.sequence = sequence;
  header.echo = m_nextEcho++;
  header.encodeType = encodeType;
  CPhoneFrame::BuildInto(header, body, &m_sendFrame);
  if (!SendRawFrame(m_sendFrame)) return false;
  if (echo) *echo = header.echo;
  return true;
}

bool CPhoneSim::SendRawFrame(std::string_view frame) {
  if (!m_transport) return Fail("not connected");
  if (!m_transport->SendFrame(frame)) return Fail("send: " + m_transport->LastError());
  return true;
}

bool CPhoneSim::ReceiveFrame(std::string* frame) {
  if (!m_transport) return Fail("not connected");
  switch (m_transport->ReceiveFrame(frame, m_config.replyTimeoutMs)) {
    case peer::IPhoneFrameTransport::RecvResult::kFrame:
      return true;
    case peer::IPhoneFrameTransport::RecvResult::kTimeout:
      return Fail("no reply within " + std::to_string(m_config.replyTimeoutMs) + " ms");
    case peer::IPhoneFrameTransport::RecvResult::kClosed:
      return Fail("connection closed while waiting for a reply: " + m_transport->LastError());
    case peer::IPhoneFrameTransport::RecvResult::kError:
      break;
  }
  return Fail("receive: " + m_transport->LastError());
}

bool CPhoneSim::ReceiveReply(PhoneReply* reply) {
  std::string frame;
  std::string_view body;
  if (!ReceiveFrame(&frame)) return false;
  if (!CPhoneFrame::Parse(frame, &reply->header, &body)) return Fail("reply frame malformed");
  m_lastResult = reply->header.result;
  return DecipherBody(reply->header, body, &reply->body);
}

bool CPhoneSim::Exchange(uint16_t command, uint16_t encodeType, const Message& request,
                         PhoneReply* reply) {
  SentRequest sent;
  return Send(command, encodeType, NextSequence(), request, &sent) && AwaitReply(sent, reply);
}

bool CPhoneSim::Fail(std::string error) {
  m_lastError = std::move(error);
  return false;
}

bool CPhoneSim::KeyFor(uint16_t encodeType, std::string_view* key) {
  const std::string& text = encodeType == kBindEncodeType ? m_config.bindKey : m_config.deviceKey;
  if (text.size() != CPhoneCipher::kKeySize) {
    return Fail(encodeType == kBindEncodeType ? "no bind key of 16 characters"
                                              : "no device key of 16 characters: bind first");
  }
  *key = text;
  return true;
}

bool CPhoneSim::Send(uint16_t command, uint16_t encodeType, uint32_t sequence,
                     const Message& request, SentRequest* sent) {
  // Partial: fault tests deliberately leave required fields out, and the full serializer aborts.
  std::string plain;
  if (!request.SerializePartialToString(&plain)) return Fail("cannot serialize the request");
  sent->command = command;
  sent->encodeType = encodeType;
  sent->sequence = sequence;
  return SendCommand(command, encodeType, sequence, plain, &sent->echo);
}

bool CPhoneSim::AwaitReply(const SentRequest& sent, PhoneReply* reply) {
  std::string frame;
  std::string_view body;
  if (!ReceiveFrame(&frame)) return false;
  if (!CPhoneFrame::Parse(frame, &reply->header, &body)) return Fail("reply frame malformed");
  m_lastResult = reply->header.result;
  const std::string mismatch = HeaderMismatch(m_config, sent.command, sent.encodeType,
                                              sent.sequence, sent.echo, reply->header);
  if (!mismatch.empty()) {
    return Fail("reply to command " + std::to_string(sent.command) +
                " does not mirror it: " + mismatch);
  }
  return DecipherBody(reply->header, body, &reply->body);
}

bool CPhoneSim::DecipherBody(const PhoneFrameHeader& header, std::string_view body,
                             std::string* plain) {
  if (header.encodeType < 1 || header.encodeType > 3) {
    plain->assign(body);
    return true;
  }
  std::string_view key;
  if (!KeyFor(header.encodeType, &key)) return false;
  if (!CPhoneCipher::Decrypt(header.encodeType, key, body, plain)) {
    return Fail("reply body to command " + std::to_string(header.command) +
                " does not decipher under type " + std::to_string(header.encodeType));
  }
  return true;
}

bool CPhoneSim::ParseChecked(const PhoneReply& reply, Message* response) {
  if (!response->ParseFromString(reply.body)) {
    return Fail("reply body to command " + std::to_string(reply.header.command) +
                " does not parse as " + response->GetTypeName() +
                (reply.header.result != 0 ? " (result " + std::to_string(reply.header.result) + ")"
                                          : std::string()));
  }
  const int32_t checkCode = response->GetReflection()->GetInt32(
      *response, response->GetDescriptor()->FindFieldByNumber(1));
  if (checkCode != kPhoneCheckCode) {
    return Fail("reply to command " + std::to_string(reply.header.command) +
                " carries check_code " + std::to_string(checkCode));
  }
  return true;
}

bool CPhoneSim::RequireResultOk(const PhoneReply& reply, const char* what) {
  if (reply.header.result == 0) return true;
  return Fail(std::string(what) + ": result " + std::to_string(reply.header.result));
}

bool CPhoneSim::Call(uint16_t command, uint16_t encodeType, uint32_t sequence,
                     const Message& request, Message* response, PhoneReply* reply) {
  SentRequest sent;
  return Send(command, encodeType, sequence, request, &sent) && AwaitReply(sent, reply) &&
         ParseChecked(*reply, response);
}

bool CPhoneSim::CheckCodeOnly(uint16_t command) {
  std::unique_ptr<Message> request;
  std::unique_ptr<Message> response;
  const char* what = "";
  switch (command) {
    case protocol::C2C_phone_login:
      request = std::make_unique<protocol::C2CPhoneLoginReq>();
      response = std::make_unique<protocol::C2CPhoneLoginResp>();
      what = "login";
      break;
    case protocol::C2C_phone_logout:
      request = std::make_unique<protocol::C2CPhoneLogoutReq>();
      response = std::make_unique<protocol::C2CPhoneLogoutResp>();
      what = "logout";
      break;
    case protocol::C2C_phone_report:
      request = std::make_unique<protocol::C2CPhoneReportReq>();
      response = std::make_unique<protocol::C2CPhoneReportResp>();
      what = "report";
      break;
    case protocol::C2C_phone_heartbeat:
      request = std::make_unique<protocol::C2CPhoneHeartbeatReq>();
      response = std::make_unique<protocol::C2CPhoneHeartbeatResp>();
      what = "heartbeat";
      break;
    default:
      return Fail("command " + std::to_string(command) + " carries more than check_code");
  }
  SetCheckCode(request.get());
  PhoneReply reply;
  return Call(command, m_config.encodeType, NextSequence(), *request, response.get(), &reply) &&
         RequireResultOk(reply, what);
}

FileResult CPhoneSim::UploadOne(const UploadFileSpec& spec, const UploadOptions& options,
                                StopBudget* budget) {
  FileResult file;
  file.phonePath = spec.phonePath;
  file.size = spec.size;
  auto fatal = [&](std::string error) {
    file.outcome = FileOutcome::kFailed;
    file.fatal = true;
    file.error = std::move(error);
    m_lastError = file.error;
    return file;
  };
  if (!m_transport) return fatal("not connected");
  if (options.window < 1 || options.window > kMaxWindow) return fatal("window must be 1..64");
  const int fd = open(spec.localPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    file.error = "cannot open " + spec.localPath + ": " + std::strerror(errno);
    return file;
  }
  FdCloser closeFile(fd);
  const uint16_t encodeType = m_config.encodeType;

  // 6007: its sequence is the file's session, which every chunk must carry.
  const uint32_t session = NextSequence();
  protocol::C2CPhoneUploadFileFirstReq first;
  SetCheckCode(&first);
  first.set_file_path(spec.phonePath);
  first.set_file_timestamp(spec.timestampMs);
  first.set_file_size(spec.size);
  first.set_file_scrc64(spec.scrc64);
  first.set_file_name(fs::path(spec.phonePath).filename().string());
  first.set_album_name(spec.albumName);
  if (!spec.subPath.empty()) first.set_file_sub_path(spec.subPath);
  protocol::C2CPhoneUploadFileFirstResp firstReply;
  PhoneReply reply;
  if (!Call(protocol::C2C_phone_upload_file_first, encodeType, session, first, &firstReply,
            &reply)) {
    return fatal(m_lastError);
  }
  file.result = reply.header.result;
  file.fileId = firstReply.file_id();
  file.startPosition = firstReply.start_position();
  if (reply.header.result != 0) {
    file.error = "announce: result " + std::to_string(reply.header.result);
    return file;
  }
  if (!firstReply.need_upload()) {
    file.outcome = FileOutcome::kSkipped;
    return file;
  }
  if (file.startPosition < 0 || file.startPosition > spec.size) {
    return fatal("start_position " + std::to_string(file.startPosition) + " outside 0.." +
                 std::to_string(spec.size));
  }

  struct Chunk {
    uint32_t echo;
    int64_t start;
    int32_t length;
  };
  std::deque<Chunk> inFlight;
  int64_t position = file.startPosition;
  bool stopping = false;
  std::string plain;
  protocol::C2CPhoneUploadFileNextReq next;
  SetCheckCode(&next);
  next.set_file_size(spec.size);
  next.set_file_id(file.fileId);
  const size_t maxFrame = m_transport->MaxFrameSize();
  for (;;) {
    while (!stopping && inFlight.size() < static_cast<size_t>(options.window) &&
           position < spec.size) {
      int64_t length = static_cast<int64_t>(
          LargestChunkData(encodeType, maxFrame, spec.size, position, file.fileId));
      if (options.maxChunk > 0) length = std::min<int64_t>(length, options.maxChunk);
      length = std::min(length, spec.size - position);
      if (budget->active) length = std::min(length, budget->left);
      if (length <= 0) {
        if (budget->active && budget->left == 0) {
          stopping = true;
          break;
        }
        return fatal("the frame limit leaves no room for data");
      }
      // Read straight into the request: a chunk copy less per frame.
      std::string* pData = next.mutable_data();
      pData->resize(static_cast<size_t>(length));
      if (!ReadAt(fd, position, pData->data(), pData->size())) {
        return fatal("cannot read " + spec.localPath + " at " + std::to_string(position));
      }
      next.set_start_position(position);
      next.set_data_len(static_cast<int32_t>(length));
      next.SerializePartialToString(&plain);
      uint32_t echo = 0;
      if (!SendCommand(protocol::C2C_phone_upload_file_next, encodeType, session, plain, &echo)) {
        return fatal(m_lastError);
      }
      inFlight.push_back({echo, position, static_cast<int32_t>(length)});
      position += length;
      file.bytesSent += length;
      if (budget->active) {
        budget->left -= length;
        stopping = budget->left == 0;
      }
      if (stopping && options.stopWhenSent) {
        Disconnect();
        file.outcome = FileOutcome::kStopped;
        return file;
      }
    }
    if (inFlight.empty()) break;

    // Replies come back in request order (one upload thread on the PC, TCP order).
    const Chunk chunk = inFlight.front();
    inFlight.pop_front();
    const SentRequest sent{protocol::C2C_phone_upload_file_next, encodeType, session, chunk.echo};
    protocol::C2CPhoneUploadFileNextResp nextReply;
    if (!AwaitReply(sent, &reply) || !ParseChecked(reply, &nextReply)) return fatal(m_lastError);
    if (nextReply.start_position() != chunk.start || nextReply.data_len() != chunk.length) {
      return fatal("chunk reply names " + std::to_string(nextReply.start_position()) + "+" +
                   std::to_string(nextReply.data_len()) + ", sent " + std::to_string(chunk.start) +
                   "+" + std::to_string(chunk.length));
    }
    if (reply.header.result != 0) {
      file.result = reply.header.result;
      file.error = "chunk at " + std::to_string(chunk.start) + ": result " +
                   std::to_string(reply.header.result);
      // The PC answers every chunk of a known file; take those replies so the next command
      // starts on a clean stream.
      for (const Chunk& rest : inFlight) {
        const SentRequest restSent{protocol::C2C_phone_upload_file_next, encodeType, session,
                                   rest.echo};
        if (!AwaitReply(restSent, &reply) || !ParseChecked(reply, &nextReply)) {
          return fatal(file.error + "; then " + m_lastError);
        }
      }
      return file;
    }
    file.bytesAcked += chunk.length;
  }
  if (position < spec.size) {
    Disconnect();
    file.outcome = FileOutcome::kStopped;
    return file;
  }
  file.outcome = FileOutcome::kInPlace;
  return file;
}

}  // namespace phonesim
