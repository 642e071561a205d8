#include "Logic/ServerCommand.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "NetEngine/IOOperation.h"

namespace {

// Widths of the header fields in wire order.
constexpr size_t kFieldWidths[] = {2, 2, 4, 2, 2};

}  // namespace

template <class T>
T CServerCommand::ReadField(size_t offset) {
  T value;
  memcpy(&value, Buffer()->Data() + offset, sizeof(value));
  return value;
}

template <class T>
void CServerCommand::WriteField(size_t offset, T value) {
  memcpy(Buffer()->Data() + offset, &value, sizeof(value));
}

CServerCommand::CServerCommand() : CCommand(kKind) {}

CServerCommand::~CServerCommand() = default;

CServerCommand* CServerCommand::Create(uint16_t commandId, uint32_t bufferSize) {
  CServerCommand* pCommand = new (std::nothrow) CServerCommand();
  if (!pCommand) return nullptr;
  CIOOperation* pBuffer = pCommand->Alloc(std::max(bufferSize, kHeaderSize));
  if (!pBuffer) {
    pCommand->Release();
    return nullptr;
  }
  memset(pBuffer->Data(), 0, kHeaderSize);
  pBuffer->SetLength(kHeaderSize);
  pCommand->WriteField<uint16_t>(kMagicOffset, kMagic);
  pCommand->WriteField<uint16_t>(kCommandIdOffset, commandId);
  pCommand->WriteField<uint32_t>(kTotalLengthOffset, kHeaderSize);
  return pCommand;
}

CServerCommand* CServerCommand::CreateForReading(uint32_t channelId) {
  CServerCommand* pCommand = new (std::nothrow) CServerCommand();
  if (!pCommand) return nullptr;
  if (!pCommand->Alloc(kReadBufferSize)) {
    pCommand->Release();
    return nullptr;
  }
  pCommand->m_channelId = channelId;
  return pCommand;
}

bool CServerCommand::IsValid() { return Buffer() && Buffer()->Length() >= kHeaderSize; }

int CServerCommand::ParseFrom(const uint8_t** ppData, uint32_t* pRemaining) {
  CIOOperation* pBuffer = Buffer();
  if (!pBuffer || !ppData || !pRemaining) return -1;
  if (!*ppData) *pRemaining = 0;

  uint32_t held = pBuffer->Length();
  if (held < kHeaderSize) {
    const uint32_t take = std::min(kHeaderSize - held, *pRemaining);
    CIOOperation::Append(pBuffer, *ppData, take);
    *ppData += take;
    *pRemaining -= take;
    held += take;
    if (held < kHeaderSize) return 1;
    SwapHeader(pBuffer->Data());
    if (GetMagic() != kMagic) return -1;
  }

  const uint32_t total = GetTotalLength();
  if (total < kHeaderSize || total > kMaxFrameSize || total < held) return -1;
  if (total > pBuffer->Capacity()) {
    if (!Reserve(total)) return -1;
    pBuffer = Buffer();
  }
  const uint32_t take = std::min(total - held, *pRemaining);
  CIOOperation::Append(pBuffer, *ppData, take);
  *ppData += take;
  *pRemaining -= take;
  return pBuffer->Length() == total ? 0 : 1;
}

bool CServerCommand::SerializeTo(CIOOperation* pOp) {
  if (!pOp || !IsValid()) return false;
  const uint32_t length = Buffer()->Length();
  if (pOp->Capacity() < length) return false;
  memcpy(pOp->Data(), Buffer()->Data(), length);
  pOp->SetLength(length);
  SwapHeader(pOp->Data());
  return true;
}

bool CServerCommand::SetBody(const void* pData, uint32_t length) {
  if (!IsValid() || length > kMaxFrameSize - kHeaderSize) return false;
  if (!pData) length = 0;
  const uint32_t total = kHeaderSize + length;
  if (!Reserve(total)) return false;
  CIOOperation* pBuffer = Buffer();
  if (length > 0) memcpy(pBuffer->Data() + kHeaderSize, pData, length);
  pBuffer->SetLength(total);
  WriteField<uint32_t>(kTotalLengthOffset, total);
  return true;
}

bool CServerCommand::GetBody(const uint8_t** ppData, uint32_t* pLength) {
  *ppData = nullptr;
  *pLength = 0;
  if (!IsValid() || GetTotalLength() != Buffer()->Length()) return false;
  *ppData = Buffer()->Data() + kHeaderSize;
  *pLength = Buffer()->Length() - kHeaderSize;
  return true;
}

uint32_t CServerCommand::FrameLength() { return IsValid() ? Buffer()->Length() : 0; }

uint16_t CServerCommand::GetMagic() { return IsValid() ? ReadField<uint16_t>(kMagicOffset) : 0; }

uint16_t CServerCommand::GetCommandId() {
  return IsValid() ? ReadField<uint16_t>(kCommandIdOffset) : 0;
}

uint32_t CServerCommand::GetTotalLength() {
  return IsValid() ? ReadField<uint32_t>(kTotalLengthOffset) : 0;
}

void CServerCommand::SwapHeader(uint8_t* pBytes) {
  if constexpr (std::endian::native == std::endian::big) return;
  for (size_t width : kFieldWidths) {
    std::reverse(pBytes, pBytes + width);
    pBytes += width;
  }
}
