#include "Logic/UploadChunkRequest.h"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/wire_format_lite.h>

using google::protobuf::internal::WireFormatLite;

namespace {

constexpr int kDataField = protocol::C2CPhoneUploadFileNextReq::kDataFieldNumber;

// Adds the fields of [pBegin, pEnd) to pMessage; false when they are malformed.
bool MergePiece(const uint8_t* pBegin, const uint8_t* pEnd,
                protocol::C2CPhoneUploadFileNextReq* pMessage) {
  google::protobuf::io::CodedInputStream piece(pBegin, static_cast<int>(pEnd - pBegin));
  return pMessage->MergePartialFromCodedStream(&piece) && piece.ConsumedEntireMessage();
}

}  // namespace

bool CUploadChunkRequest::ParseFromArray(const void* pBytes, int size) {
  const auto* pBody = static_cast<const uint8_t*>(pBytes);
  const uint32_t length = size > 0 ? static_cast<uint32_t>(size) : 0;
  m_message.Clear();
  m_pData = nullptr;
  m_dataLength = 0;
  if (!pBody) return ParseWhole(pBody, length);
  // The body is cut at each top-level `data` field; the pieces between are merged into the
  // message in order, which gives what parsing them together gives.
  google::protobuf::io::CodedInputStream input(pBody, static_cast<int>(length));
  const uint8_t* pPiece = pBody;
  bool found = false;
  for (;;) {
    const int fieldStart = input.CurrentPosition();
    const uint32_t tag = input.ReadTag();
    if (tag == 0) {
      if (static_cast<uint32_t>(fieldStart) != length) return ParseWhole(pBody, length);
      break;
    }
    if (WireFormatLite::GetTagFieldNumber(tag) != kDataField ||
        WireFormatLite::GetTagWireType(tag) != WireFormatLite::WIRETYPE_LENGTH_DELIMITED) {
      if (!WireFormatLite::SkipField(&input, tag)) return ParseWhole(pBody, length);
      continue;
    }
    uint32_t size = 0;
    if (!input.ReadVarint32(&size)) return ParseWhole(pBody, length);
    const int dataStart = input.CurrentPosition();
    if (!input.Skip(static_cast<int>(size))) return ParseWhole(pBody, length);
    if (!MergePiece(pPiece, pBody + fieldStart, &m_message)) return false;
    m_pData = pBody + dataStart;
    m_dataLength = size;
    found = true;
    pPiece = pBody + input.CurrentPosition();
  }
  if (!MergePiece(pPiece, pBody + length, &m_message)) return false;
  // Every field of the request is required.
  return found && m_message.has_check_code() && m_message.has_file_size() &&
         m_message.has_start_position() && m_message.has_data_len() && m_message.has_file_id();
}

bool CUploadChunkRequest::ParseWhole(const uint8_t* pBody, uint32_t length) {
  m_message.Clear();
  m_pData = nullptr;
  m_dataLength = 0;
  if (!m_message.ParseFromArray(pBody, static_cast<int>(length))) return false;
  m_pData = reinterpret_cast<const uint8_t*>(m_message.data().data());
  m_dataLength = m_message.data().size();
  return true;
}
