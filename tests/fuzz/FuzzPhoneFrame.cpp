// libFuzzer target: arbitrary bytes arrive as a phone's TCP stream, cut into pieces of a size
// the first byte chooses; every complete frame goes through DecodeCommand under fixed keys and,
// when it deciphers, through a reply, EncodeCommand and SerializeTo. Nothing may read or write
// outside a buffer, whatever the bytes say.

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "Logic/ClientCommand.h"
#include "NetEngine/DllLog.h"
#include "NetEngine/IOOperation.h"

// The log is not part of the unit: lines are formatted (their arguments are checked that way)
// and dropped.
void WriteDllLog(const char* /*pSourcePath*/, const char* pFormat, ...) {
  char line[4096];
  va_list args;
  va_start(args, pFormat);
  vsnprintf(line, sizeof(line), pFormat, args);
  va_end(args);
}

namespace {

// Source ids by their value mod 3: a known phone, an unknown one, one with a bad key.
bool FindKey(int64_t id, std::string* pKey) {
  switch (static_cast<uint64_t>(id) % 3) {
    case 0:
      *pKey = "0123456789abcdef";
      return true;
    case 1:
      return false;
    default:
      *pKey = "short";
      return true;
  }
}

std::string BindKey() { return "fedcba9876543210"; }

const CommandKeySource kKeys{&FindKey, &BindKey};

void Exercise(CClientCommand* pCommand) {
  const uint32_t length = pCommand->FrameLength();
  if (CIOOperation* pOp = CIOOperation::Create(nullptr, 0, length)) {
    pCommand->SerializeTo(pOp);
    CIOOperation::Release(pOp);
  }
  if (CClientCommand::DecodeCommand(pCommand, kKeys) <= 0) return;
  const uint8_t* pBody = nullptr;
  uint32_t bodyLength = 0;
  if (!pCommand->GetBody(&pBody, &bodyLength)) return;
  CClientCommand* pReply = CClientCommand::CreateReply(pCommand);
  if (!pReply) return;
  pReply->SetBody(pBody, bodyLength);
  CClientCommand::EncodeCommand(pReply, kKeys);
  pReply->Release();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t size) {
  if (size < 1) return 0;
  const uint32_t piece = pData[0] ? pData[0] : 4096;
  ++pData;
  --size;
  CClientCommand* pCommand = CClientCommand::Create(CClientCommand::kDefaultBufferSize);
  while (pCommand && size > 0) {
    const uint32_t chunk = size < piece ? static_cast<uint32_t>(size) : piece;
    const uint8_t* p = pData;
    uint32_t remaining = chunk;
    while (remaining > 0 && pCommand) {
      const int result = pCommand->ParseFrom(&p, &remaining);
      if (result < 0) {
        pCommand->Release();
        return 0;
      }
      if (result > 0 && remaining > 0) __builtin_trap();  // "more needed" must take every byte
      if (result == 0) {
        Exercise(pCommand);
        pCommand->Release();
        pCommand = CClientCommand::Create(CClientCommand::kDefaultBufferSize);
      }
    }
    pData += chunk;
    size -= chunk;
  }
  if (pCommand) pCommand->Release();
  return 0;
}
