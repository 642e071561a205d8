#include "ScriptedPc.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "msg.pb.h"

#include "PhoneCipher.h"
#include "PhoneFrameCutter.h"

namespace {

using peer::CPhoneCipher;
using peer::CPhoneFrame;
using peer::kPhoneCheckCode;
using peer::PhoneFrameHeader;

template <typename Req>
bool ParseRequest(const std::string& plain, Req* request) {
  return request->ParseFromString(plain) && request->check_code() == kPhoneCheckCode;
}

template <typename Resp>
std::string Serialized(Resp* response) {
  response->set_check_code(kPhoneCheckCode);
  return response->SerializeAsString();
}

}  // namespace

CScriptedPc::CScriptedPc(int64_t pcId, std::string bindKey, std::string issuedKey)
    : m_pcId(pcId), m_bindKey(std::move(bindKey)), m_issuedKey(std::move(issuedKey)) {
  m_hListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (m_hListen < 0 || bind(m_hListen, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(m_hListen, 4) != 0 ||
      getsockname(m_hListen, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    m_errors.push_back("cannot listen on loopback");
    return;
  }
  m_port = ntohs(address.sin_port);
  m_thread = std::thread([this] { Serve(); });
}

CScriptedPc::~CScriptedPc() {
  m_stop = true;
  if (m_hListen >= 0) shutdown(m_hListen, SHUT_RDWR);  // wakes the blocked accept()
  if (m_thread.joinable()) m_thread.join();
  if (m_hListen >= 0) close(m_hListen);
}

void CScriptedPc::SetHoldChunks(int count) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_holdChunks = count;
}

void CScriptedPc::BreakNextReply(Fault fault) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_fault = fault;
}

void CScriptedPc::RefuseChunkAt(int64_t position) {
  std::lock_guard<std::mutex> hold(m_lock);
  m_refuseAt = position;
}

std::vector<uint16_t> CScriptedPc::EncodeTypesOf(uint16_t command) const {
  std::lock_guard<std::mutex> hold(m_lock);
  auto it = m_encodeTypes.find(command);
  return it == m_encodeTypes.end() ? std::vector<uint16_t>() : it->second;
}

CScriptedPc::File CScriptedPc::FileAt(const std::string& phonePath) const {
  std::lock_guard<std::mutex> hold(m_lock);
  auto it = m_files.find(phonePath);
  return it == m_files.end() ? File() : it->second;
}

std::vector<size_t> CScriptedPc::ChunkSizes() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_chunkSizes;
}

int CScriptedPc::MaxChunksWaiting() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_maxWaiting;
}

int32_t CScriptedPc::BatchValue(int field) const {
  std::lock_guard<std::mutex> hold(m_lock);
  protocol::C2CPhoneUploadFilesReq batch;
  if (!batch.ParseFromString(m_lastBatch)) return -1;
  const auto* descriptor = batch.GetDescriptor()->FindFieldByNumber(field);
  return descriptor ? batch.GetReflection()->GetInt32(batch, descriptor) : -1;
}

std::vector<std::string> CScriptedPc::Errors() const {
  std::lock_guard<std::mutex> hold(m_lock);
  return m_errors;
}

bool CScriptedPc::WaitForDisconnects(int count, int timeoutMs) {
  std::unique_lock<std::mutex> hold(m_lock);
  return m_changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                            [&] { return m_disconnects >= count; });
}

void CScriptedPc::Serve() {
  while (!m_stop) {
    const int fd = accept4(m_hListen, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      break;
    }
    peer::CPeerTcpClient connection;
    connection.Adopt(fd);
    ServeConnection(&connection);
    connection.Close();
    {
      std::lock_guard<std::mutex> hold(m_lock);
      ++m_disconnects;
    }
    m_changed.notify_all();
  }
}

void CScriptedPc::ServeConnection(peer::CPeerTcpClient* connection) {
  using peer::CPeerTcpClient;
  peer::CPhoneFrameCutter cutter;
  std::vector<std::string> waiting;
  auto flush = [&] {
    for (const std::string& frame : waiting) Handle(connection, frame);
    waiting.clear();
  };
  std::string buffer(65536, '\0');
  while (!m_stop) {
    std::string frame;
    const auto cut = cutter.Next(&frame);
    if (cut == peer::CPhoneFrameCutter::Result::kMalformed) {
      std::lock_guard<std::mutex> hold(m_lock);
      m_errors.push_back("malformed stream");
      break;
    }
    if (cut == peer::CPhoneFrameCutter::Result::kFrame) {
      const PhoneFrameHeader header =
          CPhoneFrame::ReadHeader(reinterpret_cast<const uint8_t*>(frame.data()));
      int holdChunks = 1;
      {
        std::lock_guard<std::mutex> hold(m_lock);
        holdChunks = m_holdChunks;
        if (header.command == protocol::C2C_phone_upload_file_next && holdChunks > 1) {
          waiting.push_back(frame);
          m_maxWaiting = std::max(m_maxWaiting, static_cast<int>(waiting.size()));
        }
      }
      if (header.command != protocol::C2C_phone_upload_file_next || holdChunks <= 1) {
        flush();
        Handle(connection, frame);
      } else if (static_cast<int>(waiting.size()) >= holdChunks || IsLastChunk(frame)) {
        flush();
      }
      continue;
    }
    size_t received = 0;
    // Held chunks are also answered when the phone goes quiet (it stopped part way).
    const auto io =
        connection->Receive(buffer.data(), buffer.size(), waiting.empty() ? 100 : 200, &received);
    if (io == CPeerTcpClient::IoResult::kOk) {
      cutter.Append(buffer.data(), received);
    } else if (io == CPeerTcpClient::IoResult::kTimeout) {
      flush();
    } else {
      break;
    }
  }
  // What arrived before the phone closed is still written, as the PC would.
  flush();
}

bool CScriptedPc::IsLastChunk(const std::string& frame) const {
  PhoneFrameHeader h;
  std::string_view body;
  std::string plain;
  protocol::C2CPhoneUploadFileNextReq chunk;
  if (!CPhoneFrame::Parse(frame, &h, &body) ||
      !CPhoneCipher::Decrypt(h.encodeType, KeyFor(h.encodeType), body, &plain) ||
      !chunk.ParseFromString(plain)) {
    return true;  // answered at once, and refused there
  }
  return chunk.start_position() + static_cast<int64_t>(chunk.data().size()) >= chunk.file_size();
}

void CScriptedPc::Handle(peer::CPeerTcpClient* connection, const std::string& frame) {
  PhoneFrameHeader h;
  std::string_view body;
  std::string plain;
  auto error = [&](const std::string& text) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_errors.push_back(text + " (command " + std::to_string(h.command) + ")");
  };
  if (!CPhoneFrame::Parse(frame, &h, &body)) return error("frame does not parse");
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_encodeTypes[h.command].push_back(h.encodeType);
  }
  if (h.destId != m_pcId) return error("wrong dest");
  if (!CPhoneCipher::Decrypt(h.encodeType, KeyFor(h.encodeType), body, &plain)) {
    return error("body does not decipher");
  }
  switch (h.command) {
    case protocol::C2C_phone_bind: {
      protocol::C2CPhoneBindReq request;
      protocol::C2CPhoneBindResp response;
      if (!ParseRequest(plain, &request)) return error("bad request");
      response.set_new_key(m_issuedKey);
      response.set_pc_name("scripted-pc");
      return Reply(connection, h, Serialized(&response), 0);
    }
    case protocol::C2C_phone_bind_wait: {
      protocol::C2CPhoneBindWaitReq request;
      protocol::C2CPhoneBindWaitResp response;
      if (!ParseRequest(plain, &request)) return error("bad request");
      response.set_wait_time(request.wait_time());
      return Reply(connection, h, Serialized(&response), 0);
    }
    case protocol::C2C_phone_bind_finish: {
      protocol::C2CPhoneBindFinishReq request;
      protocol::C2CPhoneBindFinishResp response;
      if (!ParseRequest(plain, &request)) return error("bad request");
      response.set_bind_result(request.check_bind());
      return Reply(connection, h, Serialized(&response), 0);
    }
    case protocol::C2C_phone_upload_files: {
      protocol::C2CPhoneUploadFilesReq request;
      protocol::C2CPhoneUploadFilesResp response;
      if (!ParseRequest(plain, &request)) return error("bad request");
      {
        std::lock_guard<std::mutex> hold(m_lock);
        m_lastBatch = plain;
      }
      return Reply(connection, h, Serialized(&response), 0);
    }
    case protocol::C2C_phone_upload_file_first: {
      protocol::C2CPhoneUploadFileFirstReq request;
      protocol::C2CPhoneUploadFileFirstResp response;
      if (!ParseRequest(plain, &request)) return error("bad request");
      {
        std::lock_guard<std::mutex> hold(m_lock);
        File& file = m_files[request.file_path()];
        if (file.size != request.file_size() || file.timestamp != request.file_timestamp()) {
          file = File();
        }
        file.size = request.file_size();
        file.timestamp = request.file_timestamp();
        file.subPath = request.has_file_sub_path() ? request.file_sub_path() : "<absent>";
        file.id = m_nextFileId++;
        file.session = h.sequence;
        // A file held whole was completed earlier: the phone skips it.
        const bool complete = file.size > 0 && static_cast<int64_t>(file.bytes.size()) == file.size;
        response.set_need_upload(!complete);
        response.set_start_position(static_cast<int64_t>(file.bytes.size()));
        response.set_file_id(file.id);
      }
      return Reply(connection, h, Serialized(&response), 0);
    }
    case protocol::C2C_phone_upload_file_next: {
      protocol::C2CPhoneUploadFileNextReq request;
      protocol::C2CPhoneUploadFileNextResp response;
      if (!ParseRequest(plain, &request)) return error("bad request");
      uint16_t result = 11001;
      {
        std::lock_guard<std::mutex> hold(m_lock);
        m_chunkSizes.push_back(request.data().size());
        const bool refuse = request.start_position() == m_refuseAt;
        if (refuse) m_refuseAt = -1;
        for (auto& [path, file] : m_files) {
          if (refuse || file.id != request.file_id() || file.session != h.sequence) continue;
          if (request.start_position() == static_cast<int64_t>(file.bytes.size()) &&
              request.file_size() == file.size &&
              static_cast<int64_t>(file.bytes.size() + request.data().size()) <= file.size) {
            file.bytes += request.data();
            result = 0;
          }
        }
      }
      response.set_start_position(request.start_position());
      response.set_data_len(request.data_len());
      return Reply(connection, h, Serialized(&response), result);
    }
    case protocol::C2C_phone_upload_finish: {
      protocol::C2CPhoneUploadFinishReq request;
      protocol::C2CPhoneUploadFinishResp response;
      if (!ParseRequest(plain, &request)) return error("bad request");
      return Reply(connection, h, Serialized(&response), 0);
    }
    default: {
      // The remaining commands carry check_code only.
      protocol::C2CPhoneHeartbeatReq request;
      protocol::C2CPhoneHeartbeatResp response;
      if (!ParseRequest(plain, &request)) return error("bad request");
      return Reply(connection, h, Serialized(&response), 0);
    }
  }
}

void CScriptedPc::Reply(peer::CPeerTcpClient* connection, const PhoneFrameHeader& request,
                        const std::string& plainBody, uint16_t result) {
  Fault fault;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    fault = m_fault;
    m_fault = Fault::kNone;
  }
  PhoneFrameHeader h;
  h.destId = request.srcId;
  h.srcId = request.destId;
  h.command = request.command;
  h.sequence = request.sequence + (fault == Fault::kWrongSequence ? 1 : 0);
  h.echo = request.echo + (fault == Fault::kWrongEcho ? 1 : 0);
  h.result = result;
  h.encodeType = request.encodeType;
  if (fault == Fault::kWrongDest) h.destId = m_pcId;
  if (fault == Fault::kWrongEncode) h.encodeType = request.encodeType == 1 ? 2 : 1;
  std::string plain = plainBody;
  if (fault == Fault::kBadCheckCode) {
    protocol::C2CPhoneHeartbeatResp wrong;
    wrong.set_check_code(kPhoneCheckCode + 1);
    plain = wrong.SerializeAsString();
  }
  const std::string key = KeyFor(request.encodeType);
  std::string body;
  if (fault == Fault::kBadPad) {
    // Whole blocks ending in a zero byte, enciphered without the pad block.
    plain.append(CPhoneCipher::kAesBlockSize - plain.size() % CPhoneCipher::kAesBlockSize, '\0');
    if (CPhoneCipher::Encrypt(request.encodeType, key, plain, &body)) body.resize(plain.size());
  } else if (!CPhoneCipher::Encrypt(request.encodeType, key, plain, &body)) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_errors.push_back("cannot encipher reply");
    return;
  }
  const std::string frame = CPhoneFrame::Build(h, body);
  (void)connection->SendAll(frame.data(), frame.size(), 5000);  // a closed phone is fine here
}

std::string CScriptedPc::KeyFor(uint16_t encodeType) const {
  return encodeType == 3 ? m_bindKey : m_issuedKey;
}
