#pragma once

#include <cstdint>
#include <string>

class CPacketBuffer;

// Statistics report 5892: a phone was bound (or a bind failed) or unbound.
struct CBindReport {
  static constexpr int32_t kKindBind = 1;
  static constexpr int32_t kKindUnbind = 2;

  // Sends one report through the statistics client, only when the client is set up, enabled
  // and has report 5892 switched on. Runs on the caller's thread.
  static void Send(int32_t kind, int64_t deviceId, const std::u16string& deviceName,
                   int32_t failed);

  // Kind, device id, name (UTF-8 string form), failure flag, big-endian.
  [[nodiscard]] bool Serialize(CPacketBuffer* pBuffer) const;

  int32_t kind = 0;
  int64_t deviceId = 0;
  std::string deviceName;
  int32_t failed = 0;  // 1 when a bind did not complete
};
