#include "Logic/LogicCenter.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <cinttypes>
#include <ctime>
#include <new>
#include <utility>

#include "msg.pb.h"

#include "Common/ObjectLifecycleMgr.h"
#include "Logic/ClientCommMgr.h"
#include "Logic/ClientCommand.h"
#include "Logic/CommandKey.h"
#include "Logic/LocalServer.h"
#include "Logic/PhotoDb.h"
#include "Logic/PhotoDevice.h"
#include "Logic/PhotoDeviceContainer.h"
#include "Logic/PhotoMessage.h"
#include "Logic/ServerChannel.h"
#include "Logic/ServerCommand.h"
#include "NetEngine/ADNSResolver.h"
#include "NetEngine/DllLog.h"
#include "NetEngine/IOOperation.h"
#include "NetEngine/IOThread.h"
#include "NetEngine/IOTimerTable.h"
#include "Common/Lock.h"
#include "NetEngine/NetHelpers.h"
#include "machine-identity/PacketBuffer.h"
#include "machine-identity/ReportClientMgr.h"
#include "win32/module_name.h"
#include "win32/sysinfo.h"
#include "win32/time.h"
#include "win32/winsock.h"

#ifndef ORBALYN_ENTRY_SERVER_DEFAULT
#define ORBALYN_ENTRY_SERVER_DEFAULT "entry.lumidock.invalid:443"
#endif

using namespace win32;

namespace {

constexpr WCHAR kWindowClassName[] = u"{C758F4F2-844F-467d-9AA4-7B2B063F7FFF}";
// The background brush value the class has always carried.
constexpr intptr_t kWindowBackground = 6;

constexpr char kEntryServerVariable[] = "ORBALYN_ENTRY_SERVER";
// The program's version as the login request carries it: 1.2.10065.201.
constexpr uint16_t kSoftVersion[4] = {1, 2, 10065, 201};
constexpr uint32_t kResolveBufferSize = 128;
// Size of a channel's finish record: four u32 values (this size, channel id, operation, error).
constexpr uint32_t kFinishRecordSize = 16;
// What a communication channel dropped for unanswered heartbeats reports as its end.
constexpr uint32_t kHeartbeatLostOperation = 3;
constexpr uint32_t kHeartbeatLostError = WSAETIMEDOUT;

// The module that holds this code: the window class belongs to it.
HINSTANCE OwnModule() {
  HMODULE hModule = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&OwnModule), &hModule);
  return hModule;
}

uint64_t PackVersion(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return (uint64_t{a & 0xFFFF} << 48) | (uint64_t{b & 0xFFFF} << 32) |
         (uint64_t{c & 0xFFFF} << 16) | uint64_t{d & 0xFFFF};
}

uint64_t SystemVersion() {
  OSVERSIONINFOEXW extended{};
  extended.dwOSVersionInfoSize = sizeof(extended);
  if (GetVersionExW(&extended)) {
    return PackVersion(extended.dwMajorVersion, extended.dwMinorVersion, extended.wServicePackMajor,
                       extended.dwBuildNumber);
  }
  OSVERSIONINFOW plain{};
  plain.dwOSVersionInfoSize = sizeof(plain);
  if (GetVersionExW(&plain)) {
    return PackVersion(plain.dwMajorVersion, plain.dwMinorVersion, 0, plain.dwBuildNumber);
  }
  return 0;
}

void AppendBigEndian64(std::string* pBytes, int64_t value) {
  const uint64_t wire = HostToNet64(static_cast<uint64_t>(value));
  pBytes->append(reinterpret_cast<const char*>(&wire), sizeof(wire));
}

int64_t ReadBigEndian64(const char* pBytes) {
  uint64_t wire;
  memcpy(&wire, pBytes, sizeof(wire));
  return static_cast<int64_t>(HostToNet64(wire));
}

// A usable IPv4 unicast address: neither "any" nor the broadcast value that also stands for
// "not an address".
bool IsUsableAddress(uint32_t addressNetOrder) {
  return addressNetOrder != 0 && addressNetOrder != INADDR_NONE;
}

template <class TMessage>
bool ParseBody(CServerCommand* pCommand, TMessage* pMessage) {
  const uint8_t* pBody = nullptr;
  uint32_t length = 0;
  if (!pCommand->GetBody(&pBody, &length)) return false;
  return pMessage->ParseFromArray(pBody, static_cast<int>(length));
}

std::string SerializeMessage(const google::protobuf::MessageLite& message) {
  std::string body;
  // Sent as built: a missing field is the server's to refuse, never a reason to abort here.
  message.SerializePartialToString(&body);
  return body;
}

// Statistics report 5907: how many devices the store holds.
struct CDailyReport {
  uint32_t deviceCount = 0;
  [[nodiscard]] bool Serialize(CPacketBuffer* pBuffer) const {
    return pBuffer->WriteUInt32(deviceCount);
  }
};

// Every device of the store, each with a reference of the list's own; release the list.
CPhotoDeviceContainer* AllDevices(bool boundOnly) {
  IOrbalynDeviceContainer* pList = nullptr;
  CPhotoDb* pDb = CPhotoDb::Instance();
  if (boundOnly) {
    pDb->GetBoundDevices(&pList);
  } else {
    pDb->GetAllDevices(&pList);
  }
  return static_cast<CPhotoDeviceContainer*>(pList);
}

// The entry server to resolve: the tests' override, else ORBALYN_ENTRY_SERVER, else the
// built-in default. False when not even the default is usable.
bool ConfiguredEntryServer(std::string* pHost, uint16_t* pPort) {
  const char* pValue = getenv(kEntryServerVariable);
  if (pValue) {
    if (ParseServerAddress(pValue, pHost, pPort)) return true;
    DLL_LOG("CLogicCenter: %s=\"%s\" is not host[:port]; the built-in entry server is kept",
            kEntryServerVariable, pValue);
  }
  if (ParseServerAddress(ORBALYN_ENTRY_SERVER_DEFAULT, pHost, pPort)) return true;
  DLL_LOG("CLogicCenter: built-in entry server \"%s\" is not host[:port]",
          ORBALYN_ENTRY_SERVER_DEFAULT);
  return false;
}

}  // namespace

CLogicCenter::CLogicCenter() : m_startTick(GetTickCount()) {
  InitCriticalSection(&m_queueLock);
  InitCriticalSection(&m_channelLock);
  InitCriticalSection(&m_replyLock);
}

CLogicCenter::~CLogicCenter() {
  // Runs at process exit. The sink belongs to the host, which may be gone; channels still open
  // are left to the process's end, since closing them would need the I/O thread.
  ClearUiMessages();
  std::deque<ReceivedReply> replies;
  {
    ScopedLock lock(&m_replyLock);
    replies.swap(m_replies);
  }
  for (const ReceivedReply& reply : replies) reply.pCommand->Release();
  DeleteCriticalSection(&m_replyLock);
  DeleteCriticalSection(&m_channelLock);
  DeleteCriticalSection(&m_queueLock);
}

// --- Start and Stop ---

bool CLogicCenter::Start() {
  bool created = false;
  {
    ScopedLock lock(&m_channelLock);
    if (!m_hWnd) {
      HINSTANCE hInstance = OwnModule();
      WNDCLASSEXW windowClass{};
      windowClass.cbSize = sizeof(windowClass);
      windowClass.lpfnWndProc = &CLogicCenter::WindowProc;
      windowClass.hInstance = hInstance;
      windowClass.hbrBackground = reinterpret_cast<HBRUSH>(kWindowBackground);
      windowClass.lpszClassName = kWindowClassName;
      // Ignored: a class left registered by an earlier Start is simply reused.
      RegisterClassExW(&windowClass);
      m_hWnd = CreateWindowExW(0, kWindowClassName, nullptr, WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                               hInstance, nullptr);
      if (!m_hWnd) {
        DLL_LOG("CLogicCenter[%p]::Start CreateWindowExW failed: %u", static_cast<void*>(this),
                GetLastError());
        return false;
      }
      created = true;
    }
  }
  if (created) {
    // Channels find their handler by its complete object, the I/O thread by the handler part.
    CObjectLifecycleMgr::Instance()->Register(static_cast<const void*>(this));
    CObjectLifecycleMgr::Instance()->Register(static_cast<CIOHandler*>(this));
    CIOThread::Instance()->SetTimer(this, kTimerDayCheck, m_periods.dayCheckMs, true);
    m_lastReportTime.store(time(nullptr));
    SendDailyReport();
    CClientCommMgr::Instance()->SetTransferSender(&CLogicCenter::TransferToServer);
  }
  // Messages queued while there was no window were never announced.
  bool waiting;
  {
    ScopedLock lock(&m_queueLock);
    waiting = !m_uiMessages.empty();
  }
  if (waiting) AnnounceUiMessages();
  return true;
}

void CLogicCenter::Stop() {
  DLL_LOG("LogicCenter uninit!!!");
  // Unregistering waits for a callback in flight, which may still arm a timer; only then are
  // the timers dropped, every one of them: one left armed would fire into the next session.
  CObjectLifecycleMgr::Instance()->Unregister(static_cast<CIOHandler*>(this));
  CObjectLifecycleMgr::Instance()->Unregister(static_cast<const void*>(this));
  CIOThread::Instance()->TimerTable()->RemoveHandler(this);
  std::map<uint32_t, CServerChannel*> channels;
  {
    ScopedLock lock(&m_channelLock);
    if (m_hWnd) {
      if (!DestroyWindow(m_hWnd)) {
        DLL_LOG("CLogicCenter[%p]::Stop DestroyWindow failed: %u", static_cast<void*>(this),
                GetLastError());
      }
      m_hWnd = nullptr;
    }
    channels.swap(m_channels);
  }
  // Outside the lock: a close waits for a callback of the channel in flight on the I/O thread,
  // which no longer reaches the session.
  for (auto& item : channels) CloseChannel(item.second);
  ClearUiMessages();
  std::deque<ReceivedReply> replies;
  {
    ScopedLock lock(&m_replyLock);
    replies.swap(m_replies);
  }
  for (const ReceivedReply& reply : replies) reply.pCommand->Release();
  CIOOperation::Allocator::Instance()->DetachOwner(this);
  m_loginState.store(kStateStopped);
  if (m_pSink) {
    CPhotoMessage* pMessage =
        new (std::nothrow) CPhotoMessage(UIMsg_login_state, kStateStopped, 0, 0, 0, 0, 0);
    if (pMessage) {
      m_pSink->OnLogicMessage(pMessage);
      pMessage->Release();
    }
  }
}

void CLogicCenter::SetLogicSink(IOrbalynLogicSink* pSink) {
  if (pSink == m_pSink) return;
  if (pSink) pSink->AddRef();
  IOrbalynLogicSink* pOld = std::exchange(m_pSink, pSink);
  if (pOld) pOld->Release();
}

// --- UI messages ---

void CLogicCenter::PostUiMessage(int type, int value, int64_t id, int param1, int param2) {
  CPhotoMessage* pMessage = new (std::nothrow) CPhotoMessage(type, value, id, param1, param2, 0, 0);
  if (pMessage) AppendUiMessage(pMessage);
}

void CLogicCenter::PostUiMessagePayload(int value, int64_t id, const void* pBytes, size_t length) {
  CPhotoMessage* pMessage =
      new (std::nothrow) CPhotoMessage(UIMsg_upload_finish, value, id, pBytes, length);
  if (pMessage) AppendUiMessage(pMessage);
}

void CLogicCenter::QueueUiMessage(CPhotoMessage* pMessage) {
  if (!pMessage) return;
  pMessage->AddRef();  // the queue's: passes to whoever pops it
  AppendUiMessage(pMessage);
}

CPhotoMessage* CLogicCenter::PopUiMessage() {
  ScopedLock lock(&m_queueLock);
  if (m_uiMessages.empty()) return nullptr;
  CPhotoMessage* pMessage = m_uiMessages.front();
  m_uiMessages.pop_front();
  return pMessage;
}

void CLogicCenter::ClearUiMessages() {
  std::deque<CPhotoMessage*> dropped;
  {
    ScopedLock lock(&m_queueLock);
    dropped.swap(m_uiMessages);
  }
  for (CPhotoMessage* pMessage : dropped) pMessage->Release();
}

LRESULT CLogicCenter::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != kWmUiMessage) return DefWindowProcW(hwnd, message, wParam, lParam);
  Instance()->DeliverUiMessages();
  return 0;
}

void CLogicCenter::AppendUiMessage(CPhotoMessage* pMessage) {
  {
    ScopedLock lock(&m_queueLock);
    m_uiMessages.push_back(pMessage);
  }
  AnnounceUiMessages();
}

void CLogicCenter::AnnounceUiMessages() {
  HWND hWnd;
  {
    ScopedLock lock(&m_channelLock);
    hWnd = m_hWnd;
  }
  // Without a window a null handle would post to this thread's own queue, which nobody pumps;
  // the message waits in the queue for the next Start instead. A window destroyed meanwhile
  // only makes the post fail.
  if (hWnd) PostMessageW(hWnd, kWmUiMessage, 0, 0);
}

void CLogicCenter::DeliverUiMessages() {
  while (CPhotoMessage* pMessage = PopUiMessage()) {
    if (m_pSink) m_pSink->OnLogicMessage(pMessage);
    pMessage->Release();
  }
}

// --- Channel callbacks ---

void CLogicCenter::OnConnected(CCommandChannel* pChannel) {
  CServerChannel* pServerChannel = FindChannel(pChannel->Id());
  if (!pServerChannel) return;  // closed meanwhile
  const uint32_t tag = pServerChannel->Tag();
  UpdateLocalIp(tag);
  switch (tag) {
    case kTagRegister:
      SendRegister(pServerChannel);
      break;
    case kTagServerTime:
      SendServerTime(pServerChannel);
      break;
    case kTagRedirect:
      SendRedirect(pServerChannel);
      break;
    case kTagComm:
      SendLogin(pServerChannel);
      break;
    case kTagGetUnbindInfo:
      SendGetUnbindInfo(pServerChannel);
      break;
    case kTagClearUnbindInfo:
      SendClearUnbindInfo(pServerChannel);
      break;
    case kTagUnbind:
      SendUnbind(pServerChannel);
      break;
    default:
      break;
  }
  pServerChannel->Release();
}

int CLogicCenter::OnCommand(CCommandChannel* pChannel, CCommand* pCommand) {
  if (!pChannel || !pCommand || pCommand->Kind() != CServerCommand::kKind) return -1;
  auto* pServerCommand = static_cast<CServerCommand*>(pCommand);
  pServerCommand->AddRef();  // the list's: dropped once handled
  {
    ScopedLock lock(&m_replyLock);
    m_replies.push_back(ReceivedReply{pServerCommand, pChannel->Tag()});
  }
  PostOperation(kOpRepliesWaiting, nullptr, 0);
  return 0;
}

void CLogicCenter::OnFinish(CCommandChannel* pChannel, uint32_t operation, uint32_t error) {
  const uint32_t record[4] = {kFinishRecordSize, pChannel->Id(), operation, error};
  PostOperation(kOpChannelFinished, record, sizeof(record));
}

void CLogicCenter::OnIoComplete(CIOOperation* pOp) {
  ASSERT_ON_IO_THREAD();
  switch (pOp->Code()) {
    case kOpChannelFinished:
      OnChannelFinished(pOp);
      break;
    case kOpRepliesWaiting:
      HandleReplies();
      break;
    case kOpLogin:
      RunLogin();
      break;
    case kOpLogout:
      DoLogout();
      break;
    case kOpResolved:
      OnEntryResolved(pOp);
      break;
    default:
      break;
  }
}

void CLogicCenter::OnTimer(unsigned int timerId) {
  ASSERT_ON_IO_THREAD();
  switch (timerId) {
    case kTimerStep:
      OnStepTimeout();
      break;
    case kTimerRetry:
      RunLogin();
      break;
    case kTimerHeartbeat:
      OnHeartbeatTimer();
      break;
    case kTimerDayCheck:
      CheckDayChange();
      break;
    case kTimerSideChannels:
      CloseSideChannels();
      break;
    default:
      break;
  }
}

// --- Relay ---

int CLogicCenter::SendTransferCommand(CClientCommand* pReply) {
  if (!pReply || !pReply->IsValid()) return 0;
  CServerChannel* pChannel = FindChannel(pReply->ChannelId());
  if (!pChannel) return 0;
  int sent = 0;
  if (pChannel->Tag() == kTagComm) {
    const uint32_t frameLength = pReply->FrameLength();
    CIOOperation* pFrame = CIOOperation::Create(nullptr, 0, frameLength);
    CServerCommand* pCommand = CServerCommand::Create(
        protocol::C2S_transfer_pc_to_phone, frameLength + CServerCommand::kRelayBufferExtra);
    if (pFrame && pCommand && pReply->SerializeTo(pFrame) &&
        pCommand->SetBody(pFrame->Data(), pFrame->Length())) {
      sent = pChannel->Send(pCommand);
    } else {
      DLL_LOG("CLogicCenter::SendTransferCommand dropped: cmd=%u, bytes=%u", pReply->GetCommandId(),
              frameLength);
    }
    if (pCommand) pCommand->Release();
    if (pFrame) CIOOperation::Release(pFrame);
  }
  pChannel->Release();
  return sent ? 1 : 0;
}

int CLogicCenter::TransferToServer(CClientCommand* pReply) {
  return Instance()->SendTransferCommand(pReply);
}

// --- Channel map ---

CServerChannel* CLogicCenter::OpenChannel(uint32_t tag, bool create, bool* pCreated) {
  if (pCreated) *pCreated = false;
  ScopedLock lock(&m_channelLock);
  for (auto& item : m_channels) {
    if (item.second->Tag() == tag) {
      item.second->AddRef();  // the caller's
      return item.second;
    }
  }
  if (!create) return nullptr;
  CServerChannel* pChannel = new (std::nothrow) CServerChannel(this, tag);
  if (!pChannel) return nullptr;
  m_channels[pChannel->Id()] = pChannel;  // the constructor's reference passes to the map
  pChannel->AddRef();                     // the caller's
  if (pCreated) *pCreated = true;
  return pChannel;
}

CServerChannel* CLogicCenter::FindChannel(uint32_t channelId) {
  ScopedLock lock(&m_channelLock);
  auto it = m_channels.find(channelId);
  if (it == m_channels.end()) return nullptr;
  it->second->AddRef();  // the caller's
  return it->second;
}

CServerChannel* CLogicCenter::TakeChannel(uint32_t channelId) {
  ScopedLock lock(&m_channelLock);
  auto it = m_channels.find(channelId);
  if (it == m_channels.end()) return nullptr;
  CServerChannel* pChannel = it->second;  // the map's reference passes to the caller
  m_channels.erase(it);
  return pChannel;
}

CServerChannel* CLogicCenter::TakeChannelByTag(uint32_t tag) {
  ScopedLock lock(&m_channelLock);
  for (auto it = m_channels.begin(); it != m_channels.end(); ++it) {
    if (it->second->Tag() == tag) {
      CServerChannel* pChannel = it->second;
      m_channels.erase(it);
      return pChannel;
    }
  }
  return nullptr;
}

void CLogicCenter::CloseChannel(CServerChannel* pChannel) {
  if (!pChannel) return;
  pChannel->Close();
  pChannel->Release();
}

void CLogicCenter::CloseChannelById(uint32_t channelId) { CloseChannel(TakeChannel(channelId)); }

void CLogicCenter::CloseChannelByTag(uint32_t tag) { CloseChannel(TakeChannelByTag(tag)); }

void CLogicCenter::CloseAllChannels() {
  std::map<uint32_t, CServerChannel*> channels;
  {
    ScopedLock lock(&m_channelLock);
    channels.swap(m_channels);
  }
  for (auto& item : channels) CloseChannel(item.second);
}

void CLogicCenter::ConnectChannel(CServerChannel* pChannel, uint32_t address, uint16_t port) {
  pChannel->Connect(address, port);
  CIOThread::Instance()->SetTimer(this, kTimerStep, m_periods.stepTimeoutMs, false);
}

void CLogicCenter::OpenSideChannel(uint32_t tag) {
  const uint32_t address = m_entryIp.load();
  // Before the entry server was ever found there is nowhere to go; a pending unbind record
  // waits for the next login that reaches the server.
  if (!address) {
    DLL_LOG("CLogicCenter::OpenSideChannel Tag=%u skipped: entry server not resolved", tag);
    return;
  }
  bool created = false;
  CServerChannel* pChannel = OpenChannel(tag, true, &created);
  if (!pChannel) return;
  if (created) {
    pChannel->Connect(address, m_entryPort.load());
    CIOThread::Instance()->SetTimer(this, kTimerSideChannels, m_periods.sideChannelMs, false);
  }
  pChannel->Release();
}

void CLogicCenter::CloseSideChannels() {
  std::vector<CServerChannel*> expired;
  bool unbindClosed = false;
  bool unbindsPending = false;
  {
    ScopedLock lock(&m_channelLock);
    for (auto it = m_channels.begin(); it != m_channels.end();) {
      const uint32_t tag = it->second->Tag();
      if (tag == kTagGetUnbindInfo || tag == kTagClearUnbindInfo || tag == kTagUnbind) {
        unbindClosed = unbindClosed || tag == kTagUnbind;
        expired.push_back(it->second);
        it = m_channels.erase(it);
      } else {
        ++it;
      }
    }
    unbindsPending = !m_pendingUnbinds.empty();
  }
  for (CServerChannel* pChannel : expired) {
    DLL_LOG("CLogicCenter::CloseSideChannels Channel[%p, id:%u, Tag:%u] closed",
            static_cast<void*>(pChannel), pChannel->Id(), pChannel->Tag());
    CloseChannel(pChannel);
  }
  if (unbindClosed && unbindsPending) OpenSideChannel(kTagUnbind);
}

void CLogicCenter::PostOperation(uint32_t code, const void* pData, uint32_t length) {
  CIOOperation* pOp = CIOOperation::Create(this, code, length);
  if (!pOp) {
    DLL_LOG("CLogicCenter::PostOperation %u failed: no memory", code);
    return;
  }
  if (length) CIOOperation::Append(pOp, pData, length);
  CIOOperation::Post(pOp);
  CIOOperation::Release(pOp);  // the creator's; the post holds its own
}

void CLogicCenter::SetState(int state) {
  if (state == kStateOnline) {
    CIOThread::Instance()->KillTimer(this, kTimerRetry);
  } else {
    CIOThread::Instance()->SetTimer(this, kTimerRetry, m_periods.retryMs, false);
  }
  m_loginState.store(state);
  PostUiMessage(UIMsg_login_state, state, 0, 0, 0);
}

// --- Login procedure ---

void CLogicCenter::RunLogin() {
  if (m_loginState.load() == kStateOnline) return;
  CIOThread::Instance()->SetTimer(this, kTimerStep, m_periods.stepTimeoutMs, false);
  std::string host;
  uint16_t port = kDefaultServerPort;
  if (!m_entryHostForTesting.empty()) {
    host = m_entryHostForTesting;
    port = m_entryPortForTesting;
  } else if (!ConfiguredEntryServer(&host, &port)) {
    host.clear();
  }
  m_entryPort.store(port);
  CIOOperation* pOp = CIOOperation::Create(this, kOpResolved, kResolveBufferSize);
  if (!pOp) return;  // the step timer ends the attempt
  // An empty name would give this machine's own addresses; no name fails the lookup instead.
  CADNSResolver::Instance()->Resolve(host.empty() ? nullptr : host.c_str(), pOp);
  CIOOperation::Release(pOp);  // the creator's; the post holds its own
}

void CLogicCenter::OnEntryResolved(CIOOperation* pOp) {
  DnsResult result{};
  const uint32_t length = pOp->Length();
  if (pOp->Error() != 0 || length < sizeof(result)) {
    DLL_LOG("Redirect server dns failed");
    FailLogin(kLoginResolveFailed);
    return;
  }
  memcpy(&result, pOp->Data(), sizeof(result));
  if (result.count == 0 || !IsUsableAddress(result.entries[0].addressNetOrder)) {
    DLL_LOG("Redirect server dns failed");
    FailLogin(kLoginResolveFailed);
    return;
  }
  m_entryIp.store(result.entries[0].addressNetOrder);
  DLL_LOG("Redirect server dns success: ip=%s", IpToString(m_entryIp.load()).c_str());
  if (CPhotoDb::Instance()->DeviceId() == 0) {
    RegisterStep();
  } else {
    ServerTimeStep();
  }
}

void CLogicCenter::RegisterStep() {
  bool created = false;
  CServerChannel* pChannel = OpenChannel(kTagRegister, true, &created);
  if (!pChannel) return;
  if (created) {
    DLL_LOG("Begin Register pc: ip=%s:%u", IpToString(m_entryIp.load()).c_str(),
            unsigned{m_entryPort.load()});
    ConnectChannel(pChannel, m_entryIp.load(), m_entryPort.load());
  }
  pChannel->Release();
}

void CLogicCenter::ServerTimeStep() {
  bool created = false;
  CServerChannel* pChannel = OpenChannel(kTagServerTime, true, &created);
  if (!pChannel) return;
  if (created) {
    DLL_LOG("Begin GetSvrTime: ip=%s:%u", IpToString(m_entryIp.load()).c_str(),
            unsigned{m_entryPort.load()});
    m_serverTime = 0;
    ConnectChannel(pChannel, m_entryIp.load(), m_entryPort.load());
  }
  pChannel->Release();
}

void CLogicCenter::RedirectStep() {
  if (m_serverTime == 0 || m_entryIp.load() == 0) return;
  bool created = false;
  CServerChannel* pChannel = OpenChannel(kTagRedirect, true, &created);
  if (!pChannel) return;
  if (created) {
    DLL_LOG("Begin GetIP: ip=%s:%u", IpToString(m_entryIp.load()).c_str(),
            unsigned{m_entryPort.load()});
    m_commIp = 0;
    m_commPort = 0;
    ConnectChannel(pChannel, m_entryIp.load(), m_entryPort.load());
  }
  pChannel->Release();
}

void CLogicCenter::ConnectStep() {
  bool created = false;
  CServerChannel* pChannel = OpenChannel(kTagComm, true, &created);
  if (!pChannel) return;
  if (created) {
    DLL_LOG("Begin ConnectServer: ip=%s:%u", IpToString(m_commIp).c_str(), unsigned{m_commPort});
    m_unansweredHeartbeats = 0;
    ConnectChannel(pChannel, m_commIp, m_commPort);
  }
  pChannel->Release();
}

void CLogicCenter::FailLogin(int result) {
  // The attempt is over: its step timer would otherwise report a time-out on top.
  CIOThread::Instance()->KillTimer(this, kTimerStep);
  PostUiMessage(UIMsg_login_result, result, 0, 0, 0);
  SetState(kStateOffline);
}

void CLogicCenter::DoLogout() {
  // The steps before the redirect go too, so that a half-done attempt cannot finish the login
  // after the user logged out.
  for (uint32_t tag : {kTagRegister, kTagServerTime, kTagRedirect, kTagComm}) {
    CloseChannelByTag(tag);
  }
  SetState(kStateOffline);
  CIOThread::Instance()->KillTimer(this, kTimerStep);
  CIOThread::Instance()->KillTimer(this, kTimerHeartbeat);
}

void CLogicCenter::OnChannelFinished(CIOOperation* pOp) {
  uint32_t record[4];
  if (pOp->Length() != sizeof(record)) return;
  memcpy(record, pOp->Data(), sizeof(record));
  if (record[0] != kFinishRecordSize) return;
  const uint32_t operation = record[2];
  const uint32_t error = record[3];
  CServerChannel* pChannel = TakeChannel(record[1]);
  if (!pChannel) return;
  const uint32_t tag = pChannel->Tag();
  switch (tag) {
    case kTagRegister:
      if (CPhotoDb::Instance()->DeviceId() == 0) {
        DLL_LOG("Register failed: op=%u, error=%u", operation, error);
        FailLogin(kLoginRegisterFailed);
      }
      break;
    case kTagServerTime:
      if (m_serverTime == 0) {
        DLL_LOG("Get server time failed: op=%u, error=%u", operation, error);
        FailLogin(kLoginServerTimeFailed);
      }
      break;
    case kTagRedirect:
      if (m_commIp == 0) {
        DLL_LOG("Redirect failed: op=%u, error=%u", operation, error);
        FailLogin(kLoginRedirectFailed);
      }
      break;
    case kTagComm:
      OnCommChannelLost(operation, error);
      break;
    default:
      DLL_LOG("Invalid Server Channel[%p] Disconnect: Tag=%u, op=%u, error=%u",
              static_cast<void*>(pChannel), tag, operation, error);
      break;
  }
  pChannel->Release();  // the map's
}

void CLogicCenter::OnCommChannelLost(uint32_t operation, uint32_t error) {
  DLL_LOG("Comm Channel disconnect: op=%u, error=%u", operation, error);
  if (m_loginState.load() == kStateLoggingIn) {
    FailLogin(kLoginCommFailed);
  } else {
    // Also the end of a retry's attempt (state 3) that failed here: its step timer goes too.
    CIOThread::Instance()->KillTimer(this, kTimerStep);
    SetState(kStateOffline);
  }
  CIOThread::Instance()->KillTimer(this, kTimerHeartbeat);
}

void CLogicCenter::OnStepTimeout() {
  // Also an attempt started by the retry timer, which runs in state 3: left alone it would hold
  // its connections open and never arm another retry.
  if (m_loginState.load() == kStateOnline) return;
  PostUiMessage(UIMsg_login_result, kLoginTimedOut, 0, 0, 0);
  SetState(kStateOffline);
  CloseAllChannels();
}

void CLogicCenter::OnHeartbeatTimer() {
  if (m_unansweredHeartbeats >= m_periods.missedHeartbeats) {
    // A half-open connection would keep the PC "online" for ever.
    CServerChannel* pChannel = TakeChannelByTag(kTagComm);
    if (pChannel) {
      DLL_LOG("CLogicCenter::OnHeartbeatTimer %u heartbeats unanswered: Channel[%p] closed",
              m_unansweredHeartbeats, static_cast<void*>(pChannel));
      CloseChannel(pChannel);
      OnCommChannelLost(kHeartbeatLostOperation, kHeartbeatLostError);
    }
    return;
  }
  SendHeartbeat();
}

// --- Requests ---

bool CLogicCenter::SendRequest(CServerChannel* pChannel, uint16_t commandId,
                               const std::string& body, uint32_t bufferSize) {
  CServerCommand* pCommand = CServerCommand::Create(commandId, bufferSize);
  if (!pCommand) return false;
  bool sent = pCommand->SetBody(body.data(), static_cast<uint32_t>(body.size())) &&
              pChannel->Send(pCommand);
  pCommand->Release();
  if (!sent) {
    DLL_LOG("CLogicCenter::SendRequest cmd=%u on Tag=%u not sent", commandId, pChannel->Tag());
  }
  return sent;
}

void CLogicCenter::SendRegister(CServerChannel* pChannel) {
  protocol::C2SPcCreateUinReq request;
  request.set_version(1);
  SendRequest(pChannel, protocol::C2S_pc_create_uin, SerializeMessage(request),
              CServerCommand::kRequestBufferSize);
}

void CLogicCenter::SendServerTime(CServerChannel* pChannel) {
  protocol::C2SGetSvrtimeReq request;
  request.set_version(1);
  SendRequest(pChannel, protocol::C2S_get_svrtime, SerializeMessage(request),
              CServerCommand::kRequestBufferSize);
}

void CLogicCenter::SendRedirect(CServerChannel* pChannel) {
  protocol::C2SPcRedirectReq request;
  request.set_id_pc(CPhotoDb::Instance()->DeviceId());
  request.set_check_key(BuildCheckKey());
  SendRequest(pChannel, protocol::C2S_pc_redirect, SerializeMessage(request),
              CServerCommand::kRequestBufferSize);
}

void CLogicCenter::SendLogin(CServerChannel* pChannel) {
  CPhotoDb* pDb = CPhotoDb::Instance();
  protocol::C2SPcLoginReq request;
  const int64_t deviceId = pDb->DeviceId();
  request.set_id_pc(deviceId);
  request.set_pc_guid(pDb->PcGuid());
  request.set_pc_soft_version(static_cast<int64_t>(
      PackVersion(kSoftVersion[0], kSoftVersion[1], kSoftVersion[2], kSoftVersion[3])));
  request.set_pc_sys_version(static_cast<int64_t>(SystemVersion()));
  request.set_pc_onclient_secs(static_cast<int32_t>((GetTickCount() - m_startTick) / 1000));
  request.set_session_key(pDb->SessionKey());
  if (const uint16_t port = CLocalServer::Instance()->GetPort()) {
    request.set_pc_local_ip(IpToString(LocalIp()));
    request.set_pc_local_port(port);
  }
  if (CPhotoDeviceContainer* pBound = AllDevices(true)) {
    for (int i = 0; CPhotoDevice* pDevice = pBound->ElementAt(i); ++i) {
      request.add_id_phone_list(pDevice->Id());
    }
    pBound->Release();
  }
  DLL_LOG("Login Request: id=%" PRId64 ", version=%u.%u.%u.%u", deviceId, unsigned{kSoftVersion[0]},
          unsigned{kSoftVersion[1]}, unsigned{kSoftVersion[2]}, unsigned{kSoftVersion[3]});
  SendRequest(pChannel, protocol::C2S_pc_login, SerializeMessage(request),
              CServerCommand::kRequestBufferSize);
}

void CLogicCenter::SendHeartbeat() {
  CServerChannel* pChannel = OpenChannel(kTagComm, false, nullptr);
  if (!pChannel) return;
  CPhotoDb* pDb = CPhotoDb::Instance();
  const int64_t deviceId = pDb->DeviceId();
  if (deviceId != 0) {
    protocol::C2SPcHeartbeatReq request;
    request.set_id_pc(deviceId);
    request.set_pc_guid(pDb->PcGuid());
    request.set_session_key(pDb->SessionKey());
    if (const uint16_t port = CLocalServer::Instance()->GetPort()) {
      request.set_pc_local_ip(IpToString(LocalIp()));
      request.set_pc_local_port(port);
    }
    if (SendRequest(pChannel, protocol::C2S_pc_heartbeat, SerializeMessage(request),
                    CServerCommand::kHeartbeatBufferSize)) {
      ++m_unansweredHeartbeats;
    }
  }
  pChannel->Release();
}

void CLogicCenter::SendGetUnbindInfo(CServerChannel* pChannel) {
  protocol::C2SPcGetUnbindInfoReq request;
  request.set_id_pc(CPhotoDb::Instance()->DeviceId());
  request.set_check_key(BuildCheckKey());
  SendRequest(pChannel, protocol::C2S_pc_get_unbind_info, SerializeMessage(request),
              CServerCommand::kRequestBufferSize);
}

void CLogicCenter::SendClearUnbindInfo(CServerChannel* pChannel) {
  protocol::C2SPcClearUnbindInfoReq request;
  request.set_id_pc(CPhotoDb::Instance()->DeviceId());
  request.set_check_key(BuildCheckKey());
  SendRequest(pChannel, protocol::C2S_pc_clear_unbind_info, SerializeMessage(request),
              CServerCommand::kRequestBufferSize);
}

void CLogicCenter::SendUnbind(CServerChannel* pChannel) {
  CPhotoDb* pDb = CPhotoDb::Instance();
  const int64_t deviceId = pDb->DeviceId();
  protocol::C2SPcUnbindReq request;
  request.set_id_pc(deviceId);
  request.set_check_key(BuildCheckKey());
  bool pending = false;
  PendingUnbind record{};
  {
    ScopedLock lock(&m_channelLock);
    if (!m_pendingUnbinds.empty()) {
      pending = true;
      record = m_pendingUnbinds.front();
      m_pendingUnbinds.pop_front();
    }
  }
  std::string info;
  if (pending) {
    std::string plain;
    AppendBigEndian64(&plain, deviceId);
    AppendBigEndian64(&plain, record.phoneId);
    plain.append(reinterpret_cast<const char*>(record.key.data()), record.key.size());
    CCommandKey key;
    key.SetKey(pDb->IdKey());
    info = key.Encrypt(CCommandKey::kTypeAes, plain.data(), plain.size());
  }
  request.set_unbind_info(info);
  SendRequest(pChannel, protocol::C2S_pc_unbind, SerializeMessage(request),
              CServerCommand::kRequestBufferSize);
}

std::string CLogicCenter::BuildCheckKey() {
  CPhotoDb* pDb = CPhotoDb::Instance();
  const std::string idKey = pDb->IdKey();
  const int64_t deviceId = pDb->DeviceId();
  const int64_t serverTime = m_serverTime;
  if (idKey.empty() || deviceId == 0 || serverTime == 0) {
    DLL_LOG("BuildCheckKey failed: IdKey=%s, id=%" PRId64 ", servertime=%" PRId64, idKey.c_str(),
            deviceId, serverTime);
    return {};
  }
  std::string plain;
  AppendBigEndian64(&plain, deviceId);
  AppendBigEndian64(&plain, serverTime);
  CCommandKey key;
  key.SetKey(idKey);
  std::string checkKey = key.Encrypt(CCommandKey::kTypeAes, plain.data(), plain.size());
  DLL_LOG("BuildCheckKey: %s", BytesToHex(checkKey.data(), checkKey.size()).c_str());
  return checkKey;
}

// --- Replies ---

const CLogicCenter::ReplyEntry* CLogicCenter::FindReplyEntry(uint16_t commandId) {
  static const ReplyEntry kTable[] = {
      {protocol::C2S_pc_create_uin, kTagRegister, &CLogicCenter::OnRegisterReply},
      {protocol::C2S_get_svrtime, kTagServerTime, &CLogicCenter::OnServerTimeReply},
      {protocol::C2S_pc_redirect, kTagRedirect, &CLogicCenter::OnRedirectReply},
      {protocol::C2S_pc_login, kTagComm, &CLogicCenter::OnLoginReply},
      {protocol::C2S_pc_heartbeat, kTagComm, &CLogicCenter::OnHeartbeatReply},
      {protocol::C2S_notice_phone_offline, kTagComm, &CLogicCenter::OnPhoneOffline},
      {protocol::C2S_notice_phone_online, kTagComm, &CLogicCenter::OnPhoneOnline},
      {protocol::C2S_transfer_phone_to_pc, kTagComm, &CLogicCenter::OnRelayedCommand},
      {protocol::C2S_notice_phone_unbind, kTagComm, &CLogicCenter::OnPhoneUnbindNotice},
      {protocol::C2S_pc_get_unbind_info, kTagGetUnbindInfo, &CLogicCenter::OnUnbindInfoReply},
      {protocol::C2S_pc_unbind, kTagUnbind, &CLogicCenter::OnUnbindReply},
      {0, 0, nullptr},
  };
  for (const ReplyEntry* pEntry = kTable; pEntry->commandId != 0; ++pEntry) {
    if (pEntry->commandId == commandId) return pEntry;
  }
  return nullptr;
}

void CLogicCenter::HandleReplies() {
  for (;;) {
    ReceivedReply reply;
    {
      ScopedLock lock(&m_replyLock);
      if (m_replies.empty()) return;
      reply = m_replies.front();
      m_replies.pop_front();
    }
    const uint16_t commandId = reply.pCommand->GetCommandId();
    const ReplyEntry* pEntry = FindReplyEntry(commandId);
    if (pEntry && pEntry->tag == reply.tag) {
      (this->*pEntry->pHandler)(reply.pCommand);
    } else {
      // A reply of another step, or a notice on an entry-server connection, proves nothing
      // about this one.
      DLL_LOG("CLogicCenter::HandleReplies ignored: cmd=%u on Tag=%u, channel id=%u", commandId,
              reply.tag, reply.pCommand->ChannelId());
    }
    reply.pCommand->Release();  // the list's
  }
}

void CLogicCenter::OnRegisterReply(CServerCommand* pCommand) {
  protocol::C2SPcCreateUinResp reply;
  if (!ParseBody(pCommand, &reply)) return;
  CPhotoDb* pDb = CPhotoDb::Instance();
  if (pDb->DeviceId() == 0) {
    // An id the servers cannot mean, or a key that does not come back from the settings file
    // as it was sent, would be saved and leave every later request unprovable.
    if (reply.id_pc() <= 0 || !IsStorableIdKey(reply.id_key())) {
      DLL_LOG("Register failed: bad reply, id=%" PRId64 ", key length=%zu", reply.id_pc(),
              reply.id_key().size());
      CloseChannelById(pCommand->ChannelId());
      FailLogin(kLoginRegisterFailed);
      return;
    }
    pDb->SetDeviceId(reply.id_pc());
    pDb->SetIdKey(reply.id_key());
    pDb->Save();
    DLL_LOG("Register Device success: id=%" PRId64, reply.id_pc());
  }
  CloseChannelById(pCommand->ChannelId());
  ServerTimeStep();
}

void CLogicCenter::OnServerTimeReply(CServerCommand* pCommand) {
  protocol::C2SGetSvrtimeResp reply;
  if (!ParseBody(pCommand, &reply)) return;
  m_serverTime = reply.svr_time();
  DLL_LOG("getsvrtime success: server time = %" PRId64, m_serverTime);
  CloseChannelById(pCommand->ChannelId());
  RedirectStep();
}

void CLogicCenter::OnRedirectReply(CServerCommand* pCommand) {
  protocol::C2SPcRedirectResp reply;
  if (!ParseBody(pCommand, &reply)) return;
  in_addr address{};
  const bool addressOk = inet_pton(AF_INET, reply.proxy_ip().c_str(), &address) == 1 &&
                         IsUsableAddress(address.s_addr);
  const bool portOk = reply.proxy_port() >= 1 && reply.proxy_port() <= 0xFFFF;
  if (!addressOk || !portOk) {
    DLL_LOG("Redirect failed: bad reply, ip=%s, port=%d", reply.proxy_ip().c_str(),
            reply.proxy_port());
    CloseChannelById(pCommand->ChannelId());
    FailLogin(kLoginRedirectFailed);
    return;
  }
  m_commPort = static_cast<uint16_t>(reply.proxy_port());
  m_commIp = address.s_addr;
  const uint32_t ceilingSeconds = m_periods.heartbeatCeilingMs / 1000;
  m_heartbeatSeconds = std::min<uint32_t>(
      static_cast<uint32_t>(std::max(reply.heartbeat_cycle(), 0)), ceilingSeconds);
  CPhotoDb::Instance()->SetSessionKey(reply.session_key());
  DLL_LOG("Redirect success: communication server ip=%s, port=%u, heartbeat=%d, sessionkey=%s",
          reply.proxy_ip().c_str(), unsigned{m_commPort}, reply.heartbeat_cycle(),
          BytesToHex(reply.session_key().data(), reply.session_key().size()).c_str());
  CloseChannelById(pCommand->ChannelId());
  if (m_commIp != 0) ConnectStep();
}

void CLogicCenter::OnLoginReply(CServerCommand* pCommand) {
  protocol::C2SPcLoginResp reply;
  if (!ParseBody(pCommand, &reply)) return;
  DLL_LOG("Login success, Online phone count: %d", reply.id_phone_online_list_size());
  for (int64_t phoneId : reply.id_phone_online_list()) {
    DLL_LOG("Login success, Online phone: %" PRId64, phoneId);
    SetRemoteState(phoneId, true);
  }
  const int previous = m_loginState.load();
  if (previous == kStateLoggingIn) PostUiMessage(UIMsg_login_result, kLoginOk, 0, 0, 0);
  // Every login that reaches the server fetches the unbinds made meanwhile, also one made by
  // the retry timer, and sends this PC's own that could not leave while it was offline.
  if (previous != kStateOnline) {
    OpenSideChannel(kTagGetUnbindInfo);
    bool unbindsPending;
    {
      ScopedLock lock(&m_channelLock);
      unbindsPending = !m_pendingUnbinds.empty();
    }
    if (unbindsPending) OpenSideChannel(kTagUnbind);
  }
  const uint64_t interval =
      std::clamp<uint64_t>(uint64_t{m_heartbeatSeconds} * 1000, m_periods.heartbeatFloorMs,
                           std::max(m_periods.heartbeatCeilingMs, m_periods.heartbeatFloorMs));
  m_heartbeatIntervalMs.store(static_cast<uint32_t>(interval));
  m_unansweredHeartbeats = 0;
  SetState(kStateOnline);
  CIOThread::Instance()->SetTimer(this, kTimerHeartbeat, static_cast<uint32_t>(interval), true);
  CIOThread::Instance()->KillTimer(this, kTimerStep);
}

void CLogicCenter::OnHeartbeatReply(CServerCommand* pCommand) {
  protocol::C2SPcHeartbeatResp reply;
  if (!ParseBody(pCommand, &reply)) return;
  m_unansweredHeartbeats = 0;
  CPhotoDeviceContainer* pAll = AllDevices(false);
  if (!pAll) return;
  const auto& online = reply.id_phone_online_list();
  for (int i = 0; CPhotoDevice* pDevice = pAll->ElementAt(i); ++i) {
    const bool reachable = std::find(online.begin(), online.end(), pDevice->Id()) != online.end();
    pDevice->SetRemoteState(reachable);
  }
  pAll->Release();
}

void CLogicCenter::OnPhoneOffline(CServerCommand* pCommand) {
  protocol::C2SNoticePhoneOffline notice;
  if (!ParseBody(pCommand, &notice)) return;
  SetRemoteState(notice.id_phone(), false);
}

void CLogicCenter::OnPhoneOnline(CServerCommand* pCommand) {
  protocol::C2SNoticePhoneOnline notice;
  if (!ParseBody(pCommand, &notice)) return;
  SetRemoteState(notice.id_phone(), true);
}

void CLogicCenter::OnRelayedCommand(CServerCommand* pCommand) {
  const uint8_t* pBody = nullptr;
  uint32_t length = 0;
  if (!pCommand->GetBody(&pBody, &length)) return;
  CClientCommMgr::Instance()->OnTransferCommand(pCommand->ChannelId(), pBody, length);
}

void CLogicCenter::OnPhoneUnbindNotice(CServerCommand* pCommand) {
  protocol::C2SNoticePhoneUnbind notice;
  if (!ParseBody(pCommand, &notice)) return;
  int64_t phoneId = 0;
  if (!MatchUnbindRecord(notice.unbind_info(), &phoneId)) return;
  UnbindDevice(phoneId);
  PostUiMessage(UIMsg_unbind, 1, phoneId, 0, 0);
  OpenSideChannel(kTagClearUnbindInfo);
}

void CLogicCenter::OnUnbindInfoReply(CServerCommand* pCommand) {
  protocol::C2SPcGetUnbindInfoResp reply;
  if (!ParseBody(pCommand, &reply)) return;
  const int count = reply.unbind_info_list_size();
  for (const std::string& record : reply.unbind_info_list()) {
    int64_t phoneId = 0;
    if (!MatchUnbindRecord(record, &phoneId)) continue;
    UnbindDevice(phoneId);
    if (count == 1) PostUiMessage(UIMsg_unbind, 1, phoneId, 0, 0);
  }
  if (count > 1) PostUiMessage(UIMsg_unbind, count, 0, 0, 0);
  CloseChannelById(pCommand->ChannelId());
  if (count >= 1) OpenSideChannel(kTagClearUnbindInfo);
}

void CLogicCenter::OnUnbindReply(CServerCommand* pCommand) {
  CloseChannelById(pCommand->ChannelId());
  bool unbindsPending;
  {
    ScopedLock lock(&m_channelLock);
    unbindsPending = !m_pendingUnbinds.empty();
  }
  // One record leaves per connection; the next one follows at once.
  if (unbindsPending) OpenSideChannel(kTagUnbind);
}

bool CLogicCenter::MatchUnbindRecord(const std::string& record, int64_t* pPhoneId) {
  CPhotoDb* pDb = CPhotoDb::Instance();
  CCommandKey key;
  key.SetKey(pDb->IdKey());
  const std::string plain = key.Decrypt(CCommandKey::kTypeAes, record.data(), record.size());
  if (plain.size() < kUnbindRecordSize) {
    DLL_LOG("CLogicCenter: unbind record ignored: %zu bytes deciphered", plain.size());
    return false;
  }
  const int64_t pcId = ReadBigEndian64(plain.data());
  const int64_t phoneId = ReadBigEndian64(plain.data() + 8);
  if (pcId != pDb->DeviceId()) {
    DLL_LOG("CLogicCenter: unbind record ignored: pc id=%" PRId64 ", phone=%" PRId64, pcId,
            phoneId);
    return false;
  }
  CPhotoDevice* pDevice = pDb->FindOrCreateDevice(phoneId, false);
  if (!pDevice) return false;
  std::string deviceKey = pDevice->Key();
  pDevice->Release();
  deviceKey.resize(kPhoneKeySize, '\0');
  if (plain.compare(16, kPhoneKeySize, deviceKey) != 0) return false;
  *pPhoneId = phoneId;
  return true;
}

void CLogicCenter::SetRemoteState(int64_t phoneId, bool reachable) {
  CPhotoDevice* pDevice = CPhotoDb::Instance()->FindOrCreateDevice(phoneId, false);
  if (!pDevice) return;
  pDevice->SetRemoteState(reachable);
  pDevice->Release();
}

bool CLogicCenter::IsStorableIdKey(const std::string& key) {
  if (key.size() != kIdKeyLength) return false;
  for (unsigned char c : key) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  const char first = key.front();
  const char last = key.back();
  if (first == ' ' || last == ' ') return false;
  return !(first == last && (first == '"' || first == '\''));
}

// --- Local address ---

uint32_t CLogicCenter::LocalIp() {
  uint32_t address = m_localIp.load();
  if (address) return address;
  char hostName[256] = {};
  hostent* pHost = win32::gethostname(hostName, static_cast<int>(sizeof(hostName))) == 0
                       ? win32::gethostbyname(hostName)
                       : nullptr;
  if (pHost && pHost->h_addrtype == AF_INET && pHost->h_length == 4 && pHost->h_addr_list) {
    for (char** ppEntry = pHost->h_addr_list; *ppEntry && !address; ++ppEntry) {
      uint32_t candidate;
      memcpy(&candidate, *ppEntry, sizeof(candidate));
      if (IsUsableAddress(candidate)) address = candidate;
    }
  }
  if (!address) address = htonl(INADDR_LOOPBACK);
  DLL_LOG("LocalIP: Local IP not confirmed, use first local ip: %s:%u", IpToString(address).c_str(),
          unsigned{CLocalServer::Instance()->GetPort()});
  uint32_t expected = 0;
  // A server channel may have told the real one meanwhile; it wins.
  if (!m_localIp.compare_exchange_strong(expected, address)) return expected;
  return address;
}

void CLogicCenter::UpdateLocalIp(uint32_t tag) {
  // The channel's own socket is the engine's; a datagram socket "connected" to the same server
  // makes the system pick the same route and so the same local address, without sending.
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  if (tag == kTagComm) {
    peer.sin_addr.s_addr = m_commIp;
    peer.sin_port = htons(m_commPort);
  } else {
    peer.sin_addr.s_addr = m_entryIp.load();
    peer.sin_port = htons(m_entryPort.load());
  }
  if (!IsUsableAddress(peer.sin_addr.s_addr)) return;
  SOCKET hSocket = win32::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (hSocket == INVALID_SOCKET) return;
  sockaddr_in local{};
  int length = sizeof(local);
  const bool found =
      connect(hSocket, reinterpret_cast<const sockaddr*>(&peer), sizeof(peer)) == 0 &&
      getsockname(hSocket, reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
      IsUsableAddress(local.sin_addr.s_addr);
  closesocket(hSocket);
  if (!found) return;
  const uint32_t previous = m_localIp.exchange(local.sin_addr.s_addr);
  if (previous != local.sin_addr.s_addr) {
    DLL_LOG("LocalIP: Update Local IP: old ip=%s, new ip= %s:%u!", IpToString(previous).c_str(),
            IpToString(local.sin_addr.s_addr).c_str(),
            unsigned{CLocalServer::Instance()->GetPort()});
  }
}

// --- Daily report ---

void CLogicCenter::CheckDayChange() {
  const time_t now = time(nullptr);
  const time_t last = static_cast<time_t>(m_lastReportTime.load());
  tm today{};
  tm lastDay{};
  localtime_r(&now, &today);
  localtime_r(&last, &lastDay);
  if (today.tm_year == lastDay.tm_year && today.tm_yday == lastDay.tm_yday) return;
  m_lastReportTime.store(now);
  SendDailyReport();
}

void CLogicCenter::SendDailyReport() {
  CReportClientMgr* pClient = GetReportClientMgr();
  if (!pClient->IsInited() || !pClient->IsEnabled() || !pClient->IsReportEnabled(kReportDaily)) {
    return;
  }
  if (!pClient->EnsureRecord()) return;
  CDailyReport report;
  report.deviceCount = static_cast<uint32_t>(CPhotoDb::Instance()->DeviceCount());
  pClient->SendReport(report, kReportDaily, kReportModeSend);
}

// --- Tests ---

void CLogicCenter::SetPeriodsForTesting(const SessionPeriods& periods) { m_periods = periods; }

void CLogicCenter::SetEntryServerForTesting(const std::string& host, uint16_t port) {
  m_entryHostForTesting = host;
  m_entryPortForTesting = port;
}

void CLogicCenter::ResetForTesting() {
  m_periods = SessionPeriods();
  m_entryHostForTesting.clear();
  m_entryPortForTesting = 0;
  m_entryIp.store(0);
  m_entryPort.store(kDefaultServerPort);
  m_localIp.store(0);
  m_commIp = 0;
  m_commPort = 0;
  m_serverTime = 0;
  m_heartbeatSeconds = 0;
  m_heartbeatIntervalMs.store(0);
  m_unansweredHeartbeats = 0;
  {
    ScopedLock lock(&m_channelLock);
    m_pendingUnbinds.clear();
  }
  std::deque<ReceivedReply> replies;
  {
    ScopedLock lock(&m_replyLock);
    replies.swap(m_replies);
  }
  for (const ReceivedReply& reply : replies) reply.pCommand->Release();
}

uint32_t CLogicCenter::HeartbeatIntervalMsForTesting() { return m_heartbeatIntervalMs.load(); }

size_t CLogicCenter::ChannelCountForTesting() {
  ScopedLock lock(&m_channelLock);
  return m_channels.size();
}

size_t CLogicCenter::PendingUnbindCountForTesting() {
  ScopedLock lock(&m_channelLock);
  return m_pendingUnbinds.size();
}

void CLogicCenter::SetLastReportTimeForTesting(int64_t time) { m_lastReportTime.store(time); }

HWND CLogicCenter::WindowForTesting() {
  ScopedLock lock(&m_channelLock);
  return m_hWnd;
}

size_t CLogicCenter::QueuedCountForTesting() {
  ScopedLock lock(&m_queueLock);
  return m_uiMessages.size();
}
