#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// The faults the simulator is told to commit, by name ("no-answer", "one-byte:5001", ...).
// A fault names a kind and optionally the command it hits ("name:cmd"; without it, every
// command its kind applies to). Send faults change how an outgoing frame of that command goes
// out; value faults change fields of the 1008 or 1007 reply; the refuse faults close a
// connection as soon as it is accepted. A fault stays until cleared, or is used up after
// `remaining` hits when that is positive.
// Threading: every method may be called from any thread; the list is guarded by m_lock.
class CFaultPlan {
 public:
  enum class Kind {
    // Send faults.
    kNoAnswer,        // read the request, send nothing, keep the connection
    kDelay,           // send the reply after delayMs
    kWrongAnswer,     // the reply lacks a required field (a relayed frame is cut short)
    kWrongCommand,    // a well-formed reply of another command instead
    kCloseMidFrame,   // half of the frame, then close
    kOneBytePieces,   // the frame one byte at a time
    kReplyThenClose,  // the frame, then close at once
    kBadMagic,        // magic 0x67DF
    kShortLength,     // total length 11
    kLongLength,      // total length 65537
    // Connection faults.
    kRefuse,      // entry server: close each connection at accept
    kRefuseComm,  // communication server: the same
    // Value faults of the 1008 reply.
    kRegisterIdZero,
    kRegisterIdNegative,
    kRegisterShortKey,
    kRegisterLongKey,
    kRegisterKeyLineFeed,
    kRegisterKeyNul,
    kRegisterKeyNonAscii,
    kRegisterKeyQuoted,
    // Value faults of the 1007 reply.
    kRedirectHostName,
    kRedirectBroadcastIp,
    kRedirectPortZero,
    kRedirectPortBig,
    kRedirectHugeHeartbeat,
  };

  struct Fault {
    Kind kind = Kind::kNoAnswer;
    uint16_t cmd = 0;      // 0: any command
    int remaining = 0;     // hits left; 0 or less: until cleared
    int delayMs = 100000;  // kDelay: past the PC's 90 s step timer
  };

  CFaultPlan() = default;
  CFaultPlan(const CFaultPlan&) = delete;
  CFaultPlan& operator=(const CFaultPlan&) = delete;

  // "name" or "name:cmd"; "half-open" is no-answer:1003 and "malformed" is bad-magic.
  [[nodiscard]] static bool Parse(const std::string& spec, Fault* pFault);
  static const char* NameOf(Kind kind);
  // Every name Parse knows, one line, for the usage text.
  static std::string Names();

  void Add(const Fault& fault);
  void Clear();
  // Takes the first send fault that hits `cmd`.
  [[nodiscard]] bool TakeSendFault(uint16_t cmd, Fault* pFault);
  // Takes a fault of exactly this kind.
  [[nodiscard]] bool Take(Kind kind);

 private:
  bool TakeLocked(size_t index, Fault* pFault);

  std::mutex m_lock;
  std::vector<Fault> m_faults;  // guarded by m_lock
};
