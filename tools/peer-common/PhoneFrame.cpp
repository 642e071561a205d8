#include "PhoneFrame.h"

#include <cstring>

namespace peer {

namespace {

void PutBig(uint8_t* out, uint64_t value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<uint8_t>(value);
    value >>= 8;
  }
}

uint64_t GetBig(const uint8_t* in, int width) {
  uint64_t value = 0;
  for (int i = 0; i < width; ++i) value = (value << 8) | in[i];
  return value;
}

}  // namespace

void CPhoneFrame::WriteHeader(const PhoneFrameHeader& header, uint8_t* out) {
  PutBig(out + 0, header.magic, 2);
  PutBig(out + 2, static_cast<uint64_t>(header.destId), 8);
  PutBig(out + 10, static_cast<uint64_t>(header.srcId), 8);
  PutBig(out + 18, header.command, 2);
  PutBig(out + 20, header.sequence, 4);
  PutBig(out + 24, header.totalLength, 4);
  PutBig(out + 28, header.echo, 4);
  PutBig(out + 32, header.result, 2);
  PutBig(out + 34, header.encodeType, 2);
  PutBig(out + 36, header.reserved, 4);
}

PhoneFrameHeader CPhoneFrame::ReadHeader(const uint8_t* in) {
  PhoneFrameHeader header;
  header.magic = static_cast<uint16_t>(GetBig(in + 0, 2));
  header.destId = static_cast<int64_t>(GetBig(in + 2, 8));
  header.srcId = static_cast<int64_t>(GetBig(in + 10, 8));
  header.command = static_cast<uint16_t>(GetBig(in + 18, 2));
  header.sequence = static_cast<uint32_t>(GetBig(in + 20, 4));
  header.totalLength = static_cast<uint32_t>(GetBig(in + 24, 4));
  header.echo = static_cast<uint32_t>(GetBig(in + 28, 4));
  header.result = static_cast<uint16_t>(GetBig(in + 32, 2));
  header.encodeType = static_cast<uint16_t>(GetBig(in + 34, 2));
  header.reserved = static_cast<uint32_t>(GetBig(in + 36, 4));
  return header;
}

std::string CPhoneFrame::Build(const PhoneFrameHeader& header, std::string_view body) {
  std::string frame;
  BuildInto(header, body, &frame);
  return frame;
}

void CPhoneFrame::BuildInto(const PhoneFrameHeader& header, std::string_view body,
                            std::string* pFrame) {
  PhoneFrameHeader full = header;
  full.magic = kPhoneFrameMagic;
  full.totalLength = static_cast<uint32_t>(kPhoneFrameHeaderSize + body.size());
  pFrame->resize(full.totalLength);
  WriteHeader(full, reinterpret_cast<uint8_t*>(pFrame->data()));
  if (!body.empty()) memcpy(pFrame->data() + kPhoneFrameHeaderSize, body.data(), body.size());
}

bool CPhoneFrame::Parse(std::string_view frame, PhoneFrameHeader* header, std::string_view* body) {
  if (frame.size() < kPhoneFrameHeaderSize || frame.size() > kPhoneFrameMaxSize) return false;
  PhoneFrameHeader parsed = ReadHeader(reinterpret_cast<const uint8_t*>(frame.data()));
  if (parsed.magic != kPhoneFrameMagic || parsed.totalLength != frame.size()) return false;
  *header = parsed;
  *body = frame.substr(kPhoneFrameHeaderSize);
  return true;
}

}  // namespace peer
