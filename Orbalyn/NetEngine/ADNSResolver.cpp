#include "NetEngine/ADNSResolver.h"

#include <algorithm>
#include <cstring>

#include "Common/ObjectLifecycleMgr.h"
#include "NetEngine/ByteStream.h"
#include "NetEngine/DllLog.h"
#include "NetEngine/IOOperation.h"
#include "NetEngine/IOThread.h"
#include "NetEngine/IOTimerTable.h"
#include "Common/Lock.h"
#include "NetEngine/UdpDevice.h"
#include "win32/file.h"
#include "win32/iphlpapi.h"
#include "win32/module_name.h"
#include "win32/time.h"
#include "win32/winsock.h"

using namespace win32;

namespace {

constexpr uint16_t kFlagRecursionDesired = 0x0100;
constexpr uint16_t kFlagResponse = 0x8000;
constexpr uint16_t kOpcodeAndAuthoritative = 0x7C00;
constexpr uint16_t kResponseCodeMask = 0x000F;
constexpr uint16_t kTypeA = 1;
constexpr uint16_t kClassIn = 1;
constexpr size_t kMaxLabel = 63;
constexpr char kHostsSuffix[] = "\\drivers\\etc\\hosts";
// Far above any real hosts file; only keeps a runaway file from taking all memory.
constexpr size_t kMaxHostsFileBytes = 16 << 20;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// The first address of a system lookup, when it is an IPv4 one.
bool LookUpFirstAddress(const char* hostName, uint32_t* pAddressNetOrder) {
  hostent* pHost = win32::gethostbyname(hostName);
  if (!pHost || pHost->h_addrtype != AF_INET || pHost->h_length != 4 || !pHost->h_addr_list ||
      !pHost->h_addr_list[0]) {
    return false;
  }
  memcpy(pAddressNetOrder, pHost->h_addr_list[0], sizeof(*pAddressNetOrder));
  return true;
}

}  // namespace

CADNSResolver::CADNSResolver()
    : m_pUdpDevice(std::make_unique<CUdpDevice>()), m_started(false), m_queryId(0) {
  InitCriticalSection(&m_lock);
}

CADNSResolver::~CADNSResolver() {
  for (auto& entry : m_pending) CIOOperation::Release(entry.second.pOp);
  m_pending.clear();
  m_pUdpDevice->Close();
  DeleteCriticalSection(&m_lock);
}

void CADNSResolver::OnIoComplete(CIOOperation* pOp) {
  switch (pOp->Code()) {
    case CIOOperation::kRead:
      OnReadDone(pOp);
      break;
    case CIOOperation::kWrite:
      CheckPending();
      break;
    default:
      break;
  }
}

void CADNSResolver::OnTimer(unsigned int timerId) {
  if (timerId == kTimerCheckPending) CheckPending();
}

void CADNSResolver::Resolve(const char* hostName, CIOOperation* pOp) {
  if (!pOp) return;
  std::vector<DnsResult::Entry> entries;
  uint32_t address = 0;
  if (hostName && LookUpFirstAddress(hostName, &address)) {
    entries.push_back(DnsResult::Entry{kResolveTtl, address});
  }
  WriteResult(pOp, entries);
  CIOOperation::Post(pOp);
}

bool CADNSResolver::Start() {
  if (m_started.load()) return true;
  if (!m_pUdpDevice->Open(nullptr)) {
    DLL_LOG("ADNSResolver Start: open UDP socket failed");
    return false;
  }
  LoadServers();
  CIOThread::Instance()->SetTimer(this, kTimerCheckPending, kCheckIntervalMs, true);
  PostRead();
  m_started.store(true);
  return true;
}

bool CADNSResolver::Stop() {
  if (!m_started.load()) return true;
  // Waits for a callback in flight, which could otherwise re-arm a read after the close.
  CObjectLifecycleMgr::Instance()->Unregister(static_cast<CIOHandler*>(this));
  CIOOperation::Allocator::Instance()->DetachOwner(this);
  CIOThread::Instance()->TimerTable()->RemoveHandler(this);
  m_pUdpDevice->Close();
  m_started.store(false);
  std::map<std::string, PendingQuery> pending;
  {
    ScopedLock lock(&m_lock);
    pending.swap(m_pending);
  }
  for (auto& entry : pending) CIOOperation::Release(entry.second.pOp);
  CObjectLifecycleMgr::Instance()->Register(static_cast<CIOHandler*>(this));
  return true;
}

std::vector<sockaddr_in> CADNSResolver::ServersForTesting() {
  ScopedLock lock(&m_lock);
  return m_servers;
}

std::map<std::string, uint32_t> CADNSResolver::HostsForTesting() {
  ScopedLock lock(&m_lock);
  return m_hosts;
}

void CADNSResolver::AddPendingQueryForTesting(const std::string& hostName, CIOOperation* pOp) {
  ScopedLock lock(&m_lock);
  if (m_pending.count(hostName)) return;
  CIOOperation::AddRef(pOp);  // the query's: dropped when it ends or at Stop
  const DWORD now = GetTickCount();
  m_pending.emplace(hostName, PendingQuery{pOp, now, now, 0, 0});
}

size_t CADNSResolver::PendingCountForTesting() {
  ScopedLock lock(&m_lock);
  return m_pending.size();
}

void CADNSResolver::LoadServers() {
  std::vector<sockaddr_in> servers;
  std::vector<uint8_t> buffer(sizeof(FIXED_INFO));
  ULONG size = static_cast<ULONG>(buffer.size());
  DWORD result = GetNetworkParams(reinterpret_cast<FIXED_INFO*>(buffer.data()), &size);
  if (result == ERROR_BUFFER_OVERFLOW) {
    buffer.resize(size);
    result = GetNetworkParams(reinterpret_cast<FIXED_INFO*>(buffer.data()), &size);
  }
  if (result == ERROR_SUCCESS) {
    const auto* pInfo = reinterpret_cast<const FIXED_INFO*>(buffer.data());
    for (const IP_ADDR_STRING* pEntry = &pInfo->DnsServerList; pEntry; pEntry = pEntry->Next) {
      in_addr_t address = inet_addr(pEntry->IpAddress.String);
      if (address == INADDR_NONE) continue;  // an empty list holds one blank entry
      sockaddr_in server{};
      server.sin_family = AF_INET;
      server.sin_port = htons(kDnsPort);
      server.sin_addr.s_addr = address;
      servers.push_back(server);
    }
  }
  {
    ScopedLock lock(&m_lock);
    m_servers.swap(servers);
  }
  LoadHosts();
}

void CADNSResolver::LoadHosts() {
  std::map<std::string, uint32_t> hosts;
  WCHAR directory[MAX_PATH] = {};
  UINT length = GetSystemDirectoryW(directory, MAX_PATH);
  std::string text;
  if (length > 0 && length < MAX_PATH) {
    std::u16string path(directory, length);
    for (const char* p = kHostsSuffix; *p; ++p) path.push_back(static_cast<char16_t>(*p));
    HANDLE hFile = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile != INVALID_HANDLE_VALUE) {
      char chunk[4096];
      DWORD read = 0;
      while (text.size() < kMaxHostsFileBytes &&
             ReadFile(hFile, chunk, sizeof(chunk), &read, nullptr) && read > 0) {
        text.append(chunk, read);
      }
      CloseHandle(hFile);
    }
  }

  size_t lineStart = 0;
  while (lineStart < text.size()) {
    size_t lineEnd = text.find('\n', lineStart);
    if (lineEnd == std::string::npos) lineEnd = text.size();
    // A line is read into a 1024-character buffer; what does not fit is not read.
    std::string line = text.substr(lineStart, std::min(lineEnd - lineStart, kMaxHostsLine - 1));
    lineStart = lineEnd + 1;

    size_t i = 0;
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i == line.size() || line[i] == '#') continue;
    size_t addressEnd = i;
    while (addressEnd < line.size() && !IsBlank(line[addressEnd])) ++addressEnd;
    in_addr_t address = inet_addr(line.substr(i, addressEnd - i).c_str());
    if (address == 0 || address == INADDR_NONE) continue;
    size_t nameStart = addressEnd;
    while (nameStart < line.size() && IsBlank(line[nameStart])) ++nameStart;
    size_t nameEnd = nameStart;
    while (nameEnd < line.size() && !IsBlank(line[nameEnd])) ++nameEnd;
    if (nameEnd == nameStart) continue;
    hosts.emplace(line.substr(nameStart, nameEnd - nameStart), address);  // the first one stays
  }

  ScopedLock lock(&m_lock);
  m_hosts.swap(hosts);
}

void CADNSResolver::PostRead() {
  CIOOperation* pOp = CIOOperation::Create(this, CIOOperation::kRead, kReadSize);
  if (!pOp) {
    DLL_LOG("ADNSResolver PostRead failed: no memory");
    return;
  }
  m_pUdpDevice->Read(pOp);
  CIOOperation::Release(pOp);  // the creator's; the receive holds its own
}

void CADNSResolver::SendQueryLocked(const std::string& hostName, size_t serverIndex) {
  if (serverIndex >= m_servers.size()) return;
  const std::string encoded = EncodeName(hostName);
  if (encoded.empty()) return;
  CIOOperation* pOp = CIOOperation::Create(this, CIOOperation::kWrite, kQuerySize);
  if (!pOp) return;
  ByteStream stream(static_cast<void*>(pOp->Data()), kQuerySize);
  bool written = stream.PutU16(m_queryId) && stream.PutU16(kFlagRecursionDesired) &&
                 stream.PutU16(1) && stream.PutU16(0) && stream.PutU16(0) && stream.PutU16(0) &&
                 stream.PutBytes(encoded.data(), encoded.size()) && stream.PutU16(kTypeA) &&
                 stream.PutU16(kClassIn);
  if (written) {
    pOp->SetLength(static_cast<uint32_t>(stream.Position()));
    CIOOperation::SetAddress(pOp, &m_servers[serverIndex], sizeof(sockaddr_in));
    m_pUdpDevice->Write(pOp);
  }
  CIOOperation::Release(pOp);  // the creator's; the send holds its own
  ++m_queryId;
}

void CADNSResolver::CheckPending() {
  ScopedLock lock(&m_lock);
  const DWORD now = GetTickCount();
  for (auto it = m_pending.begin(); it != m_pending.end();) {
    PendingQuery& query = it->second;
    // Unsigned differences: right across the wrap of the tick count.
    if (now - query.serverStartMs > kServerTimeoutMs) {
      const size_t next = query.serverIndex + 1;
      if (next >= m_servers.size()) {
        CIOOperation* pOp = query.pOp;
        it = m_pending.erase(it);
        WriteResult(pOp, {});
        CIOOperation::Post(pOp);
        CIOOperation::Release(pOp);  // the query's
        continue;
      }
      query.serverIndex = next;
      query.serverStartMs = now;
      query.lastSendMs = now;
      query.resendIntervalMs = kFirstResendMs;
      SendQueryLocked(it->first, next);
    } else if (now - query.lastSendMs > query.resendIntervalMs) {
      query.lastSendMs = now;
      query.resendIntervalMs = query.resendIntervalMs ? query.resendIntervalMs * 2 : kFirstResendMs;
      SendQueryLocked(it->first, query.serverIndex);
    }
    ++it;
  }
}

void CADNSResolver::OnReadDone(CIOOperation* pOp) {
  const uint32_t error = pOp->Error();
  // A read ended by the socket's close (995), or refused for want of one (10038), is not
  // re-armed: the next one would fail the same way, for ever.
  if (error != ERROR_OPERATION_ABORTED && error != static_cast<uint32_t>(WSAENOTSOCK)) PostRead();
  const size_t length = std::min(pOp->BytesTransferred(), pOp->Capacity());
  if (error != 0 || length == 0) return;
  int* pFromLength = nullptr;
  const void* pFrom = CIOOperation::GetAddress(pOp, &pFromLength);
  {
    ScopedLock lock(&m_lock);
    if (!pFrom || !IsServerLocked(pFrom, *pFromLength)) return;
  }

  const uint8_t* pData = pOp->Data();
  ByteStream header(static_cast<const void*>(pData), length);
  uint16_t id = 0, flags = 0, questions = 0, answers = 0, authorities = 0, additionals = 0;
  if (!header.GetU16(&id) || !header.GetU16(&flags) || !header.GetU16(&questions) ||
      !header.GetU16(&answers) || !header.GetU16(&authorities) || !header.GetU16(&additionals)) {
    return;
  }
  size_t offset = header.Position();
  const std::string name = DecodeName(pData, length, &offset);
  ByteStream body(static_cast<const void*>(pData + offset), length - offset);
  uint16_t questionType = 0, questionClass = 0;
  const bool haveQuestion = body.GetU16(&questionType) && body.GetU16(&questionClass);

  // Opcode and the authoritative-answer flag must be 0, so authoritative replies are ignored.
  if (!(flags & kFlagResponse) || (flags & kOpcodeAndAuthoritative) ||
      (flags & kResponseCodeMask)) {
    return;
  }

  std::vector<DnsResult::Entry> entries;
  for (uint16_t i = 0; haveQuestion && i < answers; ++i) {
    uint16_t type = 0, answerClass = 0, dataLength = 0;
    uint32_t ttl = 0;
    if (!body.Skip(2) || !body.GetU16(&type) || !body.GetU16(&answerClass) || !body.GetU32(&ttl) ||
        !body.GetU16(&dataLength)) {
      break;
    }
    if (dataLength != 4) {
      if (!body.Skip(dataLength)) break;
      continue;
    }
    uint32_t address = 0;
    if (body.Remaining() < sizeof(address)) break;
    memcpy(&address, body.Current(), sizeof(address));
    if (!body.Skip(sizeof(address))) break;
    if (type == kTypeA) entries.push_back(DnsResult::Entry{ttl, address});
  }

  if (entries.empty()) {
    // Anyone can send a datagram from a server's address: only a name that is actually being
    // asked for is worth a blocking system lookup on this thread.
    {
      ScopedLock lock(&m_lock);
      if (name.empty() || !m_pending.count(name)) return;
    }
    m_fallbackLookups.fetch_add(1);
    uint32_t address = 0;
    if (!LookUpFirstAddress(name.c_str(), &address)) return;  // the retries go on
    entries.push_back(DnsResult::Entry{kFallbackTtl, address});
  }
  ScopedLock lock(&m_lock);
  CompleteQueryLocked(name, entries);
}

void CADNSResolver::CompleteQueryLocked(const std::string& hostName,
                                        const std::vector<DnsResult::Entry>& entries) {
  auto it = m_pending.find(hostName);
  if (it == m_pending.end()) return;
  CIOOperation* pOp = it->second.pOp;
  m_pending.erase(it);
  WriteResult(pOp, entries);
  CIOOperation::Post(pOp);
  CIOOperation::Release(pOp);  // the query's
}

bool CADNSResolver::IsServerLocked(const void* pAddress, int length) {
  if (length != static_cast<int>(sizeof(sockaddr_in))) return false;
  for (const sockaddr_in& server : m_servers) {
    if (memcmp(&server, pAddress, sizeof(server)) == 0) return true;
  }
  return false;
}

std::string CADNSResolver::EncodeName(const std::string& hostName) {
  std::string encoded;
  size_t start = 0;
  for (;;) {
    size_t dot = hostName.find('.', start);
    const bool last = dot == std::string::npos;
    const size_t end = last ? hostName.size() : dot;
    const size_t labelLength = end - start;
    if (labelLength == 0 && last) break;  // "name." and "" end here
    if (labelLength == 0 || labelLength > kMaxLabel) return {};
    encoded.push_back(static_cast<char>(labelLength));
    encoded.append(hostName, start, labelLength);
    if (last) break;
    start = dot + 1;
  }
  encoded.push_back('\0');
  return encoded;
}

std::string CADNSResolver::DecodeName(const uint8_t* pData, size_t length, size_t* pOffset) {
  std::string name;
  size_t offset = *pOffset;
  bool first = true;
  while (offset < length) {
    const size_t labelLength = pData[offset++];
    if (labelLength == 0) break;
    const size_t take = std::min(labelLength, length - offset);
    if (!first) name.push_back('.');
    name.append(reinterpret_cast<const char*>(pData + offset), take);
    offset += take;
    first = false;
  }
  *pOffset = offset;
  return name;
}

void CADNSResolver::WriteResult(CIOOperation* pOp, const std::vector<DnsResult::Entry>& entries) {
  pOp->SetLength(0);
  if (entries.empty()) {
    pOp->SetError(static_cast<uint32_t>(WSAETIMEDOUT));
    return;
  }
  const size_t room = pOp->Capacity() < sizeof(uint32_t)
                          ? 0
                          : (pOp->Capacity() - sizeof(uint32_t)) / sizeof(DnsResult::Entry);
  const uint32_t count = static_cast<uint32_t>(std::min(entries.size(), room));
  CIOOperation::Append(pOp, &count, sizeof(count));
  CIOOperation::Append(pOp, entries.data(),
                       count * static_cast<uint32_t>(sizeof(DnsResult::Entry)));
  pOp->SetError(0);
}
