#include "Logic/ClientCommand.h"

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cstring>
#include <new>

#include "Logic/CommandKey.h"
#include "NetEngine/DllLog.h"
#include "NetEngine/IOOperation.h"

namespace {

// Keys shorter than this are refused before any cipher runs.
constexpr size_t kMinKeyLength = 10;

// Widths of the header fields in wire order.
constexpr size_t kFieldWidths[] = {2, 8, 8, 2, 4, 4, 4, 2, 2, 4};

template <class T>
T LoadAt(const uint8_t* pBytes, size_t offset) {
  T value;
  memcpy(&value, pBytes + offset, sizeof(value));
  return value;
}

template <class T>
void StoreAt(uint8_t* pBytes, size_t offset, T value) {
  memcpy(pBytes + offset, &value, sizeof(value));
}

}  // namespace

// --- ClientCommandHeader ---

void ClientCommandHeader::Load(const uint8_t* pBytes) {
  magic = LoadAt<uint16_t>(pBytes, kMagicOffset);
  destId = LoadAt<int64_t>(pBytes, kDestIdOffset);
  sourceId = LoadAt<int64_t>(pBytes, kSourceIdOffset);
  commandId = LoadAt<uint16_t>(pBytes, kCommandIdOffset);
  sequence = LoadAt<uint32_t>(pBytes, kSequenceOffset);
  totalLength = LoadAt<uint32_t>(pBytes, kTotalLengthOffset);
  echo = LoadAt<uint32_t>(pBytes, kEchoOffset);
  result = LoadAt<uint16_t>(pBytes, kResultOffset);
  encodeType = LoadAt<uint16_t>(pBytes, kEncodeTypeOffset);
  reserved = LoadAt<uint32_t>(pBytes, kReservedOffset);
}

void ClientCommandHeader::Store(uint8_t* pBytes) const {
  StoreAt(pBytes, kMagicOffset, magic);
  StoreAt(pBytes, kDestIdOffset, destId);
  StoreAt(pBytes, kSourceIdOffset, sourceId);
  StoreAt(pBytes, kCommandIdOffset, commandId);
  StoreAt(pBytes, kSequenceOffset, sequence);
  StoreAt(pBytes, kTotalLengthOffset, totalLength);
  StoreAt(pBytes, kEchoOffset, echo);
  StoreAt(pBytes, kResultOffset, result);
  StoreAt(pBytes, kEncodeTypeOffset, encodeType);
  StoreAt(pBytes, kReservedOffset, reserved);
}

void ClientCommandHeader::SwapByteOrder(uint8_t* pBytes) {
  if constexpr (std::endian::native == std::endian::big) return;
  for (size_t width : kFieldWidths) {
    std::reverse(pBytes, pBytes + width);
    pBytes += width;
  }
}

// --- CClientCommand ---

template <class T>
T CClientCommand::ReadField(size_t offset) {
  return LoadAt<T>(Buffer()->Data(), offset);
}

template <class T>
void CClientCommand::WriteField(size_t offset, T value) {
  StoreAt(Buffer()->Data(), offset, value);
}

CClientCommand::CClientCommand() : CCommand(kKind) {}

CClientCommand::~CClientCommand() {
  if (m_pOnFree) m_pOnFree(m_pFreeContext, m_freeValue);
}

CClientCommand* CClientCommand::Create(uint32_t bufferSize) {
  CClientCommand* pCommand = new (std::nothrow) CClientCommand();
  if (!pCommand) return nullptr;
  if (!pCommand->Alloc(bufferSize)) {
    pCommand->Release();
    return nullptr;
  }
  return pCommand;
}

CClientCommand* CClientCommand::CreateReply(CClientCommand* pRequest) {
  if (!pRequest || !pRequest->IsValid()) return nullptr;
  const ClientCommandHeader request = pRequest->GetHeader();
  CClientCommand* pReply = new (std::nothrow) CClientCommand();
  if (!pReply) return nullptr;
  if (!pReply->InitHeader(request.commandId, kDefaultBufferSize)) {
    pReply->Release();
    return nullptr;
  }
  ClientCommandHeader header = pReply->GetHeader();
  header.destId = request.sourceId;
  header.sourceId = request.destId;
  header.sequence = request.sequence;
  header.echo = request.echo;
  header.encodeType = request.encodeType;
  header.Store(pReply->Buffer()->Data());
  pReply->m_channelId = pRequest->m_channelId;
  pReply->m_relayed = pRequest->m_relayed;
  return pReply;
}

int CClientCommand::DecodeCommand(CClientCommand* pCommand, const CommandKeySource& keys) {
  const uint8_t* pBody = nullptr;
  uint32_t length = 0;
  if (!pCommand || !pCommand->GetBody(&pBody, &length) || length == 0) return -1;
  const ClientCommandHeader header = pCommand->GetHeader();
  const uint32_t type = header.encodeType;
  const uint32_t commandId = header.commandId;
  const int64_t sourceId = header.sourceId;

  std::string key;
  uint32_t cipherType;
  if (type == kEncodeAesBind) {
    key = keys.bindKey();
    if (key.size() < kMinKeyLength) {
      DLL_LOG("DecodeCommand type[%u] Cmd[%u] Src[%" PRId64 "] failed: Bind key bad: %s", type,
              commandId, sourceId, key.c_str());
      return -1;
    }
    cipherType = CCommandKey::kTypeAes;
  } else if (type == kEncodeXor || type == kEncodeAes) {
    if (!keys.findDeviceKey(sourceId, &key)) {
      DLL_LOG("DecodeCommand type[%u] Cmd[%u] Src[%" PRId64 "]failed: Device not found", type,
              commandId, sourceId);
      return 0;
    }
    if (key.size() < kMinKeyLength) {
      DLL_LOG("DecodeCommand type[%u] Cmd[%u] Src[%" PRId64 "] failed: key bad: %s", type,
              commandId, sourceId, key.c_str());
      return -1;
    }
    cipherType = type;
  } else {
    DLL_LOG("DecodeCommand Cmd[%u] Src[%" PRId64 "] failed: unknown Encode type: %u", commandId,
            sourceId, type);
    return -1;
  }

  CCommandKey cipher;
  cipher.SetKey(key);
  // Deciphered where it lies: the plain text is never longer than the body it replaces.
  const auto plainLength = static_cast<uint32_t>(
      cipher.DecryptInPlace(cipherType, pCommand->Buffer()->Data() + kHeaderSize, length));
  pCommand->Buffer()->SetLength(kHeaderSize + plainLength);
  pCommand->WriteField(ClientCommandHeader::kTotalLengthOffset, kHeaderSize + plainLength);
  return 1;
}

int CClientCommand::EncodeCommand(CClientCommand* pCommand, const CommandKeySource& keys) {
  const uint8_t* pBody = nullptr;
  uint32_t length = 0;
  if (!pCommand || !pCommand->GetBody(&pBody, &length)) return 1;
  const ClientCommandHeader header = pCommand->GetHeader();
  const uint32_t type = header.encodeType;
  const uint32_t commandId = header.commandId;
  const int64_t sourceId = header.sourceId;

  std::string key;
  uint32_t cipherType;
  if (type == kEncodeAesBind) {
    key = keys.bindKey();
    if (key.size() < kMinKeyLength) {
      DLL_LOG("EncodeCommand type[%u] Cmd[%u] Src[%" PRId64 "] failed: Bind key bad: %s", type,
              commandId, sourceId, key.c_str());
      return 0;
    }
    cipherType = CCommandKey::kTypeAes;
  } else if (type == kEncodeXor || type == kEncodeAes) {
    if (!keys.findDeviceKey(header.destId, &key)) {
      DLL_LOG("EncodeCommand type[%u] Cmd[%u] Src[%" PRId64 "] failed: Device not found", type,
              commandId, sourceId);
      return 0;
    }
    if (key.size() < kMinKeyLength) {
      DLL_LOG("EncodeCommand type[%u] Cmd[%u] Src[%" PRId64 "] failed: key bad: %s", type,
              commandId, sourceId, key.c_str());
      return 0;
    }
    cipherType = type;
  } else {
    return 1;  // sent as it stands
  }

  CCommandKey cipher;
  cipher.SetKey(key);
  std::string wire = cipher.Encrypt(cipherType, pBody, length);
  // AES always gives at least one block: an empty result means the cipher itself failed.
  if (wire.empty() && (cipherType == CCommandKey::kTypeAes || length > 0)) return 0;
  if (!pCommand->SetBody(wire.data(), static_cast<uint32_t>(wire.size()))) return 0;
  return 1;
}

bool CClientCommand::IsValid() { return Buffer() && Buffer()->Length() >= kHeaderSize; }

int CClientCommand::ParseFrom(const uint8_t** ppData, uint32_t* pRemaining) {
  CIOOperation* pBuffer = Buffer();
  if (!pBuffer) return -1;
  const uint8_t* pData = ppData ? *ppData : nullptr;
  uint32_t available = (pData && pRemaining) ? *pRemaining : 0;
  auto consume = [&](uint32_t count) {
    if (count == 0) return;
    pData += count;
    available -= count;
    if (ppData) *ppData = pData;
    if (pRemaining) *pRemaining = available;
  };

  uint32_t held = pBuffer->Length();
  if (held < kHeaderSize) {
    if (!Reserve(kHeaderSize)) return -1;
    pBuffer = Buffer();
    const uint32_t missing = kHeaderSize - held;
    if (available < missing) {
      CIOOperation::Append(pBuffer, pData, available);
      consume(available);
      return 1;
    }
    CIOOperation::Append(pBuffer, pData, missing);
    consume(missing);
    held = kHeaderSize;
    ClientCommandHeader::SwapByteOrder(pBuffer->Data());
    if (ReadField<uint16_t>(ClientCommandHeader::kMagicOffset) != kMagic) return -1;
  }

  const uint32_t total = ReadField<uint32_t>(ClientCommandHeader::kTotalLengthOffset);
  if (total < kHeaderSize || total > kMaxFrameSize || total < held || !Reserve(total)) return -1;
  pBuffer = Buffer();
  const uint32_t wanted = total - held;
  const uint32_t count = wanted < available ? wanted : available;
  CIOOperation::Append(pBuffer, pData, count);
  consume(count);
  return pBuffer->Length() < total ? 1 : 0;
}

bool CClientCommand::SerializeTo(CIOOperation* pOp) {
  if (!IsValid() || !pOp) return false;
  const uint32_t length = Buffer()->Length();
  if (pOp->Capacity() < length) return false;
  memcpy(pOp->Data(), Buffer()->Data(), length);
  ClientCommandHeader::SwapByteOrder(pOp->Data());
  pOp->SetLength(length);
  return true;
}

bool CClientCommand::InitHeader(uint16_t commandId, uint32_t bufferSize) {
  CIOOperation* pBuffer = Alloc(bufferSize < kHeaderSize ? kHeaderSize : bufferSize);
  if (!pBuffer) return false;
  ClientCommandHeader header;
  header.magic = kMagic;
  header.commandId = commandId;
  header.totalLength = kHeaderSize;
  header.Store(pBuffer->Data());
  pBuffer->SetLength(kHeaderSize);
  return true;
}

uint32_t CClientCommand::FrameLength() { return IsValid() ? Buffer()->Length() : 0; }

int64_t CClientCommand::GetDestId() {
  return IsValid() ? ReadField<int64_t>(ClientCommandHeader::kDestIdOffset) : 0;
}

int64_t CClientCommand::GetSourceId() {
  return IsValid() ? ReadField<int64_t>(ClientCommandHeader::kSourceIdOffset) : 0;
}

void CClientCommand::SetSourceId(int64_t id) {
  if (IsValid()) WriteField(ClientCommandHeader::kSourceIdOffset, id);
}

uint16_t CClientCommand::GetCommandId() {
  return IsValid() ? ReadField<uint16_t>(ClientCommandHeader::kCommandIdOffset) : 0;
}

uint32_t CClientCommand::GetSequence() {
  return IsValid() ? ReadField<uint32_t>(ClientCommandHeader::kSequenceOffset) : 0;
}

uint16_t CClientCommand::GetEncodeType() {
  return IsValid() ? ReadField<uint16_t>(ClientCommandHeader::kEncodeTypeOffset) : 0;
}

void CClientCommand::SetResult(uint16_t code) {
  if (IsValid()) WriteField(ClientCommandHeader::kResultOffset, code);
}

ClientCommandHeader CClientCommand::GetHeader() {
  ClientCommandHeader header;
  if (IsValid()) header.Load(Buffer()->Data());
  return header;
}

bool CClientCommand::GetBody(const uint8_t** ppData, uint32_t* pLength) {
  const uint8_t* pData = nullptr;
  uint32_t length = 0;
  if (IsValid() &&
      ReadField<uint32_t>(ClientCommandHeader::kTotalLengthOffset) == Buffer()->Length()) {
    pData = Buffer()->Data() + kHeaderSize;
    length = Buffer()->Length() - kHeaderSize;
  }
  if (ppData) *ppData = pData;
  if (pLength) *pLength = length;
  return pData != nullptr;
}

bool CClientCommand::SetBody(const void* pData, uint32_t length) {
  if (!IsValid()) return false;
  if (!pData) length = 0;
  if (length > UINT32_MAX - kHeaderSize || !Reserve(length + kHeaderSize)) return false;
  CIOOperation* pBuffer = Buffer();
  if (length) memcpy(pBuffer->Data() + kHeaderSize, pData, length);
  pBuffer->SetLength(length + kHeaderSize);
  WriteField(ClientCommandHeader::kTotalLengthOffset, length + kHeaderSize);
  return true;
}

void CClientCommand::SetFreeHook(FreeHook pOnFree, void* pContext, uint32_t value) {
  m_pOnFree = pOnFree;
  m_pFreeContext = pContext;
  m_freeValue = value;
}
