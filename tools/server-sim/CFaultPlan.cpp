#include "CFaultPlan.h"

#include <cstdlib>

namespace {

struct NamedKind {
  const char* pName;
  CFaultPlan::Kind kind;
};

constexpr NamedKind kNames[] = {
    {"no-answer", CFaultPlan::Kind::kNoAnswer},
    {"delay", CFaultPlan::Kind::kDelay},
    {"wrong-answer", CFaultPlan::Kind::kWrongAnswer},
    {"wrong-command", CFaultPlan::Kind::kWrongCommand},
    {"close-mid-frame", CFaultPlan::Kind::kCloseMidFrame},
    {"one-byte", CFaultPlan::Kind::kOneBytePieces},
    {"reply-close", CFaultPlan::Kind::kReplyThenClose},
    {"bad-magic", CFaultPlan::Kind::kBadMagic},
    {"short-length", CFaultPlan::Kind::kShortLength},
    {"long-length", CFaultPlan::Kind::kLongLength},
    {"refuse", CFaultPlan::Kind::kRefuse},
    {"refuse-comm", CFaultPlan::Kind::kRefuseComm},
    {"register-id-zero", CFaultPlan::Kind::kRegisterIdZero},
    {"register-id-negative", CFaultPlan::Kind::kRegisterIdNegative},
    {"register-short-key", CFaultPlan::Kind::kRegisterShortKey},
    {"register-long-key", CFaultPlan::Kind::kRegisterLongKey},
    {"register-key-line-feed", CFaultPlan::Kind::kRegisterKeyLineFeed},
    {"register-key-nul", CFaultPlan::Kind::kRegisterKeyNul},
    {"register-key-non-ascii", CFaultPlan::Kind::kRegisterKeyNonAscii},
    {"register-key-quoted", CFaultPlan::Kind::kRegisterKeyQuoted},
    {"redirect-host-name", CFaultPlan::Kind::kRedirectHostName},
    {"redirect-broadcast-ip", CFaultPlan::Kind::kRedirectBroadcastIp},
    {"redirect-port-zero", CFaultPlan::Kind::kRedirectPortZero},
    {"redirect-port-big", CFaultPlan::Kind::kRedirectPortBig},
    {"redirect-huge-heartbeat", CFaultPlan::Kind::kRedirectHugeHeartbeat},
};

bool IsSendFault(CFaultPlan::Kind kind) { return kind <= CFaultPlan::Kind::kLongLength; }

}  // namespace

bool CFaultPlan::Parse(const std::string& spec, Fault* pFault) {
  std::string name = spec;
  uint16_t cmd = 0;
  size_t colon = spec.find(':');
  if (colon != std::string::npos) {
    name = spec.substr(0, colon);
    std::string digits = spec.substr(colon + 1);
    char* pEnd = nullptr;
    unsigned long value = std::strtoul(digits.c_str(), &pEnd, 10);
    if (digits.empty() || *pEnd != '\0' || value == 0 || value > 0xFFFF) return false;
    cmd = static_cast<uint16_t>(value);
  }
  Fault fault;
  if (name == "half-open") {
    if (colon != std::string::npos) return false;
    fault.kind = Kind::kNoAnswer;
    fault.cmd = 1003;
    *pFault = fault;
    return true;
  }
  if (name == "malformed") name = "bad-magic";
  for (const NamedKind& entry : kNames) {
    if (name != entry.pName) continue;
    if (cmd != 0 && !IsSendFault(entry.kind)) return false;
    fault.kind = entry.kind;
    fault.cmd = cmd;
    *pFault = fault;
    return true;
  }
  return false;
}

const char* CFaultPlan::NameOf(Kind kind) {
  for (const NamedKind& entry : kNames) {
    if (entry.kind == kind) return entry.pName;
  }
  return "?";
}

std::string CFaultPlan::Names() {
  std::string names;
  for (const NamedKind& entry : kNames) {
    names += entry.pName;
    names += ' ';
  }
  return names + "half-open malformed";
}

void CFaultPlan::Add(const Fault& fault) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_faults.push_back(fault);
}

void CFaultPlan::Clear() {
  std::lock_guard<std::mutex> lock(m_lock);
  m_faults.clear();
}

bool CFaultPlan::TakeSendFault(uint16_t cmd, Fault* pFault) {
  std::lock_guard<std::mutex> lock(m_lock);
  for (size_t i = 0; i < m_faults.size(); ++i) {
    const Fault& fault = m_faults[i];
    if (IsSendFault(fault.kind) && (fault.cmd == 0 || fault.cmd == cmd)) {
      return TakeLocked(i, pFault);
    }
  }
  return false;
}

bool CFaultPlan::Take(Kind kind) {
  std::lock_guard<std::mutex> lock(m_lock);
  for (size_t i = 0; i < m_faults.size(); ++i) {
    Fault unused;
    if (m_faults[i].kind == kind) return TakeLocked(i, &unused);
  }
  return false;
}

bool CFaultPlan::TakeLocked(size_t index, Fault* pFault) {
  *pFault = m_faults[index];
  if (m_faults[index].remaining > 0 && --m_faults[index].remaining == 0) {
    m_faults.erase(m_faults.begin() + static_cast<std::ptrdiff_t>(index));
  }
  return true;
}
